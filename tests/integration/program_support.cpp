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

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#ifndef QZ_TESTNET_PROGRAM
#error "QZ_TESTNET_PROGRAM names the simulated installation's program"
#endif

namespace program_test {

// ---- the simulated installation ----

Installation::~Installation()
{
    stop();
}

bool Installation::start(const std::vector<std::string> &args, const std::string &dir)
{
    dump_ = dir + "/dump.txt";
    log_ = dir + "/testnet.log";
    const auto commands = std::find(args.begin(), args.end(), "--commands");
    commands_ = commands != args.end() && commands + 1 != args.end() ? *(commands + 1) : std::string();
    int out[2];
    if (pipe(out) != 0)
        return false;
    std::vector<std::string> argv_text;
    argv_text.push_back(QZ_TESTNET_PROGRAM);
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    argv_text.push_back("--dump");
    argv_text.push_back(dump_);
    std::vector<char *> argv;
    for (std::string &a : argv_text)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        if (FILE *log = fopen(log_.c_str(), "w"))
            dup2(fileno(log), STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    if (pid_ < 0) {
        close(out[0]);
        return false;
    }
    output_ = fdopen(out[0], "r");
    char line[256];
    while (output_ && fgets(line, sizeof line, output_)) {
        if (!strcmp(line, "ready\n"))
            return true;
        char name[64], model[16];
        unsigned port = 0;
        if (sscanf(line, "%63s %15s 127.0.0.1:%u", name, model, &port) != 3)
            continue;
        if (strcmp(model, "KTV4-S") != 0 && strcmp(model, "RQA-310") != 0)
            continue;
        Unit u;
        u.name = name;
        u.model = model;
        // "T<unit %03X>-...": the unit id as the program reads it.
        u.unit = static_cast<int>(strtol(name + 1, nullptr, 16));
        units_.push_back(u);
    }
    return false;
}

namespace {

std::string nameIn(const std::vector<Unit> &units, const std::string &model, int unit)
{
    for (const Unit &u : units)
        if (u.model == model && u.unit == unit)
            return u.name;
    return std::string();
}

} // namespace

std::string Installation::nameOf(const std::string &model, int unit) const
{
    return nameIn(units_, model, unit);
}

bool Installation::subscriptions(std::map<std::string, std::string> &out, int timeoutMs)
{
    out.clear();
    if (pid_ <= 0)
        return false;
    // The dump is written beside the file and renamed: once it exists it is whole.
    unlink(dump_.c_str());
    kill(pid_, SIGUSR1);
    struct stat st;
    QElapsedTimer t;
    t.start();
    while (stat(dump_.c_str(), &st) != 0) {
        if (t.elapsed() > timeoutMs)
            return false;
        usleep(20000);
    }
    std::ifstream in(dump_);
    std::string text;
    while (std::getline(in, text)) {
        // "<rx device> <rx id> <rx name> <tx channel>@<tx device> <status>"
        std::istringstream fields(text);
        std::string device, id, rxName, tx;
        if (fields >> device >> id >> rxName >> tx)
            out[device + " " + id] = tx;
    }
    return true;
}

namespace {

// The numbers of the last line of `log` that `format` reads: a total, a count of devices and the
// most at one of them; false when no line does.
bool lastTotalAndMost(const std::string &log, const char *format, long &total, long &most)
{
    std::ifstream in(log);
    std::string text;
    bool found = false;
    while (std::getline(in, text)) {
        long t = 0, devices = 0, m = 0;
        if (sscanf(text.c_str(), format, &t, &devices, &m) == 3) {
            total = t;
            most = m;
            found = true;
        }
    }
    return found;
}

} // namespace

bool Installation::questions(long &total, long &most) const
{
    return lastTotalAndMost(log_, "qz_testnet: %ld property questions to %ld devices, at most %ld to one", total,
                            most);
}

bool Installation::routingRequests(long &total, long &most) const
{
    return lastTotalAndMost(log_, "qz_testnet: routing requests received %ld by %ld devices, at most %ld by one",
                            total, most);
}

long Installation::lostRequests() const
{
    std::ifstream in(log_);
    std::string text;
    long lost = -1;
    while (std::getline(in, text)) {
        long n = 0;
        if (sscanf(text.c_str(), "qz_testnet: %ld routing requests lost", &n) == 1)
            lost = n;
    }
    return lost;
}

bool Installation::command(const std::string &line)
{
    const int fd = commands_.empty() ? -1 : open(commands_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    const std::string text = line + "\n";
    const bool written = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    return written;
}

std::map<std::string, std::string> Installation::status()
{
    // Each answer is a "conmon" line and then a line per unit: `answers` counts the conmon lines,
    // `lines` the unit lines after the last of them.
    size_t answers = 0, lines = 0;
    auto read = [&] {
        std::map<std::string, std::string> out;
        std::ifstream in(log_);
        std::string line;
        const size_t from = std::strlen("qz_testnet: status ");
        for (answers = lines = 0; std::getline(in, line);) {
            const size_t blank = line.find(' ', from);
            if (line.rfind("qz_testnet: status ", 0) != 0 || blank == std::string::npos)
                continue;
            out[line.substr(from, blank - from)] = line.substr(blank + 1);
            const bool conmon = line.compare(from, 7, "conmon ") == 0;
            answers += conmon ? 1 : 0;
            lines = conmon ? 0 : lines + 1;
        }
        return out;
    };
    read();
    const size_t before = answers;
    if (command("status"))
        for (int i = 0; i < 250 && (answers <= before || lines < units_.size()); ++i) {
            usleep(20000);
            read();
        }
    return read();
}

void Installation::stop()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        // Writing the last dump takes a moment; a program that does not end is killed.
        for (int i = 0; i < 250 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
            usleep(20000);
        if (waitpid(pid_, &status, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    if (output_) {
        fclose(output_);
        output_ = nullptr;
    }
}

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
