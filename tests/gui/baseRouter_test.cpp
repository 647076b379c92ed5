#include "gui/baseRouter.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

// A router that handles every operation itself: it notes the call and gives a fixed answer.
class LeafRouter : public baseRouter {
public:
    LeafRouter(std::string name, std::vector<std::string> &journal, bool answer = true)
        : name(std::move(name)), journal(journal), answer(answer) {}

    bool routeA(const QString &cmd, QVariant &) override { return note("A", cmd); }
    bool routeB(const QString &cmd, QVariant &) override { return note("B", cmd); }
    bool routeGet(const QString &cmd, const QVariantMap &) override { return note("Get", cmd); }
    bool routeSet(const QString &cmd, const QVariantMap &) override { return note("Set", cmd); }
    bool routePairA(const QString &cmd, QVariant &, QVariant &) override { return note("PairA", cmd); }
    bool routePairB(const QString &cmd, QVariant &, QVariant &) override { return note("PairB", cmd); }
    bool routePairC(const QString &cmd, QVariant &, QVariant &) override { return note("PairC", cmd); }
    bool routePairD(const QString &cmd, QVariant &, QVariant &) override { return note("PairD", cmd); }
    bool routeUp(QVariant &, QVariant &, baseRouter *from) override
    {
        sender = from;
        return note("Up", QString());
    }
    bool broadcastA(QVariant &, QVariant &) override { return note("BcA", QString()); }
    bool broadcastB(QVariant &, QVariant &) override { return note("BcB", QString()); }

    baseRouter *sender = nullptr;

private:
    bool note(const char *op, const QString &cmd)
    {
        journal.push_back(name + ":" + op + (cmd.isEmpty() ? "" : ":" + cmd.toStdString()));
        return answer;
    }
    std::string name;
    std::vector<std::string> &journal;
    bool answer;
};

struct RouteOp {
    const char *name;
    std::function<bool(baseRouter &, const QString &)> call;
};

std::vector<RouteOp> routingOperations()
{
    return {
        {"A", [](baseRouter &r, const QString &c) { QVariant a; return r.routeA(c, a); }},
        {"B", [](baseRouter &r, const QString &c) { QVariant a; return r.routeB(c, a); }},
        {"Get", [](baseRouter &r, const QString &c) { return r.routeGet(c, QVariantMap()); }},
        {"Set", [](baseRouter &r, const QString &c) { return r.routeSet(c, QVariantMap()); }},
        {"PairA", [](baseRouter &r, const QString &c) { QVariant a, b; return r.routePairA(c, a, b); }},
        {"PairB", [](baseRouter &r, const QString &c) { QVariant a, b; return r.routePairB(c, a, b); }},
        {"PairC", [](baseRouter &r, const QString &c) { QVariant a, b; return r.routePairC(c, a, b); }},
        {"PairD", [](baseRouter &r, const QString &c) { QVariant a, b; return r.routePairD(c, a, b); }},
    };
}

TEST(BaseRouter, EmptyRouterRefusesEveryRouteAndAcceptsBroadcasts)
{
    baseRouter router;
    for (const RouteOp &op : routingOperations())
        EXPECT_FALSE(op.call(router, QStringLiteral("anything"))) << op.name;
    QVariant a, b;
    EXPECT_FALSE(router.routeUp(a, b, nullptr));
    EXPECT_TRUE(router.broadcastA(a, b));
    EXPECT_TRUE(router.broadcastB(a, b));
}

TEST(BaseRouter, EachOperationReachesTheSameOperationOfTheNamedRouterOrTheDefault)
{
    std::vector<std::string> journal;
    LeafRouter named("named", journal, true);
    LeafRouter fallback("default", journal, false);
    for (const RouteOp &op : routingOperations()) {
        journal.clear();
        baseRouter router;
        router.addRoute(QStringLiteral("cmd"), &named);
        EXPECT_FALSE(op.call(router, QStringLiteral("Cmd"))) << op.name << ": names differ in case";
        EXPECT_TRUE(op.call(router, QStringLiteral("cmd"))) << op.name;
        router.setDefaultRoute(&fallback);
        EXPECT_FALSE(op.call(router, QStringLiteral("CMD"))) << op.name << ": the default's answer";
        const std::string o = op.name;
        EXPECT_EQ(journal, (std::vector<std::string>{"named:" + o + ":cmd", "default:" + o + ":CMD"}));
    }
}

TEST(BaseRouter, CommandsPassDownSeveralLevels)
{
    std::vector<std::string> journal;
    LeafRouter leaf("leaf", journal);
    baseRouter middle, top;
    middle.addRoute(QStringLiteral("deep"), &leaf);
    top.setDefaultRoute(&middle);
    EXPECT_TRUE(top.routeSet(QStringLiteral("deep"), QVariantMap()));
    EXPECT_FALSE(top.routeSet(QStringLiteral("other"), QVariantMap()));
    EXPECT_EQ(journal, std::vector<std::string>{"leaf:Set:deep"});
}

TEST(BaseRouter, BroadcastVisitsRoutersInKeyOrderAndStopsAtTheFirstRefusal)
{
    std::vector<std::string> journal;
    LeafRouter first("first", journal, true), second("second", journal, false), third("third", journal, true);
    baseRouter router;
    router.addRoute(QStringLiteral("c"), &third);
    router.addRoute(QStringLiteral("a"), &first);
    router.addRoute(QStringLiteral("b"), &second);
    QVariant x, y;
    EXPECT_FALSE(router.broadcastA(x, y));
    EXPECT_FALSE(router.broadcastB(x, y));
    EXPECT_EQ(journal, (std::vector<std::string>{"first:BcA", "second:BcA", "first:BcB", "second:BcB"}));

    journal.clear();
    router.addRoute(QStringLiteral("b"), nullptr);
    EXPECT_TRUE(router.broadcastA(x, y));
    EXPECT_EQ(journal, (std::vector<std::string>{"first:BcA", "third:BcA"}));
}

TEST(BaseRouter, RouteUpNamesTheRouterDirectlyBelowAsSender)
{
    std::vector<std::string> journal;
    LeafRouter top("top", journal);
    baseRouter middle, bottom;
    middle.setUpstream(&top);
    bottom.setUpstream(&middle);
    QVariant a, b;
    EXPECT_TRUE(bottom.routeUp(a, b, nullptr));
    EXPECT_EQ(top.sender, &middle);
    EXPECT_EQ(journal, std::vector<std::string>{"top:Up"});
}

} // namespace
