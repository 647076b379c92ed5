#include "tests/integration/run_session.h"
#include "tests/support/quoting.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace run_session {

namespace {

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string unescape(const std::string &field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\' || i + 1 == field.size()) {
            out += field[i];
            continue;
        }
        const char next = field[++i];
        out += next == 'n' ? '\n' : next == 't' ? '\t' : next;
    }
    return out;
}

std::string realPath(const std::string &path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

} // namespace

std::string sourceDir()
{
    return QZ_SOURCE_DIR;
}

std::string programFile()
{
    return realPath(QZ_PROGRAM);
}

std::string testnetFile()
{
    return realPath(QZ_TESTNET_PROGRAM);
}

bool privateTmp()
{
    std::vector<std::string> kept; // the entries of /tmp that hold them
    for (const char *path : {QZ_SOURCE_DIR, QZ_PROGRAM, QZ_TESTNET_PROGRAM, QZ_PROBE_PLUGINS}) {
        const std::string real = realPath(path);
        if (real.compare(0, 5, "/tmp/") != 0)
            continue;
        const std::string entry = real.substr(5, real.find('/', 5) - 5);
        if (std::find(kept.begin(), kept.end(), entry) == kept.end())
            kept.push_back(entry);
    }
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    // The PC's /tmp as this namespace has it, to bind from once the new one covers it.
    const int pcs = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
    bool ok = pcs >= 0 && mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") == 0;
    for (const std::string &entry : kept) {
        const std::string from = "/proc/self/fd/" + std::to_string(pcs) + "/" + entry, to = "/tmp/" + entry;
        ok = ok && mkdir(to.c_str(), 0755) == 0 && mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
    }
    if (pcs >= 0)
        close(pcs);
    // An X server writes the keymap it compiles to /var/lib/xkb under its display's number, which
    // the servers of other tests (in namespaces of their own) may have too.
    struct stat st;
    if (ok && stat("/var/lib/xkb", &st) == 0)
        ok = mount("tmpfs", "/var/lib/xkb", "tmpfs", 0, "mode=0755") == 0;
    return ok;
}

TempDir::TempDir()
{
    char pattern[] = "/tmp/qz-run-session-XXXXXX";
    path = mkdtemp(pattern) ? pattern : "";
}

TempDir::~TempDir()
{
    if (!path.empty())
        std::system(("rm -rf " + qz_test::shellQuoted(path)).c_str());
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// ---- what a copy shows ----

bool Shown::hasWindow(const std::string &window) const
{
    for (const auto &fact : facts)
        if (fact.size() >= 2 && fact[0] == window && fact[1] == "window")
            return true;
    return false;
}

std::string Shown::value(const std::string &window, const std::string &kind, const std::string &name) const
{
    for (const auto &fact : facts)
        if (fact.size() >= 4 && fact[0] == window && fact[1] == kind && fact[2] == name)
            return fact[3];
    return std::string();
}

std::vector<std::map<std::string, std::string>> Shown::rows(const std::string &window, int *current) const
{
    std::vector<std::map<std::string, std::string>> rows;
    if (current)
        *current = -1;
    for (const auto &fact : facts) {
        if (fact.size() < 4 || fact[0] != window || fact[1] != "row")
            continue;
        if (fact[3] == "1" && current)
            *current = static_cast<int>(rows.size());
        std::map<std::string, std::string> labels;
        for (size_t i = 4; i < fact.size(); ++i) {
            const size_t eq = fact[i].find('=');
            if (eq != std::string::npos)
                labels[fact[i].substr(0, eq)] = fact[i].substr(eq + 1);
        }
        rows.push_back(labels);
    }
    return rows;
}

std::string Shown::message() const
{
    for (const auto &fact : facts)
        if (fact.size() >= 3 && fact[1] == "message")
            return fact[2];
    return std::string();
}

// ---- the session ----

Session::Session(const std::string &dir)
    : dir_(dir), probeDir_(dir + "/probe"), programFile_(programFile())
{
    mkdir(probeDir_.c_str(), 0755);
    mkdir((dir_ + "/config").c_str(), 0755);
    mkdir((dir_ + "/config/Tormel").c_str(), 0755);
}

Session::~Session()
{
    if (script_ > 0 && status_ < 0) {
        interrupt();
        if (wait(30000) < 0) {
            kill(-script_, SIGKILL);
            waitpid(script_, nullptr, 0);
        }
    }
}

std::string Session::settingsFile() const
{
    return dir_ + "/config/Tormel/DIDodiviVidi.ini";
}

void Session::writeSettings(const std::string &ini) const
{
    std::ofstream(settingsFile()) << ini;
}

std::string Session::setting(const std::string &section, const std::string &key) const
{
    std::istringstream in(readFile(settingsFile()));
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '[')
            inside = line == "[" + section + "]";
        else if (inside && line.compare(0, key.size() + 1, key + "=") == 0)
            return line.substr(key.size() + 1);
    }
    return std::string();
}

bool Session::start(const std::vector<std::string> &testnetOptions, const std::vector<std::string> &program,
                    bool offscreen, const std::vector<std::string> &within)
{
    std::vector<std::string> args = within;
    args.insert(args.end(), {"/bin/bash", QZ_SOURCE_DIR "/scripts/with-installation.sh", QZ_TESTNET_PROGRAM, dumpFile()});
    args.insert(args.end(), testnetOptions.begin(), testnetOptions.end());
    args.push_back("--");
    if (program.empty()) {
        // QZ Config Tool reads its files beside itself: a copy of its own, with the samples, leaves
        // those beside the build's program (the user's) alone.
        const std::string copy = dir_ + "/program";
        using qz_test::shellQuoted;
        if (std::system(("mkdir -p " + shellQuoted(copy) + " && cp " + shellQuoted(programFile()) + " " +
                         shellQuoted(QZ_SOURCE_DIR "/gui/data") + "/* " + shellQuoted(copy))
                            .c_str()) != 0)
            return false;
        args.push_back(copy + "/QZConfigTool");
    } else {
        args.insert(args.end(), program.begin(), program.end());
    }
    programFile_ = realPath(program.empty() ? args.back() : program[0]);
    return run(args, [&] {
        unsetenv("SUDO_USER");
        unsetenv("WAYLAND_DISPLAY");
        if (offscreen) {
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
        } else {
            unsetenv("QT_QPA_PLATFORM");
        }
        setenv("QT_PLUGIN_PATH", QZ_PROBE_PLUGINS, 1);
        setenv("QT_QPA_GENERIC_PLUGINS", ("qzprobe:" + probeDir_).c_str(), 1);
        setenv("XDG_CONFIG_HOME", (dir_ + "/config").c_str(), 1);
        // What Qt's offscreen platform and the font library keep to the end of the process
        // (tests/gui/support/LsanSuppressions.h), for the leak check of a sanitizer build.
        const std::string suppressions = dir_ + "/lsan.supp";
        std::ofstream(suppressions) << "leak:libqoffscreen.so\nleak:QPlatformScreen::QPlatformScreen\nleak:QScreen::QScreen\n"
                                       "leak:QWindowSystemInterface::handleScreenAdded\nleak:libfontconfig.so\n";
        setenv("LSAN_OPTIONS", ("suppressions=" + qz_test::sanitizerQuoted(suppressions)).c_str(), 1);
    });
}

bool Session::run(const std::vector<std::string> &args, const std::function<void()> &environment)
{
    const std::string output = dir_ + "/output.txt";
    script_ = fork();
    if (script_ < 0)
        return false;
    if (script_ == 0) {
        setpgid(0, 0); // as a terminal's job: Ctrl+C reaches the whole group
        const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0)
            _exit(127);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        const int none = open("/dev/null", O_RDONLY);
        dup2(none, STDIN_FILENO);
        environment();
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    setpgid(script_, script_);
    return true;
}

std::vector<pid_t> Session::copies() const
{
    std::vector<pid_t> pids;
    if (DIR *d = opendir(probeDir_.c_str())) {
        while (const dirent *entry = readdir(d)) {
            const std::string name = entry->d_name;
            const size_t dot = name.find(".state");
            if (dot != std::string::npos && dot + 6 == name.size())
                pids.push_back(static_cast<pid_t>(std::atoi(name.substr(0, dot).c_str())));
        }
        closedir(d);
    }
    std::sort(pids.begin(), pids.end()); // the namespace hands out rising process ids
    return pids;
}

bool Session::read(pid_t pid, Shown &out) const
{
    std::ifstream in(probeDir_ + "/" + std::to_string(pid) + ".state");
    if (!in)
        return false;
    out = Shown();
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        size_t start = 0;
        for (;;) {
            const size_t tab = line.find('\t', start);
            fields.push_back(unescape(line.substr(start, tab - start)));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        if (fields.size() == 2 && fields[0] == "commands")
            out.commands = std::atoi(fields[1].c_str());
        else
            out.facts.push_back(fields);
    }
    return true;
}

bool Session::waitFor(pid_t pid, const std::function<bool(const Shown &)> &done, int timeoutMs, Shown *last) const
{
    Shown shown;
    const bool ok = waitUntil([&] { return read(pid, shown) && done(shown); }, timeoutMs);
    if (last)
        *last = shown;
    return ok;
}

pid_t Session::waitForNewCopy(const std::vector<pid_t> &known, int timeoutMs) const
{
    pid_t found = 0;
    waitUntil(
        [&] {
            for (pid_t pid : copies())
                if (std::find(known.begin(), known.end(), pid) == known.end())
                    found = pid;
            return found != 0;
        },
        timeoutMs);
    return found;
}

bool Session::send(pid_t pid, const std::string &command) const
{
    const std::string file = probeDir_ + "/" + std::to_string(pid) + ".cmd";
    struct stat st;
    if (!waitUntil([&] { return stat(file.c_str(), &st) != 0; }, 5000))
        return false;
    const std::string partial = file + ".part";
    std::ofstream(partial) << command << '\n';
    return rename(partial.c_str(), file.c_str()) == 0;
}

bool Session::confirm(pid_t pid, int timeoutMs) const
{
    static const char detected[] = "Device detection successful.";
    const auto found = [](const Shown &s) { return s.log().find(detected) != std::string::npos; };
    return waitUntil(
        [&] {
            Shown shown;
            if (read(pid, shown) && found(shown))
                return true;
            return send(pid, "click confirmPushButton") && waitFor(pid, found, 3000);
        },
        timeoutMs);
}

std::vector<pid_t> processesOf(const std::string &file)
{
    std::vector<pid_t> pids;
    if (DIR *d = opendir("/proc")) {
        while (const dirent *entry = readdir(d)) {
            const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
            char exe[PATH_MAX];
            const ssize_t n = pid > 0 ? readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1)
                                      : -1;
            if (n > 0 && std::string(exe, static_cast<size_t>(n)) == file)
                pids.push_back(pid);
        }
        closedir(d);
    }
    return pids;
}

std::vector<pid_t> Session::programProcesses() const
{
    return processesOf(programFile_);
}

std::vector<pid_t> Session::installationProcesses() const
{
    return processesOf(testnetFile());
}

bool Session::running(pid_t pid)
{
    // A process that has ended but is not yet reaped has no program any more.
    char exe[PATH_MAX];
    return readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe) > 0;
}

void Session::interrupt() const
{
    if (script_ > 0)
        kill(-script_, SIGINT);
}

void Session::terminate() const
{
    if (script_ > 0)
        kill(script_, SIGTERM);
}

int Session::wait(int timeoutMs)
{
    if (status_ >= 0 || script_ <= 0)
        return status_;
    waitUntil(
        [&] {
            int status = 0;
            if (waitpid(script_, &status, WNOHANG) != script_)
                return false;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        },
        timeoutMs);
    return status_;
}

std::string Session::output() const
{
    return readFile(dir_ + "/output.txt");
}

std::string Session::dumpFile() const
{
    return dir_ + "/subscriptions.txt";
}

std::map<std::string, std::string> readDump(const std::string &path)
{
    std::map<std::string, std::string> out;
    std::istringstream in(readFile(path));
    std::string device, rx, name, tx;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        if (fields >> device >> rx >> name >> tx)
            out[device + " " + rx] = tx;
    }
    return out;
}

} // namespace run_session
