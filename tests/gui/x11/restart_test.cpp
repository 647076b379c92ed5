// The program's restart after Network List, copy after copy, as separate processes: each copy is
// this program run without arguments, the program's window, restart and handshake over a fake
// veltoWrapper whose interface in use is the one the shared settings file names, and delays cut
// to a twentieth (the waits of 30 s stay). The copies run on a virtual X display of the test's
// own that resets when its last client leaves (no -noreset), or on Qt's offscreen platform.
//
// The test itself is no client of the display. Each copy writes a line per event to DIR/log:
// "GENERATION PID start|shown|restart|exit CODE|told TEXT". DIR/plan says what the copies do:
// "restarts N" (the first N generations ask for a restart, each AFTER ms after its window is
// shown: "after MS"), "GENERATION exit" (that one ends at once, before it reaches the display),
// "GENERATION hang" (that one never reaches the display), "GENERATION late" (that one opens its
// window only once the copy before it has ended, with SIGPIPE not ignored), "GENERATION
// impatient" (that one waits 1 s for its new copy to show its window, not 30 s).
#include "gui/NicSelectDialog.h"
#include "gui/ProgramRestart.h"
#include "gui/Scheduler.h"
#include "gui/UserPrompts.h"
#include "tests/gui/support/FakeVeltoWrapper.h"
#include "tests/gui/support/LsanSuppressions.h"
#include "tests/support/quoting.h"

#include <QAction>
#include <QApplication>
#include <QEventLoop>
#include <QListWidget>
#include <QSettings>
#include <QTimer>
#include <QWindow>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr char kDirVariable[] = "QZ_RESTART_TEST_DIR";

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string readText(const std::string &path)
{
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// ---- a copy ----

struct Interface {
    std::wstring name;
    std::string mac;
};
const Interface kInterfaces[] = {{L"eth0", "02:00:00:00:00:01"}, {L"eth1", "02:00:00:00:00:02"}};

class Copy {
public:
    explicit Copy(std::string dir) : dir(std::move(dir))
    {
        generation = std::atoi(readText(this->dir + "/generation").c_str()) + 1;
        std::ofstream(this->dir + "/generation") << generation;
        std::istringstream plan(readText(this->dir + "/plan"));
        std::string key, value;
        while (plan >> key >> value) {
            if (key == "restarts")
                restarts = std::atoi(value.c_str());
            else if (key == "after")
                afterMs = std::atoi(value.c_str());
            else if (std::atoi(key.c_str()) == generation)
                behaviour = value;
        }
    }

    void note(const std::string &event) const
    {
        std::ofstream(dir + "/log", std::ios::app) << generation << ' ' << getpid() << ' ' << event << '\n';
    }
    // Whether `other` (a generation) has noted `event`.
    bool noted(int other, const std::string &event) const
    {
        std::istringstream log(readText(dir + "/log"));
        int g;
        std::string pid, what, rest;
        while (log >> g >> pid >> what && std::getline(log, rest))
            if (g == other && what == event)
                return true;
        return false;
    }

    int generation = 0;
    int restarts = 0;
    int afterMs = 0;
    std::string behaviour;
    std::string dir;
};

// The program's delays cut to a twentieth; the waits of 30 s for a report or a new copy stay, but
// for the wait of an impatient copy for its new one (the one wait that runs in an event loop of
// its own).
class HurriedScheduler : public Scheduler {
public:
    explicit HurriedScheduler(bool impatient) : impatient(impatient) {}
    void singleShot(int ms, QObject *context, std::function<void()> task) override
    {
        if (impatient && qobject_cast<QEventLoop *>(context))
            ms = 1000;
        else if (ms < 30000)
            ms /= 20;
        QtScheduler::shared().singleShot(ms, context, std::move(task));
    }

private:
    const bool impatient;
};

// The chooser answered with the interface not in use; every message box noted and answered Ok.
class CopyPrompts : public UserPrompts {
public:
    explicit CopyPrompts(const Copy &copy) : copy(copy) {}
    QMessageBox::StandardButton message(const PromptMessage &message) override
    {
        copy.note("told " + message.text.simplified().toStdString());
        return QMessageBox::Ok;
    }
    int execDialog(QDialog &dialog) override
    {
        auto *chooser = qobject_cast<NicSelectDialog *>(&dialog);
        if (!chooser)
            return QDialog::Rejected;
        chooser->listWidget()->setCurrentRow(1 - chooser->listWidget()->currentRow());
        chooser->slotClickOK();
        return chooser->result();
    }

private:
    const Copy &copy;
};

QWidget *mainWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (widget->objectName() == QLatin1String("MainWindow"))
            return widget;
    return nullptr;
}

int runCopy(const std::string &dir)
{
    const int shownFd = takeShownFd();
    Copy copy(dir);
    copy.note("start");
    if (copy.behaviour == "exit")
        return 3;
    if (copy.behaviour == "hang") {
        std::this_thread::sleep_for(std::chrono::minutes(2));
        return 4;
    }
    if (copy.behaviour == "late") {
        // SIGPIPE as a process has it by default: Qt's launch leaves it ignored, other launchers
        // do not.
        signal(SIGPIPE, SIG_DFL);
        for (int i = 0; i < 3000 && !copy.noted(copy.generation - 1, "exit"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    int argc = 1;
    char name[] = "copy";
    char *argv[] = {name, nullptr};
    QApplication app(argc, argv);

    // The interface in use is the one the settings name, as the configuration service keeps the
    // interface a program chose; a switch is reported as done.
    const QString settingsFile = QString::fromStdString(dir + "/settings.ini");
    const QString mac = QSettings(settingsFile, QSettings::IniFormat).value("NIC/MAC_Address").toString();
    Interface inUse = kInterfaces[mac.toStdString() == kInterfaces[1].mac ? 1 : 0];
    auto wrapper = std::make_shared<FakeWrapperState>();
    size_t answered = 0;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        const std::vector<WrapperCall> calls = wrapper->calls();
        for (; answered < calls.size(); ++answered) {
            const WrapperCall &call = calls[answered];
            if (call.op == "requestIfList")
                wrapper->reportFromWorker([](IVeltoNotify &notify) {
                    notify.notifyIfList(2, {kInterfaces[0].name, kInterfaces[1].name},
                                        {kInterfaces[0].mac, kInterfaces[1].mac}, {"192.168.1.10", "192.168.2.10"});
                });
            else if (call.op == "requestIf" || call.op == "setIf") {
                if (call.op == "setIf")
                    inUse = kInterfaces[call.ifName == kInterfaces[1].name ? 1 : 0];
                wrapper->reportFromWorker([inUse](IVeltoNotify &notify) { notify.notifyCurrentIf(inUse.name, inUse.mac); });
            }
        }
    });
    answer.start(5);

    // Shown: noted; then, while restarts are left, Network List once it is enabled.
    bool shown = false;
    qint64 shownAt = 0;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        QWidget *window = mainWindow();
        if (!window)
            return;
        if (!shown && window->windowHandle() && window->windowHandle()->isExposed()) {
            shown = true;
            shownAt = nowMs();
            copy.note("shown");
        }
        auto *networkList = window->findChild<QAction *>(QStringLiteral("actionNetwork_List"));
        if (shown && copy.generation <= copy.restarts && nowMs() - shownAt >= copy.afterMs && networkList &&
            networkList->isEnabled()) {
            look.stop();
            copy.note("restart");
            networkList->trigger();
        }
    });
    look.start(10);

    HurriedScheduler scheduler(copy.behaviour == "impatient");
    CopyPrompts prompts(copy);
    AppServices services;
    services.wrapperFactory = fakeVeltoFactory(wrapper);
    services.scheduler = &scheduler;
    services.prompts = &prompts;
    services.programDir = QString::fromStdString(dir + "/files");
    services.openSettings = [settingsFile] { return std::make_unique<QSettings>(settingsFile, QSettings::IniFormat); };
    const int code = runMainWindow(app, services, launchDetached, shownFd);
    copy.note("exit " + std::to_string(code));
    return code;
}

// ---- the test: the display, the copies it starts, what they noted ----

// Starts Xvfb on the first free display with `extra` arguments; its process id, or -1.
pid_t startDisplay(std::string &display)
{
    int number[2];
    if (pipe(number) != 0)
        return -1;
    const pid_t xvfb = fork();
    if (xvfb == 0) {
        close(number[0]);
        const std::string fd = std::to_string(number[1]);
        std::freopen("/dev/null", "w", stderr);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "800x600x24", "-nolisten", "tcp",
               static_cast<char *>(nullptr));
        _exit(127);
    }
    close(number[1]);
    char text[32] = {};
    ssize_t got = 0, n;
    while (got < static_cast<ssize_t>(sizeof text - 1) && (n = read(number[0], text + got, sizeof text - 1 - got)) > 0 &&
           !std::strchr(text, '\n'))
        got += n;
    close(number[0]);
    if (xvfb < 0 || text[0] < '0' || text[0] > '9')
        return -1;
    display = ":" + std::string(text, std::strcspn(text, "\n"));
    return xvfb;
}

struct Event {
    int generation;
    pid_t pid;
    std::string what; // start, shown, restart, exit, told
    std::string text;
};

class RestartChain : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/qz-restart-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        const std::string files = qz_test::shellQuoted(dir + "/files");
        ASSERT_EQ(std::system(("mkdir " + files + " && cp " + qz_test::shellQuoted(QZ_SAMPLE_DIR) + "/* " + files).c_str()),
                  0);
    }
    void TearDown() override
    {
        for (const Event &e : events())
            if (e.what == "start" && !ended(e.pid))
                kill(e.pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        reap();
        if (xvfb > 0) {
            kill(xvfb, SIGTERM);
            waitpid(xvfb, nullptr, 0);
        }
        std::system(("rm -rf " + qz_test::shellQuoted(dir)).c_str());
    }

    bool startX11()
    {
        xvfb = startDisplay(display);
        return xvfb > 0;
    }
    // Starts the first copy with `plan`, on the display or offscreen.
    void startChain(const std::string &plan, bool x11)
    {
        std::ofstream(dir + "/plan") << plan;
        const pid_t pid = fork();
        if (pid == 0) {
            setenv(kDirVariable, dir.c_str(), 1);
            const std::string runtime = dir + "/runtime";
            mkdir(runtime.c_str(), 0700);
            setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
            setenv("QT_QPA_PLATFORM", x11 ? "xcb" : "offscreen", 1);
            if (x11)
                setenv("DISPLAY", display.c_str(), 1);
            execl("/proc/self/exe", "restart_test", static_cast<char *>(nullptr));
            _exit(127);
        }
        ASSERT_GT(pid, 0);
    }

    std::vector<Event> events() const
    {
        std::vector<Event> out;
        std::istringstream in(readText(dir + "/log"));
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            Event e;
            fields >> e.generation >> e.pid >> e.what;
            std::getline(fields >> std::ws, e.text);
            out.push_back(e);
        }
        return out;
    }
    // The event `what` of `generation`; `generation` 0 when there is none (yet).
    Event find(int generation, const std::string &what) const
    {
        for (const Event &e : events())
            if (e.generation == generation && e.what == what)
                return e;
        return Event{0, 0, what, ""};
    }
    bool has(int generation, const std::string &what) const { return find(generation, what).generation != 0; }
    std::string told() const
    {
        std::string out;
        for (const Event &e : events())
            if (e.what == "told")
                out += std::to_string(e.generation) + ": " + e.text + "\n";
        return out;
    }
    // Every copy is a child of this process: the ones a restart starts too, once the process that
    // started them is gone (this process is their subreaper).
    void reap()
    {
        int status;
        pid_t pid;
        while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
            statuses[pid] = status;
    }
    bool ended(pid_t pid)
    {
        reap();
        return statuses.count(pid) != 0;
    }
    bool waitFor(const std::function<bool()> &done, int timeoutMs)
    {
        const qint64 end = nowMs() + timeoutMs;
        while (!done()) {
            if (nowMs() >= end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    bool rootMarked() const
    {
        return std::system(("DISPLAY=" + display + " xprop -root QZ_RESTART_MARK 2>/dev/null | grep -q '= \"kept\"'")
                               .c_str()) == 0;
    }

    std::string dir, display;
    pid_t xvfb = -1;
    std::map<pid_t, int> statuses;
};

// Without the ending copy's wait the display resets at the first restart (the mark goes) or drops
// the new copy as it connects: a few restarts in a row show it.
TEST_F(RestartChain, OnADisplayThatResetsTheRestartAfterNetworkListHoldsFiveTimesInARow)
{
    constexpr int kRestarts = 5;
    ASSERT_TRUE(startX11());
    startChain("restarts " + std::to_string(kRestarts) + "\nafter 5000\n", true);

    // Once the first copy is on the display, a mark on its root window: a reset would clear it.
    ASSERT_TRUE(waitFor([&] { return has(1, "shown"); }, 30000)) << readText(dir + "/log");
    ASSERT_EQ(std::system(("DISPLAY=" + display + " xprop -root -f QZ_RESTART_MARK 8s -set QZ_RESTART_MARK kept").c_str()), 0);

    // Each new copy shows its window and still runs 5 s later: it asks for the next restart then,
    // or (the last) is looked at then. Each copy before it has ended with 0, untold.
    const int last = kRestarts + 1;
    for (int generation = 2; generation <= last; ++generation) {
        ASSERT_TRUE(waitFor([&] { return has(generation, "start"); }, 60000))
            << "copy " << generation << "\n" << readText(dir + "/log");
        const pid_t pid = find(generation, "start").pid;
        EXPECT_TRUE(waitFor([&] { return has(generation, "shown") || ended(pid); }, 60000));
        ASSERT_TRUE(has(generation, "shown")) << readText(dir + "/log");
        if (generation < last) {
            EXPECT_TRUE(waitFor([&] { return has(generation, "restart") || ended(pid); }, 30000));
            ASSERT_TRUE(has(generation, "restart")) << "copy " << generation << " ended on its own\n"
                                                    << readText(dir + "/log");
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5000));
            EXPECT_FALSE(ended(pid)) << "the last copy ended on its own\n" << readText(dir + "/log");
        }
        ASSERT_TRUE(waitFor([&] { return has(generation - 1, "exit"); }, 10000));
        EXPECT_EQ(find(generation - 1, "exit").text, "0") << "copy " << generation - 1;
    }
    EXPECT_EQ(told(), "");
    EXPECT_TRUE(rootMarked()) << "the display reset while the copies restarted";

    // Its last client gone, the display resets.
    const pid_t pid = find(last, "start").pid;
    kill(pid, SIGTERM);
    EXPECT_TRUE(waitFor([&] { return ended(pid); }, 10000));
    EXPECT_TRUE(waitFor([&] { return !rootMarked(); }, 5000)) << "a display that does not reset";
}

TEST_F(RestartChain, ANewCopyThatEndsAtOnceIsToldToTheUserOnX11AndOffscreen)
{
    for (const bool x11 : {true, false}) {
        SCOPED_TRACE(x11 ? "x11" : "offscreen");
        if (x11) {
            ASSERT_TRUE(startX11());
        }
        std::remove((dir + "/log").c_str());
        std::remove((dir + "/generation").c_str());
        // The first copy restarts into one that shows its window and restarts in turn, into one
        // that ends at once.
        startChain("restarts 2\nafter 0\n3 exit\n", x11);
        ASSERT_TRUE(waitFor([&] { return has(2, "exit"); }, 60000)) << readText(dir + "/log");
        EXPECT_TRUE(has(3, "start"));
        EXPECT_EQ(told(), "2: The application could not restart: its new copy ended before it opened its window. Start "
                          "QZ Config Tool again; it will use the network interface you chose.\n");
        EXPECT_EQ(find(1, "exit").text, "0");
        EXPECT_EQ(find(2, "exit").text, "0");
        if (x11) {
            kill(xvfb, SIGTERM);
            waitpid(xvfb, nullptr, 0);
            xvfb = -1;
        }
    }
}

TEST_F(RestartChain, ANewCopyThatShowsItsWindowOnceTheEndingCopyIsGoneIsToldAsStillStartingAndRunsOn)
{
    // The first copy gives up its wait after 1 s and ends; the second, which shows its window only
    // then, writes into a pipe without a reader, and restarts in turn into a third. Offscreen:
    // a display that resets when the first copy leaves would drop the second as it connects.
    startChain("restarts 2\nafter 0\n1 impatient\n2 late\n", false);
    ASSERT_TRUE(waitFor([&] { return has(2, "start"); }, 60000)) << readText(dir + "/log");
    const pid_t second = find(2, "start").pid;
    EXPECT_TRUE(waitFor([&] { return has(2, "restart") || ended(second); }, 60000));
    ASSERT_TRUE(has(2, "restart")) << "the copy shown late ended on its own\n" << readText(dir + "/log");
    ASSERT_TRUE(waitFor([&] { return has(3, "shown") && has(2, "exit"); }, 60000)) << readText(dir + "/log");
    EXPECT_EQ(find(1, "exit").text, "0");
    EXPECT_EQ(find(2, "exit").text, "0");
    EXPECT_EQ(told(), "1: QZ Config Tool is restarting: its new copy is still starting and has not opened its window "
                      "within 30 s. Its window opens once it is ready; do not start QZ Config Tool again meanwhile.\n");
}

TEST_F(RestartChain, TheEndingCopyWaitsNoLongerOnceItsDisplayHasGone)
{
    ASSERT_TRUE(startX11());
    startChain("restarts 1\nafter 0\n2 hang\n", true);
    ASSERT_TRUE(waitFor([&] { return has(2, "start"); }, 60000)) << readText(dir + "/log");
    const pid_t first = find(1, "start").pid;
    EXPECT_FALSE(ended(first)) << "it waits for the new copy";

    kill(xvfb, SIGKILL);
    waitpid(xvfb, nullptr, 0);
    xvfb = -1;
    const qint64 gone = nowMs();
    EXPECT_TRUE(waitFor([&] { return ended(first); }, 10000));
    EXPECT_LT(nowMs() - gone, 5000) << "not the 30 s of the wait";
    EXPECT_EQ(told(), "");
}

} // namespace

int main(int argc, char **argv)
{
    if (const char *dir = std::getenv(kDirVariable))
        return runCopy(dir);
    // The copies a restart starts are orphaned as their launch ends: they come to this process.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
