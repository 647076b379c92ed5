// Takes a picture of QZ Config Tool after a successful Apply: the real program and veltoWrapper
// against qz_testnet (one KTV4-S, two RQA-310, the sample plan beside the program), Confirm and
// Apply pressed once every device is found.
// Usage: apply_screenshot OUTPUT.png (scripts/screenshot --apply runs it under Xvfb, inside the
// namespace of tests/integration/avahi-netns.sh).
#include "gui/Fonts.h"
#include "tests/gui/support/LsanSuppressions.h"
#include "tests/gui/support/WindowPicture.h"
#include "tests/integration/program_support.h"

#include <QApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QPushButton>

#include <cstdio>

using namespace program_test;

namespace {

int fail(QWidget &window, const char *what)
{
    std::fprintf(stderr, "apply_screenshot: %s\n--- log pane ---\n%s\n", what, qPrintable(logText(window)));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    installFontSubstitutes();

    ProgramEnvironment env;
    Installation installation;
    if (!installation.start({"--ktv4s", "1", "--area1", "2", "--area2", "0", "--area3", "0", "--area4", "0"},
                            env.dir.path().toStdString())) {
        std::fprintf(stderr, "apply_screenshot: the simulated installation did not start\n");
        return 1;
    }
    env.setCounts(1, 2, 8, 8, 8);
    env.writeSendInterval(100);
    QFile plan(QStringLiteral(QZ_SAMPLE_DIR "/QZVeltoPatch.json"));
    if (!plan.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "apply_screenshot: no sample plan in %s\n", QZ_SAMPLE_DIR);
        return 1;
    }
    env.writeFile(QStringLiteral("QZVeltoPatch.json"), plan.readAll());

    ProgramWindow window(env.services());
    window.move(0, 0);
    window.show();
    QPushButton *confirm = button(window, "confirmPushButton");
    if (!waitUntil([&] { return confirm->isEnabled(); }, 45000))
        return fail(window, "Confirm was not enabled");
    const QStringList wanted = window.wantedKeys();
    if (!waitUntil(
            [&] {
                const QStringList found = window.foundKeys();
                for (const QString &key : wanted)
                    if (!found.contains(key))
                        return false;
                return true;
            },
            60000))
        return fail(window, "not every device was found");
    confirm->click();
    button(window, "applyPushButton")->click();
    if (!waitUntil([&] { return window.step() == 0; }, 60000) ||
        !logText(window).contains(QStringLiteral("Apply succeed.")))
        return fail(window, "Apply did not succeed");

    return writeWindowPicture(window, argv[1]);
}
