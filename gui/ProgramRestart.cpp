#include "gui/ProgramRestart.h"

#include "gui/MainWindow.h"

#include <QApplication>
#include <QProcess>

bool launchDetached(const QString &program, const QStringList &arguments)
{
    return QProcess::startDetached(program, arguments);
}

int finishEventLoop(int result, const QString &program, const DetachedLauncher &launch)
{
    if (result != MainWindow::restartExitCode)
        return result;
    // The new copy finds everything it needs in the settings file; a failed start is not reported.
    if (launch)
        launch(program, QStringList());
    return 0;
}

int runMainWindow(QApplication &app, const AppServices &services, const DetachedLauncher &launch)
{
    MainWindow window(services);
    window.show();
    const int result = app.exec();
    return finishEventLoop(result, QCoreApplication::applicationFilePath(), launch);
}
