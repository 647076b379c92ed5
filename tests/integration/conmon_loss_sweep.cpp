// veltoWrapper against the largest simulated installation (4 KTV4-S and 97 RQA-310 units) whose
// control-and-monitoring link loses a share of its datagrams each way, once per seed of the loss:
// for each seed the time from the start of browsing to the last device reported, and from then
// until every device's property map holds "Fs", "DeviceLock", "AES67Enabled" and "AES67Reboot".
// The wrapper's objects are linked in (not the shared library), so that the library's own log can
// be written: with --log DIR each seed leaves DIR/seed-N/library.log (the library's lines, each
// with the milliseconds since the wrapper was made) and DIR/seed-N/testnet.log (qz_testnet's
// standard error with --conmon-trace: every datagram of the local link, those its loss dropped
// too). Run inside tests/integration/avahi-netns.sh (root).
//
//   qz_conmon_loss_sweep --loss-pct P --seeds A-B|A,B,... [--bound S] [--log DIR] [--level N]
//                        [--switch-at MS [--switch-lose WAY:OPCODE:N,...]] [--browse-after S]
//
// --bound: seconds from the start of browsing within which each seed must have every device reported
// and every map complete (default 180). --level: the library's log level (default 5, info; 6 debug).
// --browse-after S: browsing starts S seconds after the wrapper was initialised, once the interface
// in use is known (default 15, as the program starts it after its interface check).
// --switch-at MS: MS ms after browsing starts the wrapper is told to use the other interface of
// the configuration service, which restarts the control-and-monitoring start-up; as the program does,
// browsing stops first and starts again once the new interface is reported, and the run waits for
// the devices to be reported anew. --switch-lose: just before the switch, qz_testnet is told to lose
// the next N datagrams of OPCODE on that way of the local link (its "lose in|out OPCODE N"), e.g.
// in:0x0311:1,in:0x0101:1 for the old link's Unsubscribe and Disconnect. Prints one line per seed and a summary; exits 1 when a seed
// missed its bound.
#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_log.h"
#include "tests/integration/installation.h"
#include "wrapper/veltoWrapper.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

double secondsSince(clock_type::time_point t)
{
    return std::chrono::duration<double>(clock_type::now() - t).count();
}

// ---- the library's log ----

struct LibraryLog {
    std::mutex lock;
    FILE *file = nullptr;
    clock_type::time_point start = clock_type::now();
} g_log;

void onLogLine(qnb_logger *, const char *, unsigned level, const char *text, size_t length)
{
    std::lock_guard<std::mutex> g(g_log.lock);
    if (!g_log.file)
        return;
    while (length && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        --length;
    std::fprintf(g_log.file, "%10.3f %u %.*s\n", secondsSince(g_log.start), level, int(length), text);
    std::fflush(g_log.file); // whole up to the last line, should the run hang or end
}

// ---- what the wrapper reports ----

class Notify : public IVeltoNotify {
public:
    std::mutex lock;
    std::map<std::string, clock_type::time_point> added;
    std::wstring currentIf;
    int interfaceReports = 0;

    void notifyInitDone() override {}
    void notifyDeviceAdded(const std::string &device, const std::string &, const std::string &, const std::string &,
                           const std::string &, const std::string &, const std::string &,
                           const std::string &) override
    {
        std::lock_guard<std::mutex> g(lock);
        added.emplace(device, clock_type::now());
    }
    void notifyDeviceRemoved(const std::string &device) override
    {
        std::lock_guard<std::mutex> g(lock);
        added.erase(device);
    }
    void notifyChannelCount(const std::string &, const std::string &, const std::string &) override {}
    void notifyConnectState(const std::string &, const std::string &) override {}
    void notifySampleRate(const std::string &, const std::string &) override {}
    void notifyLatency(const std::string &, const std::string &) override {}
    void notifyLockState(const std::string &, const std::string &) override {}
    void notifyAes67State(const std::string &, const std::string &, const std::string &) override {}
    void notifyPatchList(const std::string &, const std::string &, const std::list<wfa_patch_entry> &) override {}
    void notifyIfList(const unsigned char &, const std::list<std::wstring> &, const std::list<std::string> &,
                      const std::list<std::string> &) override
    {
    }
    void notifyCurrentIf(const std::wstring &name, const std::string &) override
    {
        std::lock_guard<std::mutex> g(lock);
        currentIf = name;
        ++interfaceReports;
    }
    void notifyReserved() override {}
    void notifyPatchResult(const std::string &, const unsigned short &) override {}
    void notifyBatchPatchResult(const std::string &, const unsigned short &) override {}
    void notifyPreferredMasterResult(const std::string &, const unsigned short &) override {}
    void notifyLatencyResult(const std::string &, const unsigned short &) override {}
    void notifySampleRateResult(const std::string &, const unsigned short &) override {}
};

template <class Condition> bool within(double seconds, Condition condition)
{
    const auto end = clock_type::now() + std::chrono::duration_cast<clock_type::duration>(
                                             std::chrono::duration<double>(seconds));
    while (!condition()) {
        if (clock_type::now() >= end)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

const char *const k_properties[] = {"Fs", "DeviceLock", "AES67Enabled", "AES67Reboot"};

struct SeedResult {
    unsigned seed = 0;
    size_t reported = 0;
    double reportedS = -1;   // browse start -> last device reported
    double completeS = -1;   // last device reported -> every map complete
    std::map<std::string, size_t> lacking; // property -> devices without it at the end
    bool ok = false;
};

struct Options {
    unsigned lossPct = 20;
    std::vector<unsigned> seeds;
    double bound = 180;
    std::string logDir;
    unsigned level = QNB_LOG_INFO;
    int switchAtMs = -1;
    std::vector<std::string> switchLosses; // qz_testnet "lose" commands given just before the switch
    double browseAfter = 15;
};

SeedResult runSeed(const Options &o, unsigned seed)
{
    SeedResult r;
    r.seed = seed;
    // The run's directory: qz_testnet's log (testnet.log) and dump, and the library's log.
    std::string dir = o.logDir.empty() ? std::string() : o.logDir + "/seed-" + std::to_string(seed);
    char scratch[] = "/tmp/qz-sweep-XXXXXX";
    if (dir.empty() ? mkdtemp(scratch) == nullptr : (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)) {
        std::fprintf(stderr, "seed %u: no directory for the run\n", seed);
        return r;
    }
    if (dir.empty())
        dir = scratch;
    // Without --log the run's directory goes with the run, after the installation has ended.
    struct Scratch {
        std::string path;
        ~Scratch()
        {
            std::error_code ignored;
            if (!path.empty())
                std::filesystem::remove_all(path, ignored);
        }
    } scratchGoes{o.logDir.empty() ? dir : std::string()};
    std::vector<std::string> args = {"--ktv4s", "4", "--area1", "25", "--area2", "24", "--area3", "24",
                                     "--area4", "24", "--conmon-loss-pct", std::to_string(o.lossPct),
                                     "--seed", std::to_string(seed)};
    if (!o.logDir.empty())
        args.push_back("--conmon-trace");
    if (!o.switchLosses.empty()) {
        args.push_back("--commands");
        args.push_back(dir + "/commands");
    }
    program_test::Installation installation;
    if (!installation.start(args, dir)) {
        std::fprintf(stderr, "seed %u: the installation did not start\n", seed);
        return r;
    }

    // The library's log: the environment is held from before the wrapper takes it until after it
    // has let it go, so that its logger is the one set up here.
    qnb_env *env = nullptr;
    qnb_env_get(&env);
    {
        std::lock_guard<std::mutex> g(g_log.lock);
        g_log.file = o.logDir.empty() ? nullptr : std::fopen((dir + "/library.log").c_str(), "w");
        g_log.start = clock_type::now();
    }
    if (g_log.file) {
        qnb_log_set_master_level(env->logger, o.level);
        qnb_log_set_threshold(env->logger, QNB_LOG_SINK_CALLBACK, o.level);
        qnb_log_set_callback(env->logger, onLogLine);
    }

    Notify notify;
    std::unique_ptr<IVeltoWrapper> wrapper;
    {
        std::unique_ptr<IVeltoFactory> factory(instance());
        wrapper.reset(factory->create(&notify));
    }
    clock_type::time_point browseStart;
    const clock_type::time_point initialised = clock_type::now();
    const bool interfaceKnown = wrapper->init() && within(30, [&] {
        wrapper->requestIf();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::lock_guard<std::mutex> g(notify.lock);
        return notify.interfaceReports > 0;
    });
    if (interfaceKnown) {
        const double wait = o.browseAfter - secondsSince(initialised);
        if (wait > 0)
            std::this_thread::sleep_for(std::chrono::duration<double>(wait));
    }
    if (interfaceKnown && wrapper->startBrowse()) {
        browseStart = clock_type::now();
        const size_t units = installation.units().size();
        bool switched = o.switchAtMs < 0;
        auto allReported = [&] {
            if (!switched && secondsSince(browseStart) * 1000 >= o.switchAtMs) {
                std::wstring other;
                {
                    std::lock_guard<std::mutex> g(notify.lock);
                    other = notify.currentIf == L"Ethernet" ? L"Ethernet 2" : L"Ethernet";
                }
                // As the program does: browsing stops, the interface is set, and once the new one
                // is reported browsing starts again.
                std::printf("seed %u: switching to %ls at %.1f s\n", seed, other.c_str(), secondsSince(browseStart));
                std::fflush(stdout);
                for (const std::string &loss : o.switchLosses)
                    installation.command("lose " + loss);
                wrapper->stopBrowse();
                wrapper->setIf(other, std::string());
                switched = true;
                within(30, [&] {
                    std::lock_guard<std::mutex> g(notify.lock);
                    return notify.currentIf == other;
                });
                std::this_thread::sleep_for(std::chrono::seconds(3));
                {
                    std::lock_guard<std::mutex> g(notify.lock);
                    notify.added.clear();
                }
                wrapper->startBrowse();
            }
            std::lock_guard<std::mutex> g(notify.lock);
            r.reported = notify.added.size();
            return switched && r.reported >= units;
        };
        if (within(o.bound, allReported)) {
            clock_type::time_point last;
            {
                std::lock_guard<std::mutex> g(notify.lock);
                for (const auto &entry : notify.added)
                    last = std::max(last, entry.second);
            }
            r.reportedS = std::chrono::duration<double>(last - browseStart).count();
            auto complete = [&] {
                std::list<std::map<std::string, std::string>> devices;
                wrapper->getDeviceList(&devices);
                r.lacking.clear();
                for (const auto &properties : devices)
                    for (const char *key : k_properties)
                        if (!properties.count(key))
                            ++r.lacking[key];
                if (devices.size() < units)
                    r.lacking["(listed)"] = units - devices.size();
                return r.lacking.empty();
            };
            const double left = o.bound - secondsSince(browseStart);
            if (within(std::max(left, 0.0), complete)) {
                r.completeS = secondsSince(last);
                r.ok = true;
            }
        }
    }
    wrapper.reset();
    {
        std::lock_guard<std::mutex> g(g_log.lock);
        if (g_log.file)
            std::fclose(g_log.file);
        g_log.file = nullptr;
    }
    qnb_log_set_callback(env->logger, nullptr);
    qnb_env_release(env);
    return r;
}

bool parseSeeds(const char *text, std::vector<unsigned> &seeds)
{
    unsigned a = 0, b = 0;
    int used = 0;
    if (std::sscanf(text, "%u-%u%n", &a, &b, &used) == 2 && text[used] == '\0' && a <= b) {
        for (unsigned s = a; s <= b; ++s)
            seeds.push_back(s);
        return true;
    }
    for (const char *p = text; *p;) {
        char *end = nullptr;
        unsigned long v = std::strtoul(p, &end, 10);
        if (end == p)
            return false;
        seeds.push_back(unsigned(v));
        p = *end == ',' ? end + 1 : end;
        if (*end && *end != ',')
            return false;
    }
    return !seeds.empty();
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    const char *usage = "usage: qz_conmon_loss_sweep --loss-pct P --seeds A-B|A,B,... [--bound S] [--log DIR] "
                        "[--level N] [--switch-at MS [--switch-lose WAY:OPCODE:N,...]] [--browse-after S]\n";
    for (int i = 1; i < argc; ++i) {
        const bool more = i + 1 < argc;
        if (!std::strcmp(argv[i], "--loss-pct") && more) {
            o.lossPct = unsigned(std::atoi(argv[++i]));
        } else if (!std::strcmp(argv[i], "--seeds") && more) {
            if (!parseSeeds(argv[++i], o.seeds)) {
                std::fputs(usage, stderr);
                return 2;
            }
        } else if (!std::strcmp(argv[i], "--bound") && more) {
            o.bound = std::atof(argv[++i]);
        } else if (!std::strcmp(argv[i], "--log") && more) {
            o.logDir = argv[++i];
        } else if (!std::strcmp(argv[i], "--level") && more) {
            o.level = unsigned(std::atoi(argv[++i]));
        } else if (!std::strcmp(argv[i], "--browse-after") && more) {
            o.browseAfter = std::atof(argv[++i]);
        } else if (!std::strcmp(argv[i], "--switch-at") && more) {
            o.switchAtMs = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--switch-lose") && more) {
            // WAY:OPCODE:N[,WAY:OPCODE:N...]
            std::string list = argv[++i];
            for (size_t at = 0; at <= list.size();) {
                size_t end = list.find(',', at);
                std::string item = list.substr(at, end == std::string::npos ? std::string::npos : end - at);
                for (char &c : item)
                    c = c == ':' ? ' ' : c;
                if (!item.empty())
                    o.switchLosses.push_back(item);
                if (end == std::string::npos)
                    break;
                at = end + 1;
            }
        } else {
            std::fputs(usage, stderr);
            return 2;
        }
    }
    if (o.seeds.empty() || o.lossPct > 100 || o.bound <= 0) {
        std::fputs(usage, stderr);
        return 2;
    }
    std::vector<SeedResult> results;
    for (unsigned seed : o.seeds) {
        SeedResult r = runSeed(o, seed);
        std::string lacking;
        for (const auto &entry : r.lacking)
            lacking += " " + entry.first + ":" + std::to_string(entry.second);
        std::printf("seed %u: %zu devices reported, the last %.1f s after browsing started; maps complete %.1f s "
                    "after it%s%s\n",
                    seed, r.reported, r.reportedS, r.completeS, r.ok ? "" : " FAILED, lacking", lacking.c_str());
        std::fflush(stdout);
        results.push_back(r);
    }
    size_t failed = 0;
    double worst = 0, sum = 0;
    for (const SeedResult &r : results) {
        failed += r.ok ? 0 : 1;
        if (r.ok) {
            worst = std::max(worst, r.reportedS + r.completeS);
            sum += r.completeS;
        }
    }
    const size_t passed = results.size() - failed;
    std::printf("%zu of %zu seeds complete at %u %% loss; maps complete after the last device: mean %.1f s; "
                "slowest seed %.1f s from browse start\n",
                passed, results.size(), o.lossPct, passed ? sum / double(passed) : -1.0, worst);
    return failed ? 1 : 0;
}
