#include "tests/integration/installation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#ifndef QZ_TESTNET_PROGRAM
#error "QZ_TESTNET_PROGRAM names the simulated installation's program"
#endif

namespace program_test {

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

std::string nameIn(const std::vector<Unit> &units, const std::string &model, int unit)
{
    for (const Unit &u : units)
        if (u.model == model && u.unit == unit)
            return u.name;
    return std::string();
}

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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (stat(dump_.c_str(), &st) != 0) {
        if (std::chrono::steady_clock::now() > deadline)
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

} // namespace program_test
