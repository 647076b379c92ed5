#include "gui/Fonts.h"
#include "gui/ProgramRestart.h"

#include <QApplication>

#include "wrapper/veltoWrapper.h"

int main(int argc, char *argv[])
{
    // Before anything can start a process that would inherit it.
    const int shownFd = takeShownFd();
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication app(argc, argv);
    installFontSubstitutes();

    AppServices services;
    services.wrapperFactory = &instance;
    return runMainWindow(app, services, launchDetached, shownFd);
}
