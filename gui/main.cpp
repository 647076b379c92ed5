#include "gui/MainWindow.h"

#include <QApplication>

#if defined(QZ_HAVE_VELTOWRAPPER)
#include "wrapper/veltoWrapper.h"
#endif

int main(int argc, char *argv[])
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication app(argc, argv);

    AppServices services;
#if defined(QZ_HAVE_VELTOWRAPPER)
    services.wrapperFactory = &instance;
#endif
    MainWindow window(services);
    window.show();
    return app.exec();
}
