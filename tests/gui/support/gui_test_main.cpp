// Entry of the GUI tests: a QApplication on the offscreen platform (unless the caller chose one),
// then GoogleTest.
#include <QApplication>
#include <gmock/gmock.h>

#if defined(__SANITIZE_ADDRESS__)
// Qt's offscreen platform keeps its screen objects until the process ends; those, and the system
// font library's caches, are not leaks of this program. Qt is built without frame pointers, so
// its allocations show only their innermost frame. (What a suppressed block reaches is not
// reported either, so no pattern here may match an allocation that any QObject makes.)
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libqoffscreen.so\n"
           "leak:QPlatformScreen::QPlatformScreen\n"
           "leak:QScreen::QScreen\n"
           "leak:QWindowSystemInterface::handleScreenAdded\n"
           "leak:libfontconfig.so\n";
}
#endif

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
