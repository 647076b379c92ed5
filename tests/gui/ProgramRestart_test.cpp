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
            return c.launchWorks;
        };
        EXPECT_EQ(finishEventLoop(c.loopResult, "/opt/qz/QZConfigTool", launcher), c.exitCode) << c.loopResult;
        ASSERT_EQ(launches.size(), c.launches) << c.loopResult;
        if (c.launches) {
            EXPECT_EQ(launches[0].first, "/opt/qz/QZConfigTool");
            EXPECT_TRUE(launches[0].second.isEmpty());
        }
    }
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
        return runMainWindow(app, services, [this](const QString &program, const QStringList &arguments) {
            launches.push_back({program, arguments, env.wrapper->wrappersDeleted.load()});
            return true;
        });
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

    GuiTestEnvironment env;
    std::vector<Launch> launches;
};

TEST_F(ProgramRunTest, AnInterfaceSwitchEndsTheProgramWithOneDetachedLaunch)
{
    env.settings()->setValue("NIC/MAC_Address", "66:77:88:99:AA:BB");
    const int exitCode = run([this] {
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
    });
    EXPECT_EQ(exitCode, 0);
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].program, QCoreApplication::applicationFilePath());
    EXPECT_TRUE(launches[0].arguments.isEmpty()) << "the test's own arguments are not passed on";
    EXPECT_EQ(launches[0].wrappersDeletedThen, 0) << "the copy starts while this one still owns its wrapper";
    EXPECT_EQ(env.wrapper->wrappersDeleted.load(), 1) << "then the window and the wrapper go";
    EXPECT_EQ(env.wrapper->callsOf("setIf").size(), 1u);
}

TEST_F(ProgramRunTest, ClosingTheWindowEndsWithoutARestart)
{
    QFile::remove(env.filePath("QZVeltoPatch.json"));
    const int exitCode = run([this] { env.scheduler.runDue(); });
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(launches.empty());
    ASSERT_EQ(env.prompts.messages.size(), 1u) << "the start-up failure closed the window";
}

} // namespace
