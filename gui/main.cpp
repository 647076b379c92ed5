#include "gui/Fonts.h"
#include "gui/ProgramRestart.h"

#include <QApplication>

#if defined(QZ_HAVE_VELTOWRAPPER)
#include "wrapper/veltoWrapper.h"
#endif

int main(int argc, char *argv[])
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication app(argc, argv);
    installFontSubstitutes();

    AppServices services;
#if defined(QZ_HAVE_VELTOWRAPPER)
    services.wrapperFactory = &instance;
#endif
    return runMainWindow(app, services, launchDetached);
}
