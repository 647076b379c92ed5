// QZ Config Tool when its local services restart under it, and with a patch plan that is broken,
// against a small simulated installation (one KTV4-S, two RQA-310). Whatever happens, Apply ends
// (or never starts) within a bound stated below, never reports success while a device holds other
// subscriptions than the plan, names every device it left wrong, clears nothing for a broken plan,
// and the event loop keeps running.
#include "gui/NicSelectDialog.h"
#include "tests/integration/program_support.h"

#include <QAction>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <set>

using namespace program_test;

namespace {

// Start-up to Confirm enabled takes 19 s by the program's design.
constexpr int kReadyMs = 45000;
constexpr int kFoundMs = 30000;
constexpr int kSendInterval = 200;
constexpr int kDevices = 3;
// Apply's floor: 3000 ms from the last preferred-master answer to the clear step, then one
// "sendInterval" after every clear and patch answer but the last of each step. On top of it every
// paced command may run into two routing time-outs (3 s each: a request and the one after its
// resend), and the worker may pause 5 s once for a lost local link and take 6 s to connect again.
constexpr int kApplyFloorMs = 3000 + 2 * (kDevices - 1) * kSendInterval;
constexpr int kApplyBoundMs = kApplyFloorMs + 2 * kDevices * 2 * 3000 + 5000 + 6000;
// The longest the event loop may stand still: a user notices a second.
constexpr qint64 kMaxGapMs = 1000;

const std::vector<std::string> kSmall = {"--ktv4s", "1", "--area1", "2", "--area2", "0", "--area3", "0", "--area4", "0"};
const QString kApplyFailed = QStringLiteral("Failed to apply settings.\nPlease check your device status.\n");
const QString kPlanUnreadable =
    QStringLiteral("Failed to read the settings file.\nPlease check the contents of the \"QZVeltoPatch.json\" file.");

// The event loop's largest gap between two runs of a 10 ms timer; rest() after a blocking call of
// the test itself.
class LoopGap {
public:
    LoopGap()
    {
        clock_.start();
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 now = clock_.elapsed();
            if (last_ >= 0)
                worst_ = std::max(worst_, now - last_);
            last_ = now;
        });
        timer_.start();
    }
    void rest() { last_ = -1; }
    qint64 worst() const { return worst_; }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = -1, worst_ = 0;
};

// The program and the installation of one scenario.
struct Session {
    ProgramEnvironment env; // outlives the installation, which writes its last dump there
    Installation installation;
    std::unique_ptr<ProgramWindow> window;
    std::map<std::string, std::string> expected;
    std::unique_ptr<LoopGap> gap;

    std::string path(const char *name) const { return env.dir.filePath(QLatin1String(name)).toStdString(); }

    // Starts the installation (with a command FIFO and `extra`; with `preset` its devices hold the
    // full plan from the start) and the program with the plan `planFor` makes of the full plan
    // (none: the full plan).
    using PlanText = std::function<QByteArray(const Plan &)>;
    bool start(std::vector<std::string> extra, const PlanText &planFor = nullptr, bool preset = false)
    {
        std::vector<std::string> args = kSmall;
        if (preset) {
            // The units' names, from a run that publishes nothing, for the preset file.
            Installation names;
            std::vector<std::string> quiet = args;
            quiet.insert(quiet.end(), {"--no-publish", "--config-port", "0", "--conmon-port", "0", "--device-port", "0"});
            if (!names.start(quiet, path("names")))
                return false;
            std::ofstream out(path("preset.txt"));
            for (const auto &e : expectedSubscriptions(fullPlan(names.units()), names))
                out << e.first << " rx " << e.second << " 2\n";
            extra.insert(extra.end(), {"--subscriptions", path("preset.txt")});
        }
        extra.insert(extra.end(), {"--commands", path("commands")});
        args.insert(args.end(), extra.begin(), extra.end());
        if (!installation.start(args, env.dir.path().toStdString()) ||
            installation.units().size() != size_t(kDevices))
            return false;
        const Plan full = fullPlan(installation.units());
        expected = expectedSubscriptions(full, installation);
        env.setCounts(1, 2, 1, 1, 1, QStringLiteral("02:00:00:00:00:01"));
        env.writeSendInterval(kSendInterval);
        env.writeFile(QStringLiteral("QZVeltoPatch.json"), planFor ? planFor(full) : planJson(full));
        gap = std::make_unique<LoopGap>();
        window = std::make_unique<ProgramWindow>(env.services());
        window->show();
        return true;
    }

    // Confirm enabled and every wanted device found, then Confirm pressed.
    ::testing::AssertionResult confirm()
    {
        QPushButton *button = program_test::button(*window, "confirmPushButton");
        if (!waitUntil([&] { return button->isEnabled(); }, kReadyMs))
            return ::testing::AssertionFailure() << "Confirm not enabled\n" << logText(*window).toStdString();
        const QStringList wanted = window->wantedKeys();
        const bool found = waitUntil(
            [&] {
                const QStringList keys = window->foundKeys();
                for (const QString &key : wanted)
                    if (!keys.contains(key))
                        return false;
                return true;
            },
            kFoundMs);
        if (!found)
            return ::testing::AssertionFailure() << "not all found\n" << window->deviceTable();
        button->click();
        if (!program_test::button(*window, "applyPushButton")->isEnabled())
            return ::testing::AssertionFailure() << "Confirm failed\n" << logText(*window).toStdString();
        return ::testing::AssertionSuccess();
    }

    // A command line to qz_testnet (see testnet/README.md).
    void command(const std::string &line)
    {
        int fd = open(path("commands").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        const std::string text = line + "\n";
        EXPECT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
        close(fd);
    }

    // The last "status" lines qz_testnet wrote: "<what>" -> the rest of its line.
    std::map<std::string, std::string> status()
    {
        const std::string log = path("testnet.log");
        auto count = [&] {
            std::ifstream in(log);
            std::string line;
            int n = 0;
            while (std::getline(in, line))
                n += line.rfind("qz_testnet: status conmon", 0) == 0;
            return n;
        };
        const int before = count();
        command("status");
        waitUntil([&] { return count() > before; }, 5000);
        std::map<std::string, std::string> out;
        std::ifstream in(log);
        std::string line;
        const std::string prefix = "qz_testnet: status ";
        while (std::getline(in, line)) {
            if (line.rfind(prefix, 0) != 0)
                continue;
            const std::string rest = line.substr(prefix.size());
            const size_t blank = rest.find(' ');
            out[rest.substr(0, blank)] = rest.substr(blank + 1);
        }
        return out;
    }

    // Subscriptions as the devices hold them.
    std::map<std::string, std::string> held()
    {
        std::map<std::string, std::string> out;
        EXPECT_TRUE(installation.subscriptions(out));
        gap->rest();
        return out;
    }

    // Apply pressed; true when it ended within the bound: done (step 0), or stopped by a failed
    // preferred-master answer (step 1, the failure written). `during` runs on each step change.
    bool apply(const std::function<void(int)> &during = nullptr)
    {
        const int logged = logText(*window).size();
        program_test::button(*window, "applyPushButton")->click();
        int step = -1;
        return waitUntil(
            [&] {
                if (window->step() != step) {
                    step = window->step();
                    if (during)
                        during(step);
                }
                return step == 0 || (step == 1 && logText(*window).mid(logged).contains(kApplyFailed));
            },
            kApplyBoundMs);
    }

    // What Apply left: never success with a device other than the plan, and every device left
    // other than the plan named in the log.
    void checkOutcome(const QString &log)
    {
        const std::map<std::string, std::string> now = held();
        std::set<std::string> wrong;
        for (const auto &e : expected) {
            auto it = now.find(e.first);
            if (it == now.end() || it->second != e.second)
                wrong.insert(e.first.substr(0, e.first.find(' ')));
        }
        if (log.contains(QStringLiteral("Apply succeed."))) {
            EXPECT_TRUE(wrong.empty()) << "Apply succeeded with devices left wrong\n" << log.toStdString();
        }
        for (const std::string &name : wrong) {
            Unit u;
            u.name = name;
            u.unit = int(strtol(name.c_str() + 1, nullptr, 16));
            u.model = name.find("KTV4-S") != std::string::npos ? "KTV4-S" : "RQA-310";
            EXPECT_TRUE(log.contains(QString::fromStdString(deviceLine(u))))
                << name << " is left other than planned and not named\n"
                << log.toStdString();
        }
    }
};

// "<n>" of "... controls <n> ..." in a unit's status line.
int controls(const std::string &statusLine)
{
    int n = -1;
    std::sscanf(statusLine.c_str(), "controls %d", &n);
    return n;
}

} // namespace

// The control-and-monitoring server goes away for 1.5 s in the clear step and comes back without
// the program's registrations. Apply ends within its bound as above; and the program has its link
// back: the next Apply's preferred-master commands reach every device.
TEST(ProgramFaultsService, ControlServerRestartedDuringApply)
{
    Session s;
    ASSERT_TRUE(s.start({}));
    ASSERT_TRUE(s.confirm());
    QElapsedTimer applyTime;
    applyTime.start();
    const bool ended = s.apply([&](int step) {
        if (step == 2)
            s.command("restart conmon 1500");
    });
    const QString first = logText(*s.window);
    ASSERT_TRUE(ended) << "Apply still in step " << s.window->step() << " after " << kApplyBoundMs << " ms\n"
                       << first.toStdString();
    std::printf("Apply with the server restarted: %.1f s (floor %.1f s)\n", applyTime.elapsed() / 1000.0,
                kApplyFloorMs / 1000.0);
    s.checkOutcome(first);

    // The next Apply: the first message the server gets from the program shows that it lost the
    // link; that device's preferred master is reported failed (with its device line), never set,
    // and the link comes back. An Apply after that reaches every device.
    const auto before = s.status();
    QString later;
    for (int attempt = 0; attempt < 2 && !later.contains(QStringLiteral("Apply succeed.")); ++attempt) {
        ASSERT_TRUE(s.confirm());
        const int logged = logText(*s.window).size();
        ASSERT_TRUE(s.apply()) << logText(*s.window).toStdString();
        later = logText(*s.window).mid(logged);
        std::printf("Apply %d after the restart: %s\n", attempt + 1,
                    s.window->step() == 1 ? "preferred master failed" : "ended");
        s.checkOutcome(later);
        if (s.window->step() == 1) {
            EXPECT_TRUE(later.contains(kApplyFailed)) << later.toStdString();
            EXPECT_TRUE(later.contains(QStringLiteral("UnitID : 001 Model : KTV4-S"))) << later.toStdString();
        }
    }
    EXPECT_TRUE(later.contains(QStringLiteral("Apply succeed."))) << logText(*s.window).toStdString();
    const auto after = s.status();
    for (const Unit &u : s.installation.units())
        EXPECT_GT(controls(after.at(u.name)), controls(before.at(u.name)))
            << u.name << " got no control message after the restart";
    EXPECT_NE(after.at(s.installation.nameOf("KTV4-S", 1)).find("preferred-master 1"), std::string::npos);
    EXPECT_LE(s.gap->worst(), kMaxGapMs);
    EXPECT_TRUE(s.env.prompts.messages.empty());
}

// The configuration service goes away for 10.5 s (longer than the keepalive interval, so the
// program sees it go) while the program is idle. Within the down time, one start-up wait (5 s)
// and a pass, the program is connected to it again; the Network List shows the interfaces, the
// Network group and the settings are as they were, and Apply still works.
TEST(ProgramFaultsService, ConfigurationServiceRestartedWhileIdle)
{
    constexpr int kDownMs = 10500;
    constexpr int kRegainMs = kDownMs + 5000 + 1000 + 2000;
    Session s;
    ASSERT_TRUE(s.start({}));
    ASSERT_TRUE(s.confirm());
    const QString ifName = label(*s.window, "label_IfName")->text();
    ASSERT_EQ(ifName, QStringLiteral("Ethernet"));
    s.command("restart config " + std::to_string(kDownMs));
    QElapsedTimer down;
    down.start();
    // Gone, then back.
    EXPECT_TRUE(waitUntil([&] { return s.status()["conmon"].find("config clients 0") != std::string::npos; }, 12000));
    s.gap->rest();
    EXPECT_TRUE(waitUntil([&] { return s.status()["conmon"].find("config clients 1") != std::string::npos; },
                          kRegainMs))
        << s.status()["conmon"];
    s.gap->rest();
    std::printf("connected again %.1f s after the restart\n", down.elapsed() / 1000.0);

    int rows = -1;
    s.env.prompts.onDialog = [&](QDialog &dialog) {
        if (auto *chooser = qobject_cast<NicSelectDialog *>(&dialog))
            rows = chooser->listWidget()->count();
        return int(QDialog::Rejected);
    };
    action(*s.window, "actionNetwork_List")->trigger();
    EXPECT_TRUE(waitUntil([&] { return s.env.prompts.dialogsRun == 1; }, 10000)) << logText(*s.window).toStdString();
    EXPECT_EQ(rows, 2);
    EXPECT_EQ(label(*s.window, "label_IfName")->text(), ifName);
    auto settings = s.env.services().settings();
    EXPECT_EQ(settings->value(QStringLiteral("NIC/MAC_Address")).toString(), QStringLiteral("02:00:00:00:00:01"));
    EXPECT_EQ(settings->value(QStringLiteral("DEVICE/Area1")).toString(), QStringLiteral("2"));

    ASSERT_TRUE(program_test::button(*s.window, "applyPushButton")->isEnabled() || s.confirm());
    ASSERT_TRUE(s.apply()) << logText(*s.window).toStdString();
    s.checkOutcome(logText(*s.window));
    EXPECT_TRUE(logText(*s.window).contains(QStringLiteral("Apply succeed.")));
    EXPECT_LE(s.gap->worst(), kMaxGapMs);
}

// A plan that reads as JSON but cannot be carried out: Apply says the plan is unreadable at once
// and clears nothing; the devices keep the subscriptions they held.
void applyMalformedPlan(const QByteArray &plan)
{
    Session s;
    ASSERT_TRUE(s.start({}, [&](const Plan &) { return plan; }, true));
    ASSERT_EQ(s.held(), s.expected) << "the preset did not take";
    ASSERT_TRUE(s.confirm());
    program_test::button(*s.window, "applyPushButton")->click();
    EXPECT_EQ(s.window->step(), 0);
    EXPECT_TRUE(logText(*s.window).contains(kPlanUnreadable)) << logText(*s.window).toStdString();
    // Nothing may go out later either: give a would-be clear step its time.
    waitUntil([] { return false; }, 3000 + 2 * kSendInterval);
    EXPECT_EQ(s.held(), s.expected);
    EXPECT_FALSE(logText(*s.window).contains(QStringLiteral("Apply succeed.")));
    EXPECT_LE(s.gap->worst(), kMaxGapMs);
}

TEST(ProgramFaultsService, PlanNamingAChannelTheDeviceLacksClearsNothing)
{
    // The second RQA-310 has two receive channels, not three.
    applyMalformedPlan(QByteArrayLiteral(
        "{ \"devs\": [ { \"id\": 1, \"devType\": \"KTV4-S\", \"rxChs\": [ { \"rxCh\": 1, \"txCh\": 1, \"id\": 1, "
        "\"devType\": \"RQA-310\" } ] }, { \"id\": 2, \"devType\": \"RQA-310\", \"rxChs\": [ { \"rxCh\": 3, "
        "\"txCh\": 1, \"id\": 1, \"devType\": \"KTV4-S\" } ] } ] }\n"));
}

TEST(ProgramFaultsService, PlanWithAChannelWrittenAsTextClearsNothing)
{
    applyMalformedPlan(QByteArrayLiteral(
        "{ \"devs\": [ { \"id\": 1, \"devType\": \"KTV4-S\", \"rxChs\": [ { \"rxCh\": \"1\", \"txCh\": 1, "
        "\"id\": 1, \"devType\": \"RQA-310\" } ] } ] }\n"));
}

// A plan written only half (cut in the middle): the program says so at start-up and ends; the
// devices keep the subscriptions they held.
TEST(ProgramFaultsService, HalfWrittenPlanClearsNothing)
{
    Session s;
    const Session::PlanText half = [](const Plan &full) {
        const QByteArray whole = planJson(full);
        return whole.left(whole.size() / 2);
    };
    ASSERT_TRUE(s.start({}, half, true));
    // The message comes at once (start-up runs 0 ms after the window is made) and the window closes.
    EXPECT_TRUE(waitUntil([&] { return !s.env.prompts.messages.empty(); }, 5000));
    ASSERT_EQ(s.env.prompts.messages.size(), 1u);
    EXPECT_EQ(s.env.prompts.messages[0].text, kPlanUnreadable);
    EXPECT_TRUE(waitUntil([&] { return !s.window->isVisible(); }, 5000));
    waitUntil([] { return false; }, 2000);
    EXPECT_EQ(s.held(), s.expected);
    EXPECT_LE(s.gap->worst(), kMaxGapMs);
}
