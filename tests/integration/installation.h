// qz_testnet, the simulated installation, as a child process of a test or a tool: started with the
// arguments given, its units read from what it prints, its dump, status and commands at hand.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

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

// The name of the unit of `model` with `unit` id among `units`; empty when there is none.
std::string nameIn(const std::vector<Unit> &units, const std::string &model, int unit);

} // namespace program_test
