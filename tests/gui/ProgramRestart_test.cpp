// The program's run and its restart after a change of interface.
#include "gui/MainWindow.h"
#include "gui/ProgramRestart.h"
#include "tests/gui/support/MainWindowDriver.h"

#include <QApplication>
#include <QFile>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

struct Launch {
    QString program;
    QStringList arguments;
    int wrappersDeletedThen;
};

TEST(ProgramRestart, OnlyTheRestartCodeLaunchesOneCopyWithoutArguments)
{
    const struct {
        int loopResult;
        bool launchWorks;
        int exitCode;
        size_t launches;
    } cases[] = {
        {9999, true, 0, 1}, {9999, false, 0, 1}, {0, true, 0, 0},     {1, true, 1, 0},
        {9998, true, 9998, 0}, {-1, true, -1, 0}, {10000, true, 10000, 0},
    };
    for (const auto &c : cases) {
        std::vector<std::pair<QString, QStringList>> launches;
        const DetachedLauncher launcher = [&](const QString &program, const QStringList &arguments) {
            launches.emplace_back(program, arguments);
            return c.launchWorks ? qint64(4242) : qint64(0);
        };
        qint64 successor = -1;
        EXPECT_EQ(finishEventLoop(c.loopResult, "/opt/qz/QZConfigTool", launcher, &successor), c.exitCode)
            << c.loopResult;
        EXPECT_EQ(successor, c.launches && c.launchWorks ? 4242 : 0) << c.loopResult;
        ASSERT_EQ(launches.size(), c.launches) << c.loopResult;
        if (c.launches) {
            EXPECT_EQ(launches[0].first, "/opt/qz/QZConfigTool");
            EXPECT_TRUE(launches[0].second.isEmpty());
        }
    }
}

// A new copy as the ending one sees it: on the display from `shownAtMs` of the fake clock (never
// when negative), ended from `endedAtMs`.
struct FakeSuccessor {
    qint64 now = 0;
    qint64 shownAtMs = -1, endedAtMs = -1;
    std::vector<qint64> asked; // the process ids asked about
    std::function<void()> onFirstLook;

    SuccessorWatch watch()
    {
        SuccessorWatch w;
        w.onDisplay = [this](qint64 pid) {
            if (asked.empty() && onFirstLook)
                onFirstLook();
            asked.push_back(pid);
            return shownAtMs >= 0 && now >= shownAtMs;
        };
        w.running = [this](qint64) { return endedAtMs < 0 || now < endedAtMs; };
        w.nowMs = [this] { return now; };
        w.sleepMs = [this](int ms) { now += ms; };
        return w;
    }
};

TEST(ProgramRestart, TheEndingCopyWaitsForTheNewOneOnTheDisplayUntilItEndsOrTheTimeOut)
{
    FakeSuccessor shown;
    shown.shownAtMs = 1000;
    EXPECT_EQ(awaitSuccessor(77, shown.watch(), 30000), SuccessorStart::OnDisplay);
    EXPECT_GE(shown.now, 1000);
    EXPECT_LT(shown.now, 1100);
    EXPECT_EQ(shown.asked.back(), 77);

    FakeSuccessor ended;
    ended.endedAtMs = 400;
    EXPECT_EQ(awaitSuccessor(77, ended.watch(), 30000), SuccessorStart::Ended);
    EXPECT_LT(ended.now, 500);

    FakeSuccessor slow;
    EXPECT_EQ(awaitSuccessor(77, slow.watch(), 30000), SuccessorStart::NotSeen);
    EXPECT_GE(slow.now, 30000);
    EXPECT_LT(slow.now, 30100);

    FakeSuccessor alreadyThere;
    alreadyThere.shownAtMs = 0;
    alreadyThere.endedAtMs = 0;
    EXPECT_EQ(awaitSuccessor(77, alreadyThere.watch(), 30000), SuccessorStart::OnDisplay)
        << "a copy that showed its window and ended since is not a failed restart";
}

class ProgramRunTest : public ::testing::Test {
protected:
    void SetUp() override { env.writeSampleFiles(); }

    // Runs the program's event loop while `drive` plays the wrapper and the clock; a loop that
    // does not end within 20 s of real time ends with -1.
    int run(std::function<void()> drive)
    {
        AppServices services = env.services();
        services.exitEventLoop = nullptr; // the real end of the event loop
        QTimer::singleShot(0, qApp, std::move(drive));
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
        guard.start(20000);
        auto &app = *static_cast<QApplication *>(QCoreApplication::instance());
        return runMainWindow(
            app, services,
            [this](const QString &program, const QStringList &arguments) {
                launches.push_back({program, arguments, env.wrapper->wrappersDeleted.load()});
                return launchedPid;
            },
            successor.watch());
    }
    void report(const std::function<void(IVeltoNotify &)> &report)
    {
        env.wrapper->reportFromWorker(report);
        QCoreApplication::sendPostedEvents();
    }
    void reportInterfaceInUse(const std::wstring &name, const std::string &mac)
    {
        report([&](IVeltoNotify &notify) { notify.notifyCurrentIf(name, mac); });
    }

    // Runs the start-up and reports a switch to the other interface: the window asks for a restart.
    void switchInterface()
    {
        env.settings()->setValue("NIC/MAC_Address", "66:77:88:99:AA:BB");
        env.scheduler.runDue();
        env.scheduler.advance(12000);
        report([](IVeltoNotify &notify) {
            notify.notifyIfList(2, {L"eth0", L"eth1"}, {"00:11:22:33:44:55", "66:77:88:99:AA:BB"},
                                {"192.168.1.10", "10.0.0.5"});
        });
        env.scheduler.advance(2000);
        reportInterfaceInUse(L"eth0", "00:11:22:33:44:55");
        env.scheduler.runDue();
        reportInterfaceInUse(L"eth1", "66:77:88:99:AA:BB");
        env.scheduler.runDue();
    }

    GuiTestEnvironment env;
    std::vector<Launch> launches;
    FakeSuccessor successor;
    qint64 launchedPid = 4242; // 0: the launch fails
};

TEST_F(ProgramRunTest, AnInterfaceSwitchEndsTheProgramWithOneDetachedLaunch)
{
    // The new copy is on the display 2 s after the window has gone, which is when it is looked for.
    successor.shownAtMs = 2000;
    int wrappersDeletedAtFirstLook = -1;
    successor.onFirstLook = [&] { wrappersDeletedAtFirstLook = env.wrapper->wrappersDeleted.load(); };
    const int exitCode = run([this] { switchInterface(); });
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(wrappersDeletedAtFirstLook, 1);
    EXPECT_EQ(successor.asked.back(), 4242);
    EXPECT_GE(successor.now, 2000) << "this copy stayed on the display until the new one was there";
    EXPECT_TRUE(env.prompts.messages.empty());
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].program, QCoreApplication::applicationFilePath());
    EXPECT_TRUE(launches[0].arguments.isEmpty()) << "the test's own arguments are not passed on";
    EXPECT_EQ(launches[0].wrappersDeletedThen, 0) << "the copy starts while this one still owns its wrapper";
    EXPECT_EQ(env.wrapper->wrappersDeleted.load(), 1) << "then the window and the wrapper go";
    EXPECT_EQ(env.wrapper->callsOf("setIf").size(), 1u);
}

TEST_F(ProgramRunTest, ANewCopyThatEndsBeforeItsWindowOpensOrCannotStartIsToldToTheUser)
{
    successor.endedAtMs = 300;
    EXPECT_EQ(run([this] { switchInterface(); }), 0);
    ASSERT_EQ(launches.size(), 1u);
    ASSERT_EQ(env.prompts.messages.size(), 1u);
    EXPECT_EQ(env.prompts.messages[0].icon, QMessageBox::Critical);
    EXPECT_EQ(env.prompts.messages[0].text.toStdString(),
              "The application could not restart: its new copy ended before it opened its window.\n"
              "Start QZ Config Tool again; it will use the network interface you chose.");

    env.prompts.messages.clear();
    launches.clear();
    launchedPid = 0;
    EXPECT_EQ(run([this] { switchInterface(); }), 0);
    ASSERT_EQ(launches.size(), 1u);
    ASSERT_EQ(env.prompts.messages.size(), 1u);
    EXPECT_TRUE(env.prompts.messages[0].text.startsWith(
        "The application could not restart: its new copy could not be started."))
        << env.prompts.messages[0].text.toStdString();
}

TEST_F(ProgramRunTest, ClosingTheWindowEndsWithoutARestart)
{
    QFile::remove(env.filePath("QZVeltoPatch.json"));
    const int exitCode = run([this] { env.scheduler.runDue(); });
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(launches.empty());
    EXPECT_TRUE(successor.asked.empty()) << "no new copy looked for";
    ASSERT_EQ(env.prompts.messages.size(), 1u) << "the start-up failure closed the window";
}

} // namespace
