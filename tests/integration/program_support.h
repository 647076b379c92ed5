// QZ Config Tool as a user runs it, against the simulated installation: qz_testnet as a child
// process (published through the namespace's avahi-daemon), and the program's main window with the
// real veltoWrapper, real timers and its files and settings in a temporary directory. Only the
// answers to modal questions are scripted.
#pragma once

#include "gui/MainWindow.h"
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

// One unit of the installation as qz_testnet prints it.
struct Unit {
    std::string name;
    std::string model; // "KTV4-S" or "RQA-310"
    int unit = 0;
};

// qz_testnet as a child process. Its units are read from its standard output up to "ready".
class Installation {
public:
    Installation() = default;
    ~Installation();
    Installation(const Installation &) = delete;
    Installation &operator=(const Installation &) = delete;

    // Starts qz_testnet with `args` and `--dump DIR/dump.txt`, its standard error going to
    // DIR/testnet.log; false when it did not report ready.
    bool start(const std::vector<std::string> &args, const std::string &dir);
    const std::vector<Unit> &units() const { return units_; }
    // The name of the unit of `model` with `unit` id; empty when there is none.
    std::string nameOf(const std::string &model, int unit) const;
    // Asks for the dump (SIGUSR1) and returns what it holds: "<rx device> <rx id>" -> "<tx
    // channel>@<tx device>" for every subscribed receive channel. False when no dump came.
    bool subscriptions(std::map<std::string, std::string> &out, int timeoutMs = 10000);
    // The routing requests its loss left unanswered, as of the last dump; -1 when it reported none.
    long lostRequests() const;
    // The property questions (sample rate, preferred master, lock, AES67) its devices were sent, in
    // all and at most to one device, as of the last dump; false when it reported none.
    bool questions(long &total, long &most) const;
    // The routing requests its devices received (before any loss), in all and at most at one device,
    // as of the last dump; false when it reported none.
    bool routingRequests(long &total, long &most) const;
    // A command line (testnet/README.md) to the FIFO it was started with (`--commands FILE`); false
    // when there is none or the line could not be written.
    bool command(const std::string &line);
    // Its answer to "status": "<unit name>" or "conmon" -> the rest of its last line.
    std::map<std::string, std::string> status();
    void stop();

private:
    pid_t pid_ = -1;
    FILE *output_ = nullptr;
    std::string dump_;
    std::string log_;
    std::string commands_;
    std::vector<Unit> units_;
};

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
