// One life of the program: the main window, its one event loop, and the restart the window may
// ask for. The window ends the loop with MainWindow::restartExitCode after it has switched
// veltoWrapper to another network interface; a new, detached copy of the program is then started
// without arguments, while this copy still owns its window and its wrapper, and this copy ends
// with 0 once the new copy has shown its window (or has ended, or a time-out has passed).
//
// The new copy says that its window is shown by writing one byte to a pipe it inherits from the
// ending copy; the number of its end is in the environment variable named by kShownFdVariable.
// The pipe closes unwritten when the new copy ends first. This works alike on every platform.
#pragma once

#include "gui/AppServices.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>

class QApplication;
class QWidget;
class Scheduler;

// The environment variable that names the new copy's end of the pipe.
constexpr char kShownFdVariable[] = "QZ_SHOWN_FD";

// Starts `program` with `arguments` and `environment` as a process of its own; its process id, 0
// when it could not be started.
using DetachedLauncher = std::function<qint64(const QString &program, const QStringList &arguments,
                                              const QProcessEnvironment &environment)>;

// QProcess::startDetached. Descriptors without close-on-exec are passed on.
qint64 launchDetached(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment);

// The ending copy's side of the pipe.
class SuccessorPipe {
public:
    SuccessorPipe();
    ~SuccessorPipe();
    SuccessorPipe(const SuccessorPipe &) = delete;
    SuccessorPipe &operator=(const SuccessorPipe &) = delete;

    bool valid() const { return readEnd >= 0; }
    // This process's environment, with the number of the end the new copy writes to.
    QProcessEnvironment environment() const;
    // The new copy has been started (or could not be): this copy's write end is closed, so that
    // the pipe closes once the new copy's end does.
    void launched();
    int readFd() const { return readEnd; }

private:
    int readEnd = -1, writeEnd = -1;
};

// The process exit code for the event loop's `result`. A restart request launches `program` once,
// with no arguments and `environment`, and gives 0 whether or not the launch succeeded; any other
// result is passed through and launches nothing. `successor`, when given, gets the new copy's
// process id (0: none).
int finishEventLoop(int result, const QString &program, const DetachedLauncher &launch,
                    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
                    qint64 *successor = nullptr);

enum class SuccessorStart { Shown, Ended, NotShown };

// What the new copy has said on `pipe` so far, without waiting: NotShown while it says nothing.
SuccessorStart successorNow(const SuccessorPipe &pipe);

// Runs the event loop until the new copy writes to `pipe` (its window is shown), closes its end
// unwritten (it has ended), or `timeoutMs` has passed on `scheduler`. The display connection
// stays open meanwhile; should it break, Qt ends this process at once.
SuccessorStart awaitSuccessor(const SuccessorPipe &pipe, Scheduler &scheduler, int timeoutMs);

// How long the ending copy waits for the new one to show its window.
constexpr int kSuccessorTimeoutMs = 30000;

// In a copy started by a restart: takes the end of the pipe that the environment names, drops the
// variable and makes the end close-on-exec, so that nothing this copy starts inherits either; -1
// in a copy started otherwise. `main` calls it first, before anything can start a process.
int takeShownFd();

// Writes to `fd` (from takeShownFd) once `window` is first exposed on the display, and closes it.
// Should the ending copy be gone by then, the write fails and this copy runs on. Does nothing
// with -1.
void announceWhenShown(QWidget &window, int fd);

// Shows the main window, runs the event loop, restarts when asked and returns the process exit
// code; `shownFd` is this copy's end of its own restart's pipe (takeShownFd). The window is
// destroyed after the restart has been launched; this process then keeps its connection to the
// display until the new copy has shown its window, since a display server that resets when its
// last client leaves drops a client that is connecting meanwhile. A new copy that could not be
// started or ended before it showed its window is told to the user as a failed restart; one that
// has not shown it in time is told as still starting, and as ended should it end while that
// message is open.
int runMainWindow(QApplication &app, const AppServices &services, const DetachedLauncher &launch, int shownFd);
