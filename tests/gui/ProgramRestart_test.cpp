// The program's run and its restart after a change of interface.
#include "gui/MainWindow.h"
#include "gui/ProgramRestart.h"
#include "tests/gui/support/MainWindowDriver.h"

#include <QApplication>
#include <QFile>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct Launch {
    QString program;
    QStringList arguments;
    int wrappersDeletedThen;
    int shownFd; // the new copy's own end of the pipe (a duplicate, as a child's), -1 when none
};

// What can be read from the ending copy's end now: 1 a byte, 0 the pipe closed, -1 nothing yet.
int readNow(const SuccessorPipe &pipe)
{
    char byte;
    const ssize_t n = read(pipe.readFd(), &byte, 1);
    return n > 0 ? 1 : n == 0 ? 0 : -1;
}

// The new copy's end, as the environment names it to the new copy; -1 when none.
int shownFdOf(const QProcessEnvironment &environment)
{
    bool ok = false;
    const int fd = environment.value(QLatin1String(kShownFdVariable)).toInt(&ok);
    return ok ? fd : -1;
}

TEST(ProgramRestart, OnlyTheRestartCodeLaunchesOneCopyWithoutArgumentsWithThePipeInItsEnvironment)
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
        SuccessorPipe pipe;
        ASSERT_TRUE(pipe.valid());
        std::vector<Launch> launches;
        const DetachedLauncher launcher = [&](const QString &program, const QStringList &arguments,
                                              const QProcessEnvironment &environment) {
            launches.push_back({program, arguments, 0, shownFdOf(environment)});
            EXPECT_EQ(environment.value("PATH"), qEnvironmentVariable("PATH")) << "this process's environment";
            return c.launchWorks ? qint64(4242) : qint64(0);
        };
        qint64 successor = -1;
        EXPECT_EQ(finishEventLoop(c.loopResult, "/opt/qz/QZConfigTool", launcher, pipe.environment(), &successor),
                  c.exitCode)
            << c.loopResult;
        EXPECT_EQ(successor, c.launches && c.launchWorks ? 4242 : 0) << c.loopResult;
        ASSERT_EQ(launches.size(), c.launches) << c.loopResult;
        if (!c.launches)
            continue;
        EXPECT_EQ(launches[0].program, "/opt/qz/QZConfigTool");
        EXPECT_TRUE(launches[0].arguments.isEmpty());
        // The named end is this pipe's write end, and the new copy inherits it.
        const int fd = launches[0].shownFd;
        ASSERT_GT(fd, STDERR_FILENO);
        EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        const char byte = 7;
        ASSERT_EQ(write(fd, &byte, 1), 1);
        EXPECT_EQ(readNow(pipe), 1);
    }
}

TEST(ProgramRestart, TheNewCopyTakesItsEndFromTheEnvironmentAndWritesOnceItsWindowIsShown)
{
    SuccessorPipe pipe;
    ASSERT_TRUE(pipe.valid());
    const int fd = shownFdOf(pipe.environment());
    ASSERT_GE(fd, 0);
    // As a new copy finds it: the variable names the end it inherited.
    const int inherited = dup(fd);
    pipe.launched();
    qputenv(kShownFdVariable, QByteArray::number(inherited));
    {
        EXPECT_EQ(takeShownFd(), inherited);
        EXPECT_FALSE(qEnvironmentVariableIsSet(kShownFdVariable)) << "nothing this copy starts inherits it";
        EXPECT_NE(fcntl(inherited, F_GETFD) & FD_CLOEXEC, 0);
        QWidget window;
        window.show();
        announceWhenShown(window, inherited);
        EXPECT_TRUE(QTest::qWaitFor([&] { return readNow(pipe) == 1; }, 5000)) << "the window is exposed";
        EXPECT_EQ(readNow(pipe), 0) << "one byte, then the end is closed";
    }

    // A copy started otherwise, or a variable that names no pipe end open for writing above the
    // standard descriptors, writes nothing and leaves the descriptor alone.
    SuccessorPipe other;
    const int readEnd = other.readFd();
    for (const QByteArray &text : {QByteArray(), QByteArray("1"), QByteArray("x"), QByteArray("-1"),
                                   QByteArray::number(readEnd), QByteArray("999")}) {
        if (text.isNull())
            qunsetenv(kShownFdVariable);
        else
            qputenv(kShownFdVariable, text);
        EXPECT_EQ(takeShownFd(), -1) << text.constData();
        EXPECT_FALSE(qEnvironmentVariableIsSet(kShownFdVariable)) << text.constData();
        EXPECT_EQ(fcntl(readEnd, F_GETFD), FD_CLOEXEC) << text.constData();
    }
}

class ProgramRunTest : public ::testing::Test {
protected:
    void SetUp() override { env.writeSampleFiles(); }
    void TearDown() override
    {
        for (const Launch &l : launches)
            if (l.shownFd >= 0)
                close(l.shownFd);
    }

    // Runs the program's event loop while `drive` plays the wrapper and the clock; a loop that
    // does not end within 20 s of real time ends with -1. `newCopy` runs once the new copy has
    // been launched and this copy waits for it (its own loop, its window gone).
    int run(std::function<void()> drive, std::function<void()> newCopy = nullptr)
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
            [this, newCopy](const QString &program, const QStringList &arguments,
                            const QProcessEnvironment &environment) {
                const int fd = shownFdOf(environment);
                launches.push_back({program, arguments, env.wrapper->wrappersDeleted.load(), fd >= 0 ? dup(fd) : -1});
                if (newCopy && launchedPid > 0)
                    QTimer::singleShot(0, qApp, newCopy);
                return launchedPid;
            },
            -1);
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
    // The new copy's end: writes its byte (its window is shown) or closes unwritten (it ended).
    void newCopyShows()
    {
        const char byte = 1;
        EXPECT_EQ(write(launches.back().shownFd, &byte, 1), 1);
    }
    void newCopyEnds()
    {
        close(launches.back().shownFd);
        launches.back().shownFd = -1;
    }
    std::string told() const
    {
        return env.prompts.messages.size() == 1 ? env.prompts.messages[0].text.toStdString()
                                                : std::to_string(env.prompts.messages.size()) + " messages";
    }

    GuiTestEnvironment env;
    std::vector<Launch> launches;
    qint64 launchedPid = 4242; // 0: the launch fails
};

TEST_F(ProgramRunTest, AnInterfaceSwitchEndsTheProgramOnceTheNewCopyHasShownItsWindow)
{
    // The new copy shows its window after 20 s of the clock, once the window here has gone.
    int wrappersDeletedThen = -1;
    bool shown = false;
    const int exitCode = run([this] { switchInterface(); },
                             [&] {
                                 wrappersDeletedThen = env.wrapper->wrappersDeleted.load();
                                 env.scheduler.advance(20000);
                                 shown = true;
                                 newCopyShows();
                             });
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(shown) << "this copy stayed (and kept its display connection) until the new one showed its window";
    EXPECT_EQ(wrappersDeletedThen, 1) << "the window and the wrapper went before";
    EXPECT_TRUE(env.prompts.messages.empty()) << told();
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].program, QCoreApplication::applicationFilePath());
    EXPECT_TRUE(launches[0].arguments.isEmpty()) << "the test's own arguments are not passed on";
    EXPECT_EQ(launches[0].wrappersDeletedThen, 0) << "the copy starts while this one still owns its wrapper";
    EXPECT_EQ(env.wrapper->wrappersDeleted.load(), 1);
    EXPECT_EQ(env.wrapper->callsOf("setIf").size(), 1u);
}

TEST_F(ProgramRunTest, ANewCopyThatEndsFirstOrCannotStartIsToldAsAFailureAndOneNotShownInTimeAsStillStarting)
{
    const std::string advice = ".\nStart QZ Config Tool again; it will use the network interface you chose.";
    const std::string ended = "The application could not restart: its new copy ended before it opened its window" + advice;
    EXPECT_EQ(run([this] { switchInterface(); }, [this] { newCopyEnds(); }), 0);
    ASSERT_EQ(launches.size(), 1u);
    ASSERT_EQ(env.prompts.messages.size(), 1u);
    EXPECT_EQ(env.prompts.messages[0].icon, QMessageBox::Critical);
    EXPECT_EQ(told(), ended);

    // Nothing for 30 s of the clock (a second earlier the copy still waits): the new copy is
    // still starting, and is told so. Should it end while that message is open, that is told
    // too; should it show its window meanwhile, nothing more.
    const std::string starting = "QZ Config Tool is restarting: its new copy is still starting and has not opened its "
                                 "window within 30 s.\nIts window opens once it is ready; do not start QZ Config Tool "
                                 "again meanwhile.";
    const struct {
        const char *meanwhile;
        std::vector<std::string> told;
    } cases[] = {{"nothing", {starting}}, {"shows", {starting}}, {"ends", {starting, ended}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.meanwhile);
        env.prompts.messages.clear();
        launches.clear();
        env.prompts.onMessage = [&](const PromptMessage &) {
            if (env.prompts.messages.size() == 1 && c.meanwhile == std::string("shows"))
                newCopyShows();
            else if (env.prompts.messages.size() == 1 && c.meanwhile == std::string("ends"))
                newCopyEnds();
        };
        bool waitedAt29s = false;
        EXPECT_EQ(run([this] { switchInterface(); },
                      [&] {
                          env.scheduler.advance(29999);
                          waitedAt29s = env.prompts.messages.empty();
                          env.scheduler.advance(1);
                      }),
                  0);
        EXPECT_TRUE(waitedAt29s);
        std::vector<std::string> told;
        for (const PromptMessage &m : env.prompts.messages)
            told.push_back(m.text.toStdString());
        EXPECT_EQ(told, c.told);
        ASSERT_FALSE(env.prompts.messages.empty());
        EXPECT_EQ(env.prompts.messages[0].icon, QMessageBox::Information);
    }
    env.prompts.onMessage = nullptr;

    env.prompts.messages.clear();
    launches.clear();
    launchedPid = 0;
    EXPECT_EQ(run([this] { switchInterface(); }), 0);
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(told(), "The application could not restart: its new copy could not be started" + advice);
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
