// The restart's watch over its new copy on a real X display: a virtual display of the test's own
// that resets when its last client leaves, as a bare X server does. The new copies are this
// program again, started detached as the restart starts them: "--window-after MS" opens a window
// after MS, "--no-window" ends without one.
#include "gui/ProgramRestart.h"
#include "tests/gui/support/LsanSuppressions.h"

#include <QApplication>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

pid_t xvfb = -1;

// Starts Xvfb on the first free display and sets DISPLAY to it; false when it did not start.
bool startDisplay()
{
    int number[2];
    if (pipe(number) != 0)
        return false;
    xvfb = fork();
    if (xvfb == 0) {
        close(number[0]);
        const std::string fd = std::to_string(number[1]);
        std::freopen("/dev/null", "w", stderr);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "640x480x24", "-nolisten", "tcp",
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
        return false;
    setenv("DISPLAY", (":" + std::string(text, std::strcspn(text, "\n"))).c_str(), 1);
    return true;
}

qint64 elapsedMs(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

TEST(SuccessorWatch, SeesTheNewCopysWindowOnTheDisplayOrItsEnd)
{
    const SuccessorWatch watch = displayWatch();
    ASSERT_TRUE(watch.onDisplay) << "the program runs on an X display here";
    const QString self = QCoreApplication::applicationFilePath();

    const auto started = std::chrono::steady_clock::now();
    const qint64 slow = launchDetached(self, {"--window-after", "1500"});
    ASSERT_GT(slow, 0);
    EXPECT_FALSE(watch.onDisplay(slow));
    EXPECT_EQ(awaitSuccessor(slow, watch, kSuccessorTimeoutMs), SuccessorStart::OnDisplay);
    EXPECT_GE(elapsedMs(started), 1500) << "its window opens 1.5 s after its start";
    EXPECT_TRUE(watch.running(slow));
    EXPECT_FALSE(watch.onDisplay(getpid())) << "this process has no window";
    kill(static_cast<pid_t>(slow), SIGTERM);

    const qint64 none = launchDetached(self, {"--no-window"});
    ASSERT_GT(none, 0);
    EXPECT_EQ(awaitSuccessor(none, watch, kSuccessorTimeoutMs), SuccessorStart::Ended);
    EXPECT_FALSE(watch.running(none));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--no-window") == 0)
        return 0;
    if (argc == 3 && std::strcmp(argv[1], "--window-after") == 0) {
        QThread::msleep(static_cast<unsigned long>(std::atoi(argv[2])));
        QApplication app(argc, argv);
        QWidget window;
        window.setWindowTitle("new copy");
        window.show();
        QTimer::singleShot(20000, &app, &QCoreApplication::quit); // should the test not end it
        return app.exec();
    }
    if (!startDisplay()) {
        std::fprintf(stderr, "successor_watch_test: Xvfb did not start\n");
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    int rc;
    {
        QApplication app(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
        rc = RUN_ALL_TESTS();
    }
    kill(xvfb, SIGTERM);
    waitpid(xvfb, nullptr, 0);
    return rc;
}
