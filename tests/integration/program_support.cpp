#include "tests/integration/program_support.h"

#include "gui/veltoManager.h"
#include "wrapper/veltoWrapper.h"

#include <QAction>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTextBrowser>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace program_test {

// ---- the program's surroundings ----

ProgramEnvironment::ProgramEnvironment() = default;

AppServices ProgramEnvironment::services()
{
    AppServices s;
    s.wrapperFactory = [] { return instance(); };
    s.prompts = &prompts;
    s.programDir = dir.path();
    const QString path = dir.filePath(QStringLiteral("settings.ini"));
    s.openSettings = [path] { return std::make_unique<QSettings>(path, QSettings::IniFormat); };
    if (recordExit)
        s.exitEventLoop = [this](int code) { exitCodes.push_back(code); };
    return s;
}

void ProgramEnvironment::writeFile(const QString &name, const QByteArray &content) const
{
    QFile file(dir.filePath(name));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}

void ProgramEnvironment::setCounts(int ktv4s, int area1, int area2, int area3, int area4, const QString &mac)
{
    QSettings settings(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    settings.setValue(QStringLiteral("DEVICE/KTV4S"), QString::number(ktv4s));
    settings.setValue(QStringLiteral("DEVICE/Area1"), QString::number(area1));
    settings.setValue(QStringLiteral("DEVICE/Area2"), QString::number(area2));
    settings.setValue(QStringLiteral("DEVICE/Area3"), QString::number(area3));
    settings.setValue(QStringLiteral("DEVICE/Area4"), QString::number(area4));
    if (!mac.isEmpty())
        settings.setValue(QStringLiteral("NIC/MAC_Address"), mac);
    settings.sync();
}

void ProgramEnvironment::writeSendInterval(int ms) const
{
    writeFile(QStringLiteral("QZSetting.json"), QStringLiteral("{ \"sendInterval\": %1 }\n").arg(ms).toUtf8());
}

// ---- the window ----

std::string ProgramWindow::deviceTable()
{
    QVariantMap unused;
    QVariantList devices;
    if (!manager || !manager->getResult(QStringLiteral("veltoDevices"), unused, devices))
        return "no device table\n";
    std::string text;
    for (const QVariant &item : qAsConst(devices)) {
        const QVariantMap r = item.toMap();
        text += QStringLiteral("%1 unit %2 model %3 connect %4 tx %5 rx %6\n")
                    .arg(r.value(QStringLiteral("netVeltoName")).toString(), r.value(QStringLiteral("unitID")).toString(),
                         r.value(QStringLiteral("manfModel")).toString(), r.value(QStringLiteral("connect")).toString(),
                         r.value(QStringLiteral("txChNum")).toString(), r.value(QStringLiteral("rxChNum")).toString())
                    .toStdString();
    }
    return text + std::to_string(devices.size()) + " records\n";
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return done();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        usleep(5000);
    }
    return true;
}

QTextBrowser *logPane(QWidget &window)
{
    return window.findChild<QTextBrowser *>(QStringLiteral("outputTextBrowser"));
}

QString logText(QWidget &window)
{
    QTextBrowser *pane = logPane(window);
    return pane ? pane->toPlainText() : QString();
}

QPushButton *button(QWidget &window, const char *name)
{
    return window.findChild<QPushButton *>(QLatin1String(name));
}

QLabel *label(QWidget &window, const char *name)
{
    return window.findChild<QLabel *>(QLatin1String(name));
}

QAction *action(QWidget &window, const char *name)
{
    return window.findChild<QAction *>(QLatin1String(name));
}

// ---- the plan ----

Plan fullPlan(const std::vector<Unit> &units)
{
    std::vector<const Unit *> ktv, rqa;
    for (const Unit &u : units)
        (u.model == "KTV4-S" ? ktv : rqa).push_back(&u);
    Plan plan;
    if (ktv.empty() || rqa.empty())
        return plan;
    // Each KTV4-S listens to the RQA-310 units in turn (their two channels alternating), and each
    // RQA-310 to a KTV4-S of its own choosing, on channels spread over all 64.
    size_t next = 0;
    for (size_t k = 0; k < ktv.size(); ++k) {
        auto &channels = plan[{ktv[k]->model, ktv[k]->unit}];
        for (int rx = 1; rx <= 64; ++rx, ++next) {
            const Unit *tx = rqa[next % rqa.size()];
            channels[rx] = PlanEntry{tx->unit, tx->model, 1 + int((next / rqa.size() + rx) % 2)};
        }
    }
    for (size_t r = 0; r < rqa.size(); ++r) {
        auto &channels = plan[{rqa[r]->model, rqa[r]->unit}];
        for (int rx = 1; rx <= 2; ++rx) {
            const Unit *tx = ktv[(r + size_t(rx)) % ktv.size()];
            channels[rx] = PlanEntry{tx->unit, tx->model, 1 + int((r * 2 + size_t(rx) * 7) % 64)};
        }
    }
    return plan;
}

QByteArray planJson(const Plan &plan)
{
    QJsonArray devs;
    for (const auto &device : plan) {
        QJsonArray rxChs;
        for (const auto &channel : device.second) {
            QJsonObject entry;
            entry.insert(QStringLiteral("rxCh"), channel.first);
            entry.insert(QStringLiteral("txCh"), channel.second.txChannel);
            entry.insert(QStringLiteral("id"), channel.second.txUnit);
            entry.insert(QStringLiteral("devType"), QString::fromStdString(channel.second.txModel));
            rxChs.append(entry);
        }
        QJsonObject object;
        object.insert(QStringLiteral("id"), device.first.second);
        object.insert(QStringLiteral("devType"), QString::fromStdString(device.first.first));
        object.insert(QStringLiteral("rxChs"), rxChs);
        devs.append(object);
    }
    QJsonObject root;
    root.insert(QStringLiteral("devs"), devs);
    return QJsonDocument(root).toJson();
}

std::map<std::string, std::string> expectedSubscriptions(const Plan &plan, const Installation &installation)
{
    return expectedSubscriptions(plan, installation.units());
}

std::map<std::string, std::string> expectedSubscriptions(const Plan &plan, const std::vector<Unit> &units)
{
    std::map<std::string, std::string> out;
    for (const auto &device : plan) {
        const std::string rxName = nameIn(units, device.first.first, device.first.second);
        for (const auto &channel : device.second) {
            char tx[16];
            std::snprintf(tx, sizeof tx, "%02d", channel.second.txChannel);
            out[rxName + " " + std::to_string(channel.first)] =
                std::string(tx) + "@" + nameIn(units, channel.second.txModel, channel.second.txUnit);
        }
    }
    return out;
}

std::vector<Unit> largestInstallation()
{
    std::vector<Unit> units;
    auto add = [&units](const char *model, int count) {
        for (int unit = 1; unit <= count; ++unit) {
            char name[64];
            // "T<unit %03X>-QZ-<model>-<unit %04X>"
            std::snprintf(name, sizeof name, "T%03X-QZ-%s-%04X", unit, model, unit);
            units.push_back(Unit{name, model, unit});
        }
    };
    add("KTV4-S", 4);
    add("RQA-310", 97);
    return units;
}

bool writeSubscriptions(const std::string &path, const std::map<std::string, std::string> &subscriptions)
{
    std::ofstream out(path);
    for (const auto &s : subscriptions)
        out << s.first << " - " << s.second << "\n";
    return bool(out.flush());
}

bool patchListHolds(const std::string &device, size_t channels, const std::vector<wfa_patch_entry> &entries,
                    const std::map<std::string, std::string> &held, std::string *why)
{
    if (entries.size() != channels) {
        if (why)
            *why = std::to_string(entries.size()) + " entries instead of " + std::to_string(channels);
        return false;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto it = held.find(device + " " + std::to_string(i + 1));
        const size_t at = it == held.end() ? std::string::npos : it->second.find('@');
        const std::string name = at == std::string::npos ? std::string() : it->second.substr(at + 1);
        const unsigned long value = at == std::string::npos ? 0 : std::strtoul(it->second.c_str(), nullptr, 10);
        if (entries[i].name != name || entries[i].value != value) {
            if (why)
                *why = "rx " + std::to_string(i + 1) + " " + entries[i].name + "/" + std::to_string(entries[i].value) +
                       " instead of " + name + "/" + std::to_string(value);
            return false;
        }
    }
    return true;
}

std::string deviceLine(const Unit &unit)
{
    char text[64];
    std::snprintf(text, sizeof text, "UnitID : %03d Model : %s", unit.unit, unit.model.c_str());
    return text;
}

} // namespace program_test
