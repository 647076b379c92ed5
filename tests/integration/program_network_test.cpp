// QZ Config Tool against the simulated installation (one KTV4-S, two RQA-310) through the
// namespace's avahi-daemon: the Network group and the log pane show the interface in use and then
// every wanted device found by Confirm; another interface chosen in the chooser is set, and once the
// configuration service has switched the program ends its event loop for the restart, which
// launches one new copy of itself.
#include "gui/NicListItem.h"
#include "gui/NicSelectDialog.h"
#include "gui/ProgramRestart.h"
#include "tests/integration/program_support.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

using namespace program_test;

namespace {

// From the window's first show to Confirm enabled the program waits 12 + 2 + 3 + 2 s by design.
constexpr int kReadyMs = 45000;
constexpr int kFoundMs = 60000;
constexpr int kSwitchMs = 30000;

struct Launch {
    QString program;
    QStringList arguments;
};

} // namespace

TEST(ProgramNetwork, ShowsTheInterfaceAndTheDevicesAndRestartsOnAnotherInterface)
{
    QElapsedTimer elapsed;
    elapsed.start();
    ProgramEnvironment env; // outlives the installation, which writes its last dump there
    Installation installation;
    ASSERT_TRUE(installation.start({"--ktv4s", "1", "--area1", "2", "--area2", "0", "--area3", "0", "--area4", "0"},
                                   env.dir.path().toStdString()));
    ASSERT_EQ(installation.units().size(), 3u);

    env.recordExit = false; // the window ends Qt's event loop itself
    env.setCounts(1, 2, 8, 8, 8);
    env.writeSendInterval(20);
    env.writeFile(QStringLiteral("QZVeltoPatch.json"), planJson(fullPlan(installation.units())));

    ProgramWindow window(env.services());
    window.show();

    std::vector<Launch> launches;
    const DetachedLauncher launcher = [&launches](const QString &program, const QStringList &arguments,
                                                  const QProcessEnvironment &) {
        launches.push_back({program, arguments});
        return qint64(4242);
    };

    // The user's part runs inside the event loop; a loop that is never ended is ended with -1.
    bool driven = false;
    int rows = -1, preselected = -1;
    QTimer::singleShot(0, &window, [&] {
        QPushButton *confirm = button(window, "confirmPushButton");
        ASSERT_TRUE(waitUntil([&] { return confirm->isEnabled(); }, kReadyMs)) << logText(window).toStdString();
        // The configuration service's interface in use, in the Network group.
        EXPECT_EQ(label(window, "label_IfName")->text(), QStringLiteral("Ethernet"));
        EXPECT_TRUE(logText(window).startsWith(QStringLiteral("Setup Network\nPlease wait ...\nBrowsing start\nOK")))
            << logText(window).toStdString();

        const QStringList wanted = window.wantedKeys();
        ASSERT_EQ(wanted, (QStringList{"001:KTV4-S", "001:RQA-310", "002:RQA-310"}));
        EXPECT_TRUE(waitUntil(
            [&] {
                const QStringList found = window.foundKeys();
                for (const QString &key : wanted)
                    if (!found.contains(key))
                        return false;
                return true;
            },
            kFoundMs))
            << "found: " << window.foundKeys().join(' ').toStdString();
        confirm->click();
        EXPECT_TRUE(logText(window).contains(
            QStringLiteral("Device detection successful.\nPlease press the Apply button to apply settings.")))
            << logText(window).toStdString();
        EXPECT_TRUE(button(window, "applyPushButton")->isEnabled());

        // Network List, then "Ethernet 2" chosen in the chooser's own list and OK pressed.
        env.prompts.onDialog = [&](QDialog &dialog) {
            auto *chooser = qobject_cast<NicSelectDialog *>(&dialog);
            if (!chooser)
                return int(QDialog::Rejected);
            QListWidget *list = chooser->listWidget();
            rows = list->count();
            preselected = list->currentRow();
            for (int row = 0; row < list->count(); ++row) {
                auto *item = qobject_cast<NicListItem *>(list->itemWidget(list->item(row)));
                if (item && item->name() == QStringLiteral("Ethernet 2"))
                    list->setCurrentRow(row);
            }
            chooser->findChild<QPushButton *>(QStringLiteral("btn_OK"))->click();
            return chooser->result();
        };
        action(window, "actionNetwork_List")->trigger();
        ASSERT_TRUE(waitUntil([&] { return env.prompts.dialogsRun == 1; }, kSwitchMs)) << logText(window).toStdString();
        EXPECT_EQ(rows, 2);
        EXPECT_GE(preselected, 0);
        EXPECT_TRUE(logText(window).contains(QStringLiteral("Change Network\nPlease wait ...")));
        // The switch goes out 2 s later; the configuration service reports the new interface in
        // use once it has switched, and the window shows it as it ends the loop.
        EXPECT_TRUE(
            waitUntil([&] { return label(window, "label_IfName")->text() == QStringLiteral("Ethernet 2"); }, kSwitchMs))
            << logText(window).toStdString();
        driven = true;
    });
    QTimer::singleShot(kReadyMs + kFoundMs + 2 * kSwitchMs, &window, [] { QCoreApplication::exit(-1); });

    const int result = QApplication::exec();
    EXPECT_TRUE(driven);
    EXPECT_EQ(result, MainWindow::restartExitCode);
    EXPECT_EQ(finishEventLoop(result, QCoreApplication::applicationFilePath(), launcher), 0);
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].program, QCoreApplication::applicationFilePath());
    EXPECT_TRUE(launches[0].arguments.isEmpty());
    // The chosen interface is saved for the new copy.
    auto settings = env.services().settings();
    EXPECT_EQ(settings->value(QStringLiteral("NIC/MAC_Address")).toString(), QStringLiteral("02:00:00:00:00:02"));
    EXPECT_TRUE(env.prompts.messages.empty());
    std::printf("interface switch and restart after %.1f s\n", elapsed.elapsed() / 1000.0);
}
