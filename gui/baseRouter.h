// Named-command routing. A router handles a command itself (a subclass overrides the operation) or
// passes it on: to the router registered under the command's name, else to the default router;
// routeUp hands a call to the router above. Routers are not owned by each other.
#pragma once

#include <QMap>
#include <QString>
#include <QVariant>
#include <QVariantMap>

class baseRouter {
public:
    baseRouter();
    virtual ~baseRouter();

    virtual bool routeA(const QString &cmd, QVariant &a);
    virtual bool routeB(const QString &cmd, QVariant &a);
    virtual bool routeGet(const QString &cmd, const QVariantMap &a);
    virtual bool routeSet(const QString &cmd, const QVariantMap &a);

    virtual bool routePairA(const QString &cmd, QVariant &a, QVariant &b);
    virtual bool routePairB(const QString &cmd, QVariant &a, QVariant &b);
    virtual bool routePairC(const QString &cmd, QVariant &a, QVariant &b);
    virtual bool routePairD(const QString &cmd, QVariant &a, QVariant &b);

    virtual bool routeUp(QVariant &a, QVariant &b, baseRouter *sender);

    virtual bool broadcastA(QVariant &a, QVariant &b);
    virtual bool broadcastB(QVariant &a, QVariant &b);

    // Registration. A null router removes the name.
    void addRoute(const QString &cmd, baseRouter *router);
    void setUpstream(baseRouter *router);
    void setDefaultRoute(baseRouter *router);

private:
    baseRouter *target(const QString &cmd) const;

    QMap<QString, baseRouter *> routes;
    baseRouter *upstream = nullptr;
    baseRouter *defaultRoute = nullptr;
};
