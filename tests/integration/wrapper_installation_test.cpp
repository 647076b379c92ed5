// veltoWrapper as a program sees it (its public header and the shared library only) against
// qz_testnet. The largest installation the program counts (4 KTV4-S and 97 RQA-310 units, reported
// within a second or two): every device found is asked for its sample rate, lock state and AES67
// state while the control-and-monitoring client's request slots are taken by the queries of the
// devices still being found; none of those questions may be lost, on a clean local link or with a
// tenth of its datagrams lost each way. A KTV4-S whose routing replies come late and out of order,
// asked for its patch list over and over from the moment it is found: every list holds what the
// device holds. Run inside avahi-netns.sh.
#include "tests/integration/program_support.h"

#include "wrapper/veltoWrapper.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using program_test::Installation;
using program_test::Unit;

namespace {

using clock_type = std::chrono::steady_clock;

// Notes when each device was reported and whether the current interface was answered.
class recordingNotify : public IVeltoNotify {
public:
    std::mutex lock;
    std::map<std::string, clock_type::time_point> added;
    bool haveInterface = false;
    struct patchList {
        std::string device;
        clock_type::time_point at;
        std::vector<wfa_patch_entry> entries;
    };
    std::vector<patchList> lists;

    void notifyInitDone() override {}
    void notifyDeviceAdded(const std::string &device, const std::string &, const std::string &, const std::string &,
                           const std::string &, const std::string &, const std::string &,
                           const std::string &) override
    {
        std::lock_guard<std::mutex> g(lock);
        added.emplace(device, clock_type::now());
    }
    void notifyDeviceRemoved(const std::string &) override {}
    void notifyChannelCount(const std::string &, const std::string &, const std::string &) override {}
    void notifyConnectState(const std::string &, const std::string &) override {}
    void notifySampleRate(const std::string &, const std::string &) override {}
    void notifyLatency(const std::string &, const std::string &) override {}
    void notifyLockState(const std::string &, const std::string &) override {}
    void notifyAes67State(const std::string &, const std::string &, const std::string &) override {}
    void notifyPatchList(const std::string &device, const std::string &,
                         const std::list<wfa_patch_entry> &patches) override
    {
        std::lock_guard<std::mutex> g(lock);
        lists.push_back({device, clock_type::now(), std::vector<wfa_patch_entry>(patches.begin(), patches.end())});
    }
    void notifyIfList(const unsigned char &, const std::list<std::wstring> &, const std::list<std::string> &,
                      const std::list<std::string> &) override
    {
    }
    void notifyCurrentIf(const std::wstring &, const std::string &) override
    {
        std::lock_guard<std::mutex> g(lock);
        haveInterface = true;
    }
    void notifyReserved() override {}
    void notifyPatchResult(const std::string &, const unsigned short &) override {}
    void notifyBatchPatchResult(const std::string &, const unsigned short &) override {}
    void notifyPreferredMasterResult(const std::string &, const unsigned short &) override {}
    void notifyLatencyResult(const std::string &, const unsigned short &) override {}
    void notifySampleRateResult(const std::string &, const unsigned short &) override {}
};

template <class Condition> bool within(std::chrono::milliseconds bound, Condition condition)
{
    const auto end = clock_type::now() + bound;
    while (!condition()) {
        if (clock_type::now() >= end)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

const char *const k_properties[] = {"Fs", "DeviceLock", "AES67Enabled", "AES67Reboot"};

// A wrapper made as the program makes it (instance, create, the factory deleted, initialise),
// browsing once the local services answer, as the program's start-up waits for them.
void startBrowsing(recordingNotify &notify, std::unique_ptr<IVeltoWrapper> &wrapper)
{
    std::unique_ptr<IVeltoFactory> factory(instance());
    wrapper.reset(factory->create(&notify));
    factory.reset();
    ASSERT_TRUE(wrapper->init());
    ASSERT_TRUE(within(std::chrono::seconds(30), [&] {
        wrapper->requestIf();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::lock_guard<std::mutex> g(notify.lock);
        return notify.haveInterface;
    }));
    ASSERT_TRUE(wrapper->startBrowse());
}

// Starts the installation with `faults` added, browses with the wrapper until all 101 devices are
// reported, and expects every device's property map to hold every property within `bound` of the
// last device reported.
void expectPropertiesComplete(const std::vector<std::string> &faults, std::chrono::seconds bound)
{
    char dir[] = "/tmp/qz-wrapper-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::vector<std::string> args = {"--ktv4s", "4", "--area1", "25", "--area2", "24", "--area3", "24", "--area4", "24"};
    args.insert(args.end(), faults.begin(), faults.end());
    Installation installation;
    ASSERT_TRUE(installation.start(args, dir));
    ASSERT_EQ(installation.units().size(), 101u);

    recordingNotify notify;
    std::unique_ptr<IVeltoWrapper> wrapper;
    ASSERT_NO_FATAL_FAILURE(startBrowsing(notify, wrapper));

    ASSERT_TRUE(within(std::chrono::seconds(90), [&] {
        std::lock_guard<std::mutex> g(notify.lock);
        return notify.added.size() >= installation.units().size();
    })) << notify.added.size() << " of 101 devices reported";
    clock_type::time_point last;
    {
        std::lock_guard<std::mutex> g(notify.lock);
        for (const auto &entry : notify.added)
            last = std::max(last, entry.second);
    }

    // Devices whose property map lacks each property, as getDeviceList shows them.
    std::map<std::string, std::set<std::string>> lacking;
    auto complete = [&] {
        std::list<std::map<std::string, std::string>> devices;
        wrapper->getDeviceList(&devices);
        lacking.clear();
        std::set<std::string> listed;
        for (const auto &properties : devices) {
            const std::string name = properties.count("VeltoLabel") ? properties.at("VeltoLabel") : std::string();
            listed.insert(name);
            for (const char *key : k_properties)
                if (!properties.count(key))
                    lacking[key].insert(name);
        }
        for (const Unit &unit : installation.units())
            if (!listed.count(unit.name))
                lacking["(listed)"].insert(unit.name);
        return lacking.empty();
    };
    const auto left = last + bound - clock_type::now();
    const bool held = within(std::chrono::duration_cast<std::chrono::milliseconds>(left), complete);
    std::string report;
    for (const auto &entry : lacking)
        report += "\n" + entry.first + " missing on " + std::to_string(entry.second.size()) + " devices";
    EXPECT_TRUE(held) << bound.count() << " s after the last device was reported:" << report;
    if (held)
        std::printf("every property complete %.1f s after the last device was reported\n",
                    std::chrono::duration<double>(clock_type::now() - last).count());

    wrapper.reset();
    installation.stop();
    for (const char *file : {"/dump.txt", "/testnet.log"})
        std::remove((std::string(dir) + file).c_str());
    rmdir(dir);
}

} // namespace

TEST(WrapperInstallation, EveryDeviceHoldsItsPropertiesWithinThreeSecondsOfTheLastReported)
{
    expectPropertiesComplete({}, std::chrono::seconds(3));
}

// A question or its answer lost is asked again, a question that waits for room in the request
// table waits as long as its device is there: with 10 % of the control-and-monitoring datagrams
// lost each way, every device's map still completes.
TEST(WrapperInstallation, EveryDeviceHoldsItsPropertiesWithATenthOfTheControlLinkLost)
{
    expectPropertiesComplete({"--conmon-loss-pct", "10"}, std::chrono::seconds(60));
}

// Replies 200-900 ms late, so that they overtake each other, and the list asked for
// every 300 ms from the moment the device is found, before its first read of the receive channels
// has ended. Every list reported names for each of the 64 receive channels what the device holds
// (never a channel not read yet as empty), the first right one within 10 s of the device being
// found, and every later one right as well while the asking goes on.
TEST(WrapperInstallation, APatchListAskedForOverAndOverWhileRepliesComeLateHoldsEveryChannel)
{
    char dir[] = "/tmp/qz-wrapper-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string ktv = "T001-QZ-KTV4-S-0001";
    const std::string presets = std::string(dir) + "/subscriptions.txt";
    {
        // Receive channel i listens to the unit's own transmit channel 65 - i.
        std::ofstream out(presets);
        for (int rx = 1; rx <= 64; ++rx) {
            char line[96];
            std::snprintf(line, sizeof line, "%s %d - %02d@%s\n", ktv.c_str(), rx, 65 - rx, ktv.c_str());
            out << line;
        }
    }
    Installation installation;
    ASSERT_TRUE(installation.start({"--ktv4s", "1", "--area1", "0", "--area2", "0", "--area3", "0", "--area4", "0",
                                    "--delay-range", "200-900", "--subscriptions", presets},
                                   dir));
    ASSERT_EQ(installation.units().size(), 1u);
    ASSERT_EQ(installation.units()[0].name, ktv);

    recordingNotify notify;
    std::unique_ptr<IVeltoWrapper> wrapper;
    ASSERT_NO_FATAL_FAILURE(startBrowsing(notify, wrapper));
    ASSERT_TRUE(within(std::chrono::seconds(30), [&] {
        std::lock_guard<std::mutex> g(notify.lock);
        return notify.added.count(ktv) != 0;
    }));
    clock_type::time_point found;
    {
        std::lock_guard<std::mutex> g(notify.lock);
        found = notify.added.at(ktv);
    }
    const auto end = found + std::chrono::seconds(20);
    while (clock_type::now() < end) {
        wrapper->requestPatchList(ktv); // refused until the channel counts are known
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    std::this_thread::sleep_for(std::chrono::seconds(2)); // the answers still under way

    std::lock_guard<std::mutex> g(notify.lock);
    size_t reported = 0, short_lists = 0, with_empty = 0, wrong = 0;
    clock_type::time_point firstRight = clock_type::time_point::max(), last;
    for (const auto &list : notify.lists) {
        if (list.device != ktv)
            continue;
        ++reported;
        last = list.at;
        bool right = list.entries.size() == 64, empty = false;
        for (size_t i = 0; i < list.entries.size(); ++i) {
            const wfa_patch_entry &e = list.entries[i];
            empty = empty || e.name.empty();
            right = right && e.name == ktv && e.value == 64 - i;
        }
        short_lists += list.entries.size() != 64 ? 1 : 0;
        with_empty += empty ? 1 : 0;
        if (right && firstRight == clock_type::time_point::max())
            firstRight = list.at;
        else if (!right && firstRight != clock_type::time_point::max())
            ++wrong;
    }
    EXPECT_EQ(short_lists, 0u) << "lists without 64 entries, of " << reported;
    EXPECT_EQ(with_empty, 0u) << "lists reporting a channel empty, of " << reported;
    ASSERT_NE(firstRight, clock_type::time_point::max()) << "no right list among " << reported;
    EXPECT_LE(firstRight - found, std::chrono::seconds(10))
        << std::chrono::duration_cast<std::chrono::milliseconds>(firstRight - found).count() << " ms";
    EXPECT_EQ(wrong, 0u) << "wrong lists after the first right one, of " << reported;
    // The asking was answered to its end.
    EXPECT_GE(last, end - std::chrono::seconds(2));

    wrapper.reset();
    installation.stop();
    for (const char *file : {"/dump.txt", "/testnet.log", "/subscriptions.txt"})
        std::remove((std::string(dir) + file).c_str());
    rmdir(dir);
}
