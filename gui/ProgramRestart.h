// One life of the program: the main window, its one event loop, and the restart the window may
// ask for. The window ends the loop with MainWindow::restartExitCode after it has switched
// veltoWrapper to another network interface; a new, detached copy of the program is then started
// without arguments, while this copy still owns its window and its wrapper, and this copy ends
// with 0.
#pragma once

#include "gui/AppServices.h"

#include <QString>
#include <QStringList>

#include <functional>

class QApplication;

// Starts `program` with `arguments` as a process of its own; false when it could not be started.
using DetachedLauncher = std::function<bool(const QString &program, const QStringList &arguments)>;

// QProcess::startDetached.
bool launchDetached(const QString &program, const QStringList &arguments);

// The process exit code for the event loop's `result`. A restart request launches `program` once,
// with no arguments, and gives 0 whether or not the launch succeeded; any other result is passed
// through and launches nothing.
int finishEventLoop(int result, const QString &program, const DetachedLauncher &launch);

// Shows the main window, runs the event loop, restarts when asked and returns the process exit
// code. The window is destroyed after the restart has been launched.
int runMainWindow(QApplication &app, const AppServices &services, const DetachedLauncher &launch);
