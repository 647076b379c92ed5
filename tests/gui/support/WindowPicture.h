// The picture of a shown window for the screenshot programs, written as a PNG.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QScreen>
#include <QTest>
#include <QWidget>

#include <cstdio>

// Waits until `window` is shown and painted, then writes what the display server shows of it (or
// the widget's own rendering when the screen gives nothing) to `path`. Returns the program's exit
// status: 0, or 1 after a line on standard error.
inline int writeWindowPicture(QWidget &window, const char *path)
{
    if (!QTest::qWaitForWindowExposed(&window, 5000)) {
        std::fprintf(stderr, "the window was not shown\n");
        return 1;
    }
    // Let the window system paint everything before the picture is taken.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 500)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

    QPixmap picture;
    if (QScreen *screen = window.screen())
        picture = screen->grabWindow(0, window.frameGeometry().x(), window.frameGeometry().y(),
                                     window.frameGeometry().width(), window.frameGeometry().height());
    if (picture.isNull() || picture.size().isEmpty())
        picture = window.grab();
    if (!picture.save(QString::fromLocal8Bit(path), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", path);
        return 1;
    }
    std::printf("%s: %dx%d\n", path, picture.width(), picture.height());
    return 0;
}
