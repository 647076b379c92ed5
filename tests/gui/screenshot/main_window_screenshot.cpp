// Takes a picture of the main window after start-up against the fake wrapper: the interface in
// use is shown, browsing has started and Confirm is enabled.
// Usage: main_window_screenshot OUTPUT.png (scripts/screenshot runs it under Xvfb).
#include "gui/Fonts.h"
#include "tests/gui/support/LsanSuppressions.h"
#include "tests/gui/support/MainWindowDriver.h"
#include "tests/gui/support/WindowPicture.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    installFontSubstitutes();

    GuiTestEnvironment env;
    env.writeSampleFiles();
    {
        auto settings = env.settings();
        settings->setValue("DEVICE/KTV4S", 1);
        settings->setValue("DEVICE/Area1", 2);
        settings->setValue("NIC/MAC_Address", "00:1B:21:3A:4C:5D");
    }
    MainWindowDriver drive(env);
    ProbeWindow &window = drive.create();
    window.move(0, 0);
    drive.startUp({{"enp3s0", "00:1B:21:3A:4C:5D", "192.168.10.20"}, {"wlp2s0", "60:57:18:AA:BB:CC", "10.1.1.7"}},
                  {"enp3s0", "00:1B:21:3A:4C:5D", "192.168.10.20"});

    return writeWindowPicture(window, argv[1]);
}
