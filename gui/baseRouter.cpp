#include "gui/baseRouter.h"

baseRouter::baseRouter() = default;

baseRouter::~baseRouter() = default;

baseRouter *baseRouter::target(const QString &cmd) const
{
    auto it = routes.constFind(cmd);
    return it != routes.constEnd() ? it.value() : defaultRoute;
}

bool baseRouter::routeA(const QString &cmd, QVariant &a)
{
    baseRouter *to = target(cmd);
    return to ? to->routeA(cmd, a) : false;
}

bool baseRouter::routeB(const QString &cmd, QVariant &a)
{
    baseRouter *to = target(cmd);
    return to ? to->routeB(cmd, a) : false;
}

bool baseRouter::routeGet(const QString &cmd, const QVariantMap &a)
{
    baseRouter *to = target(cmd);
    return to ? to->routeGet(cmd, a) : false;
}

bool baseRouter::routeSet(const QString &cmd, const QVariantMap &a)
{
    baseRouter *to = target(cmd);
    return to ? to->routeSet(cmd, a) : false;
}

bool baseRouter::routePairA(const QString &cmd, QVariant &a, QVariant &b)
{
    baseRouter *to = target(cmd);
    return to ? to->routePairA(cmd, a, b) : false;
}

bool baseRouter::routePairB(const QString &cmd, QVariant &a, QVariant &b)
{
    baseRouter *to = target(cmd);
    return to ? to->routePairB(cmd, a, b) : false;
}

bool baseRouter::routePairC(const QString &cmd, QVariant &a, QVariant &b)
{
    baseRouter *to = target(cmd);
    return to ? to->routePairC(cmd, a, b) : false;
}

bool baseRouter::routePairD(const QString &cmd, QVariant &a, QVariant &b)
{
    baseRouter *to = target(cmd);
    return to ? to->routePairD(cmd, a, b) : false;
}

bool baseRouter::routeUp(QVariant &a, QVariant &b, baseRouter * /*sender*/)
{
    return upstream ? upstream->routeUp(a, b, this) : false;
}

bool baseRouter::broadcastA(QVariant &a, QVariant &b)
{
    for (baseRouter *router : qAsConst(routes)) {
        if (!router->broadcastA(a, b))
            return false;
    }
    return true;
}

bool baseRouter::broadcastB(QVariant &a, QVariant &b)
{
    for (baseRouter *router : qAsConst(routes)) {
        if (!router->broadcastB(a, b))
            return false;
    }
    return true;
}

void baseRouter::addRoute(const QString &cmd, baseRouter *router)
{
    if (router)
        routes.insert(cmd, router);
    else
        routes.remove(cmd);
}

void baseRouter::setUpstream(baseRouter *router)
{
    upstream = router;
}

void baseRouter::setDefaultRoute(baseRouter *router)
{
    defaultRoute = router;
}
