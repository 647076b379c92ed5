// QZ Config Tool as a user runs it, against the simulated installation: qz_testnet as a child
// process (published through the namespace's avahi-daemon), and the program's main window with the
// real veltoWrapper, real timers and its files and settings in a temporary directory. Only the
// answers to modal questions are scripted.
#pragma once

#include "gui/MainWindow.h"
#include "tests/integration/installation.h"
#include "tests/gui/support/ScriptedPrompts.h"
#include "wrapper/veltoWrapper.h"

#include <QElapsedTimer>
#include <QMetaMethod>
#include <QString>
#include <QTimer>
#include <QTemporaryDir>

#include <sys/types.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QPushButton;
class QTextBrowser;
class QLabel;
class QAction;

namespace program_test {

// The main window with what the tests read.
class ProgramWindow : public MainWindow {
public:
    using MainWindow::MainWindow;

    int step() const { return applyStep; }
    // Device keys of the connected devices in veltoManager's table.
    QStringList foundKeys()
    {
        QStringList keys;
        foundDeviceKeys(keys);
        return keys;
    }
    QStringList wantedKeys()
    {
        QStringList keys;
        wantedDeviceKeys(keys);
        return keys;
    }
    // Every record of veltoManager's device table, one line each, for failure reports.
    std::string deviceTable();
    // The clear steps Apply has started so far: each connects its progress dialog to the window.
    int clearSteps() const { return clearStepsStarted; }

protected:
    void connectNotify(const QMetaMethod &signal) override
    {
        if (signal == QMetaMethod::fromSignal(&MainWindow::rcvSetPatch))
            ++clearStepsStarted;
        MainWindow::connectNotify(signal);
    }

private:
    int clearStepsStarted = 0;
};

// The program's surroundings: its file directory and settings file in a temporary directory, the
// real veltoWrapper, Qt's timers and scripted answers to modal questions.
class ProgramEnvironment {
public:
    ProgramEnvironment();

    AppServices services();
    void writeFile(const QString &name, const QByteArray &content) const;
    // Writes the wanted counts (and, when not empty, the saved interface MAC) to the settings.
    void setCounts(int ktv4s, int area1, int area2, int area3, int area4, const QString &mac = QString());
    // "QZSetting.json" with `sendInterval`.
    void writeSendInterval(int ms) const;

    QTemporaryDir dir;
    ScriptedPrompts prompts;
    std::vector<int> exitCodes;
    // Set: the end of the event loop is recorded in exitCodes instead of ending Qt's loop.
    bool recordExit = true;
};

// The event loop's largest gap between two runs of a 10 ms timer; rest() after a blocking call of
// the test itself.
struct LoopGap {
    LoopGap()
    {
        clock.start();
        QObject::connect(&timer, &QTimer::timeout, [this] {
            if (last >= 0)
                worst = std::max(worst, clock.elapsed() - last);
            last = clock.elapsed();
        });
        timer.start(10);
    }
    void rest() { last = -1; }
    QTimer timer;
    QElapsedTimer clock;
    qint64 last = -1, worst = 0;
};

// Runs the event loop until `done` holds or `timeoutMs` has passed; the answer of `done`.
bool waitUntil(const std::function<bool()> &done, int timeoutMs);

QTextBrowser *logPane(QWidget &window);
QString logText(QWidget &window);
QPushButton *button(QWidget &window, const char *name);
QLabel *label(QWidget &window, const char *name);
QAction *action(QWidget &window, const char *name);

// The patch plan: receive device key -> receive channel -> {transmit device key, transmit channel}.
struct PlanEntry {
    int txUnit;
    std::string txModel;
    int txChannel;
};
using Plan = std::map<std::pair<std::string, int>, std::map<int, PlanEntry>>; // {model, unit} -> rx -> tx

// A plan that subscribes every receive channel of every unit (64 per KTV4-S, 2 per RQA-310) to a
// transmit channel of another unit, spread over the installation.
Plan fullPlan(const std::vector<Unit> &units);
QByteArray planJson(const Plan &plan);
// What the devices hold once `plan` is applied, in the dump's form.
std::map<std::string, std::string> expectedSubscriptions(const Plan &plan, const Installation &installation);
// The same for the units `units` (as an installation of them will name them).
std::map<std::string, std::string> expectedSubscriptions(const Plan &plan, const std::vector<Unit> &units);

// The units of the largest installation the program counts (4 KTV4-S, 97 RQA-310) as qz_testnet
// names them, known before it starts, so that their subscriptions can be preset.
std::vector<Unit> largestInstallation();
// Writes `subscriptions` (the dump's form) as presets for qz_testnet's --subscriptions.
bool writeSubscriptions(const std::string &path, const std::map<std::string, std::string> &subscriptions);
// Whether `entries`, a patch list of `device` with `channels` receive channels, names what the
// dump `held` shows: entry i the transmit device and channel number of receive channel i + 1, or an
// empty name and 0 when it is not subscribed. `why` (when not null) gets the first difference.
bool patchListHolds(const std::string &device, size_t channels, const std::vector<wfa_patch_entry> &entries,
                    const std::map<std::string, std::string> &held, std::string *why = nullptr);

// The device line of the program's failure messages: "UnitID : 026 Model : RQA-310".
std::string deviceLine(const Unit &unit);

} // namespace program_test
