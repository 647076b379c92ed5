#include "gui/Fonts.h"
#include "gui/ProgramRestart.h"

#include <QApplication>

#include "wrapper/veltoWrapper.h"

int main(int argc, char *argv[])
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication app(argc, argv);
    installFontSubstitutes();

    AppServices services;
    services.wrapperFactory = &instance;
    return runMainWindow(app, services, launchDetached);
}
