// One life of the program: the main window, its one event loop, and the restart the window may
// ask for. The window ends the loop with MainWindow::restartExitCode after it has switched
// veltoWrapper to another network interface; a new, detached copy of the program is then started
// without arguments, while this copy still owns its window and its wrapper, and this copy ends
// with 0 once the new copy is on the display (or has ended, or a time-out has passed).
#pragma once

#include "gui/AppServices.h"

#include <QString>
#include <QStringList>

#include <functional>

class QApplication;

// Starts `program` with `arguments` as a process of its own; its process id, 0 when it could not
// be started.
using DetachedLauncher = std::function<qint64(const QString &program, const QStringList &arguments)>;

// QProcess::startDetached.
qint64 launchDetached(const QString &program, const QStringList &arguments);

// The process exit code for the event loop's `result`. A restart request launches `program` once,
// with no arguments, and gives 0 whether or not the launch succeeded; any other result is passed
// through and launches nothing. `successor`, when given, gets the new copy's process id (0: none).
int finishEventLoop(int result, const QString &program, const DetachedLauncher &launch, qint64 *successor = nullptr);

// What the ending copy sees of the new one, and the clock it waits by.
struct SuccessorWatch {
    // The process `pid` has a window on the display this copy is connected to. Empty where the
    // copies share no display connection that could be lost (Qt's offscreen platform).
    std::function<bool(qint64 pid)> onDisplay;
    std::function<bool(qint64 pid)> running;
    std::function<qint64()> nowMs;
    std::function<void(int ms)> sleepMs;
};

// The display of this process (an X display: the windows' _NET_WM_PID), its processes, the steady
// clock.
SuccessorWatch displayWatch();

enum class SuccessorStart { OnDisplay, Ended, NotSeen };

// Waits until the new copy `pid` has a window on the display, has ended, or `timeoutMs` has passed.
SuccessorStart awaitSuccessor(qint64 pid, const SuccessorWatch &watch, int timeoutMs);

// How long the ending copy waits for the new one to open its window.
constexpr int kSuccessorTimeoutMs = 30000;

// Shows the main window, runs the event loop, restarts when asked and returns the process exit
// code. The window is destroyed after the restart has been launched; this process then keeps its
// connection to the display until the new copy is on it too, since an X server that resets when
// its last client leaves drops a client that is connecting meanwhile. A new copy that could not
// be started, or ended before it opened its window, is told to the user.
int runMainWindow(QApplication &app, const AppServices &services, const DetachedLauncher &launch,
                  const SuccessorWatch &watch = SuccessorWatch());
