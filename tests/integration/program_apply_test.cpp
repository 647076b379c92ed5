// QZ Config Tool against the largest simulated installation the program counts (4 KTV4-S and 97
// RQA-310 units, 101 devices) through the namespace's avahi-daemon, driven through its buttons:
// every device is found, Confirm passes, and Apply writes a plan that covers every receive channel.
// What the devices hold afterwards is read from the simulated devices themselves. With routing
// requests lost, the program may report failed devices, but never success with a device left
// other than the plan says.
#include "tests/integration/program_support.h"

#include <QElapsedTimer>
#include <QPushButton>
#include <gtest/gtest.h>

#include <set>

using namespace program_test;

namespace {

// Bounds of the phases of one run. Start-up to Confirm enabled takes 19 s by the program's design.
constexpr int kReadyMs = 45000;
constexpr int kFoundMs = 60000;
constexpr int kApplyMs = 90000;
// Pacing of the clear and patch steps: small, so that 2 x 101 paced commands take about 4 s.
constexpr int kSendInterval = 20;

const std::vector<std::string> kFullInstallation = {"--ktv4s", "4",  "--area1", "25", "--area2",
                                                    "24",      "--area3", "24", "--area4", "24"};

struct Outcome {
    QString log;
    bool succeeded = false;
    std::map<std::string, std::string> expected, held;
    std::set<std::string> wrongDevices; // receive devices whose subscriptions differ from the plan
    long lost = -1;                      // routing requests the installation left unanswered
};

// Starts the installation with `extra` options, runs the program to the end of Apply and reads the
// devices' subscriptions.
void runApply(const std::vector<std::string> &extra, Outcome &out)
{
    QElapsedTimer elapsed;
    elapsed.start();
    ProgramEnvironment env; // outlives the installation, which writes its last dump there
    Installation installation;
    std::vector<std::string> args = kFullInstallation;
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(installation.start(args, env.dir.path().toStdString()));
    ASSERT_EQ(installation.units().size(), 101u);
    const Plan plan = fullPlan(installation.units());
    out.expected = expectedSubscriptions(plan, installation);
    ASSERT_EQ(out.expected.size(), 4u * 64 + 97 * 2); // every receive channel

    env.setCounts(4, 25, 24, 24, 24);
    env.writeSendInterval(kSendInterval);
    env.writeFile(QStringLiteral("QZVeltoPatch.json"), planJson(plan));
    ProgramWindow window(env.services());
    window.show();

    QPushButton *confirm = button(window, "confirmPushButton");
    QPushButton *apply = button(window, "applyPushButton");
    ASSERT_TRUE(waitUntil([&] { return confirm->isEnabled(); }, kReadyMs)) << logText(window).toStdString();
    const qint64 ready = elapsed.elapsed();
    const QStringList wanted = window.wantedKeys();
    ASSERT_EQ(wanted.size(), 101);
    QStringList missing;
    const bool found = waitUntil(
        [&] {
            const QStringList keys = window.foundKeys();
            missing.clear();
            for (const QString &key : wanted)
                if (!keys.contains(key))
                    missing << key;
            return missing.isEmpty();
        },
        kFoundMs);
    ASSERT_TRUE(found) << "not found: " << missing.join(' ').toStdString() << "\n" << window.deviceTable();
    const qint64 allFound = elapsed.elapsed();

    confirm->click();
    ASSERT_TRUE(logText(window).contains(QStringLiteral("Device detection successful.")))
        << logText(window).toStdString();
    ASSERT_TRUE(apply->isEnabled());
    apply->click();
    ASSERT_EQ(window.step(), 1) << logText(window).toStdString();
    const bool ended = waitUntil([&] { return window.step() == 0; }, kApplyMs);
    out.log = logText(window);
    ASSERT_TRUE(ended) << "Apply still in step " << window.step() << "\n" << out.log.toStdString();
    const qint64 applied = elapsed.elapsed();
    out.succeeded = out.log.contains(QStringLiteral("Apply succeed."));

    ASSERT_TRUE(installation.subscriptions(out.held));
    out.lost = installation.lostRequests();
    for (const auto &e : out.expected) {
        auto it = out.held.find(e.first);
        if (it == out.held.end() || it->second != e.second)
            out.wrongDevices.insert(e.first.substr(0, e.first.find(' ')));
    }
    for (const auto &h : out.held)
        if (!out.expected.count(h.first))
            out.wrongDevices.insert(h.first.substr(0, h.first.find(' ')));
    EXPECT_TRUE(env.prompts.messages.empty());
    EXPECT_TRUE(env.exitCodes.empty());
    std::printf("ready %.1f s, 101 devices found %.1f s, Apply ended %.1f s (%s), %zu devices not as planned, "
                "%ld routing requests lost\n",
                ready / 1000.0, allFound / 1000.0, applied / 1000.0, out.succeeded ? "succeeded" : "failures reported",
                out.wrongDevices.size(), out.lost);
}

std::string lineOf(const std::string &name)
{
    Unit u;
    u.name = name;
    u.unit = static_cast<int>(strtol(name.c_str() + 1, nullptr, 16));
    u.model = name.find("KTV4-S") != std::string::npos ? "KTV4-S" : "RQA-310";
    return deviceLine(u);
}

} // namespace

TEST(ProgramApply, WritesThePlanToAllOneHundredAndOneDevices)
{
    Outcome out;
    runApply({}, out);
    if (HasFatalFailure())
        return;
    EXPECT_TRUE(out.succeeded) << out.log.toStdString();
    EXPECT_FALSE(out.log.contains(QStringLiteral("Failed"))) << out.log.toStdString();
    EXPECT_EQ(out.held, out.expected);
}

TEST(ProgramApply, WithRoutingRequestsLostEndsInThePlanOrNamesTheFailedDevices)
{
    Outcome out;
    runApply({"--loss", "100"}, out); // 1 in 100 routing requests of the installation goes unanswered
    if (HasFatalFailure())
        return;
    EXPECT_GT(out.lost, 0) << "no routing request was lost";
    if (out.succeeded) {
        EXPECT_EQ(out.held, out.expected) << "Apply succeeded with devices left wrong";
        return;
    }
    EXPECT_TRUE(out.log.contains(QStringLiteral("Failed to apply settings."))) << out.log.toStdString();
    for (const std::string &device : out.wrongDevices)
        EXPECT_TRUE(out.log.contains(QString::fromStdString(lineOf(device))))
            << device << " is left other than planned and not named\n"
            << out.log.toStdString();
}
