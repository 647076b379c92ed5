// veltoWrapper as a program sees it (its public header and the shared library only) against
// qz_testnet. The largest installation the program counts (4 KTV4-S and 97 RQA-310 units, reported
// within a second or two): every device found is asked for its sample rate, lock state and AES67
// state while the control-and-monitoring client's request slots are taken by the queries of the
// devices still being found; none of those questions may be lost, on a clean local link or with a
// tenth of its datagrams lost each way. A KTV4-S whose routing replies come late and out of order,
// asked for its patch list over and over from the moment it is found: every list holds what the
// device holds. All 101 devices behind a lossy network of their routing requests and replies: every
// device is routed, and every patch list names the transmit channels the devices hold, before and
// after an Apply. A global subscription to status messages lost on its way is made again. Units that
// leave the network and come back, some as spare units, are read anew. Run inside avahi-netns.sh.
#include "tests/integration/program_support.h"

#include "wrapper/veltoWrapper.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

using program_test::Installation;
using program_test::Plan;
using program_test::Unit;

namespace {

using clock_type = std::chrono::steady_clock;

// Notes when each device was reported and whether the current interface was answered.
class recordingNotify : public IVeltoNotify {
public:
    std::mutex lock;
    // When each device was last reported, reported lost, and its channel counts last reported.
    std::map<std::string, clock_type::time_point> added, removed, counted;
    std::map<std::string, std::vector<unsigned short>> batchAnswers; // after the status 2 of "sent"
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
        added[device] = clock_type::now();
    }
    void notifyDeviceRemoved(const std::string &device) override
    {
        std::lock_guard<std::mutex> g(lock);
        removed[device] = clock_type::now();
    }
    void notifyChannelCount(const std::string &device, const std::string &, const std::string &) override
    {
        std::lock_guard<std::mutex> g(lock);
        counted[device] = clock_type::now();
    }
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
    void notifyBatchPatchResult(const std::string &device, const unsigned short &status) override
    {
        std::lock_guard<std::mutex> g(lock);
        if (status != 2)
            batchAnswers[device].push_back(status);
    }
    void notifyPreferredMasterResult(const std::string &, const unsigned short &) override {}
    void notifyLatencyResult(const std::string &, const unsigned short &) override {}
    void notifySampleRateResult(const std::string &, const unsigned short &) override {}
};

// Removes what a run left in its directory, and the directory.
void removeRun(const char *dir)
{
    for (const char *file : {"/dump.txt", "/testnet.log", "/subscriptions.txt", "/commands"})
        std::remove((std::string(dir) + file).c_str());
    rmdir(dir);
}

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

// The properties each device of the installation lacks in its map, as getDeviceList shows them
// (a device not listed at all lacks "(listed)"); empty once every map is complete.
std::map<std::string, std::set<std::string>> lackingProperties(IVeltoWrapper &wrapper,
                                                               const std::vector<Unit> &units)
{
    std::map<std::string, std::set<std::string>> lacking;
    std::list<std::map<std::string, std::string>> devices;
    wrapper.getDeviceList(&devices);
    std::set<std::string> listed;
    for (const auto &properties : devices) {
        const auto name = properties.find("VeltoLabel");
        if (name == properties.end())
            continue;
        listed.insert(name->second);
        for (const char *key : k_properties)
            if (!properties.count(key))
                lacking[key].insert(name->second);
    }
    for (const Unit &unit : units)
        if (!listed.count(unit.name))
            lacking["(listed)"].insert(unit.name);
    return lacking;
}

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

    std::map<std::string, std::set<std::string>> lacking;
    auto complete = [&] {
        lacking = lackingProperties(*wrapper, installation.units());
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
    removeRun(dir);
}

// The patch lists asked for, per device: the requests the wrapper took (it refuses a device whose
// channel counts are not known yet), and when the first and the last of them were made.
struct Asked {
    std::map<std::string, size_t> taken;
    std::map<std::string, clock_type::time_point> first, last;
};

// Asks `device` for its patch list, noting the request in `asked` when the wrapper takes it.
void askForList(IVeltoWrapper &wrapper, const std::string &device, Asked &asked)
{
    const clock_type::time_point at = clock_type::now();
    if (!wrapper.requestPatchList(device))
        return;
    asked.first.emplace(device, at);
    asked.last[device] = at;
    ++asked.taken[device];
}

// Asks every device for its patch list every 2 s until `end`.
void askForLists(IVeltoWrapper &wrapper, const std::vector<Unit> &units, clock_type::time_point end, Asked &asked)
{
    while (clock_type::now() < end) {
        for (const Unit &u : units)
            askForList(wrapper, u.name, asked);
        std::this_thread::sleep_for(std::min<clock_type::duration>(std::chrono::seconds(2), end - clock_type::now()));
    }
}

// Waits, `bound` at most, until every patch list asked for has come: the wrapper answers each
// request it took with one list of the device (a device also reports its list unasked when its
// receive channels change), so each device has reported at least as many lists since its first
// request as were asked of it, one of them since its last request. False, with the devices still
// waiting in `waiting`, when the bound passed first.
bool listsAnswered(recordingNotify &notify, const Asked &asked, std::chrono::milliseconds bound,
                   std::set<std::string> &waiting)
{
    return within(bound, [&] {
        std::lock_guard<std::mutex> g(notify.lock);
        std::map<std::string, size_t> reported;
        std::map<std::string, clock_type::time_point> newest;
        for (const auto &list : notify.lists) {
            const auto first = asked.first.find(list.device);
            if (first == asked.first.end() || list.at < first->second)
                continue;
            ++reported[list.device];
            newest[list.device] = std::max(newest[list.device], list.at);
        }
        waiting.clear();
        for (const auto &taken : asked.taken)
            if (reported[taken.first] < taken.second || newest[taken.first] < asked.last.at(taken.first))
                waiting.insert(taken.first);
        return waiting.empty();
    });
}

// The patch lists reported since a moment, against the subscriptions of a dump: entry i names for
// receive channel i + 1 the transmit device and the transmit channel number, or an empty name and 0
// when the channel is not subscribed.
struct ListsSeen {
    size_t checked = 0, wrong = 0;                 // the lists from the checked moment on
    std::map<std::string, size_t> unknownChannel;  // transmit device -> entries with channel 0xFFFF
    std::set<std::string> wrongDevices, unlisted;  // devices with a wrong list, without a list
    std::string example;                           // the first wrong entry
    double settledS = -1; // from the moment to every device's lists right for good; -1: never
};

ListsSeen checkLists(recordingNotify &notify, const std::vector<Unit> &units,
                     const std::map<std::string, std::string> &held, clock_type::time_point since,
                     clock_type::time_point checkedFrom)
{
    std::lock_guard<std::mutex> g(notify.lock);
    ListsSeen seen;
    std::map<std::string, clock_type::time_point> rightSince; // a device's first right list after its last wrong one
    std::set<std::string> listed;
    for (const auto &list : notify.lists) {
        if (list.at < since)
            continue;
        const auto unit = std::find_if(units.begin(), units.end(), [&](const Unit &u) { return u.name == list.device; });
        const size_t channels = unit == units.end() ? 0 : unit->model == "KTV4-S" ? 64 : 2;
        std::string why;
        const bool right = program_test::patchListHolds(list.device, channels, list.entries, held, &why);
        if (!right)
            rightSince.erase(list.device);
        else
            rightSince.emplace(list.device, list.at);
        if (list.at < checkedFrom)
            continue;
        ++seen.checked;
        listed.insert(list.device);
        for (const wfa_patch_entry &e : list.entries)
            if (e.value == 0xFFFF)
                ++seen.unknownChannel[e.name];
        if (!right) {
            ++seen.wrong;
            seen.wrongDevices.insert(list.device);
            if (seen.example.empty())
                seen.example = list.device + ": " + why;
        }
    }
    clock_type::time_point settled = since;
    for (const Unit &u : units) {
        if (!listed.count(u.name))
            seen.unlisted.insert(u.name);
        const auto it = rightSince.find(u.name);
        if (it == rightSince.end())
            settled = clock_type::time_point::max();
        else if (settled != clock_type::time_point::max())
            settled = std::max(settled, it->second);
    }
    if (settled != clock_type::time_point::max())
        seen.settledS = std::chrono::duration<double>(settled - since).count();
    return seen;
}

// The first few names of `names` and how many there are.
std::string someOf(const std::set<std::string> &names)
{
    std::string text = std::to_string(names.size()) + ":";
    size_t n = 0;
    for (auto it = names.begin(); it != names.end() && n < 6; ++it, ++n)
        text += " " + *it;
    return text + (names.size() > n ? " ..." : "");
}

// Fails the test with what was wrong about the lists of `seen`.
void expectListsRight(const ListsSeen &seen, const char *when)
{
    std::string unknown;
    for (const auto &entry : seen.unknownChannel)
        unknown += "\n  " + std::to_string(entry.second) + " entries name transmit channel 0xFFFF of " + entry.first;
    EXPECT_TRUE(seen.wrong == 0 && seen.unlisted.empty())
        << when << ": " << seen.wrong << " of " << seen.checked << " patch lists wrong, on devices "
        << someOf(seen.wrongDevices) << " (first: " << seen.example << "); devices without a list "
        << someOf(seen.unlisted) << unknown;
}

// Presets for qz_testnet in `dir` that subscribe every receive channel of the largest installation
// otherwise than fullPlan does (fullPlan over the units with the first KTV4-S moved last); the
// file's path, empty when it could not be written.
std::string writeOtherPresets(const char *dir)
{
    const std::string presets = std::string(dir) + "/subscriptions.txt";
    std::vector<Unit> turned = program_test::largestInstallation();
    std::rotate(turned.begin(), turned.begin() + 1, turned.end());
    const bool written = program_test::writeSubscriptions(
        presets, program_test::expectedSubscriptions(program_test::fullPlan(turned), turned));
    return written ? presets : std::string();
}

// Sends each unit its part of `plan` in one batch and waits for the answer (10 s at most), one unit
// at a time and for `bound` at most in all: unit name -> the batch's answer.
std::map<std::string, unsigned short> applyPlan(IVeltoWrapper &wrapper, recordingNotify &notify,
                                                const Installation &installation, const Plan &plan,
                                                std::chrono::seconds bound)
{
    std::map<std::string, unsigned short> answers;
    const clock_type::time_point applying = clock_type::now();
    for (const Unit &u : installation.units()) {
        if (clock_type::now() > applying + bound)
            break;
        std::list<wfa_patch_entry> entries;
        for (const auto &channel : plan.at({u.model, u.unit}))
            entries.push_back({installation.nameOf(channel.second.txModel, channel.second.txUnit),
                               static_cast<unsigned short>(channel.second.txChannel)});
        size_t before = 0;
        {
            std::lock_guard<std::mutex> g(notify.lock);
            before = notify.batchAnswers[u.name].size();
        }
        EXPECT_TRUE(wrapper.setBatchPatch(u.name, static_cast<unsigned short>(entries.size()), entries)) << u.name;
        within(std::chrono::seconds(10), [&] {
            std::lock_guard<std::mutex> g(notify.lock);
            const std::vector<unsigned short> &got = notify.batchAnswers[u.name];
            if (got.size() > before)
                answers[u.name] = got.back();
            return got.size() > before;
        });
    }
    return answers;
}

// The keys of each device's property map, as getDeviceList shows them.
std::map<std::string, std::set<std::string>> propertyKeys(IVeltoWrapper &wrapper)
{
    std::list<std::map<std::string, std::string>> devices;
    wrapper.getDeviceList(&devices);
    std::map<std::string, std::set<std::string>> keys;
    for (const auto &properties : devices) {
        const auto name = properties.find("VeltoLabel");
        for (const auto &p : properties)
            if (name != properties.end())
                keys[name->second].insert(p.first);
    }
    return keys;
}

// The capabilities queries the routing device of `unit` received, from its status line; -1 when none.
long capabilityQueries(const std::map<std::string, std::string> &status, const std::string &unit)
{
    const auto line = status.find(unit);
    const size_t at = line == status.end() ? std::string::npos : line->second.find("capabilities ");
    return at == std::string::npos ? -1 : std::atol(line->second.c_str() + at + std::strlen("capabilities "));
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
    Asked asked;
    while (clock_type::now() < end) {
        askForList(*wrapper, ktv, asked); // refused until the channel counts are known
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    std::set<std::string> waiting;
    EXPECT_TRUE(listsAnswered(notify, asked, std::chrono::seconds(10), waiting)) << "patch lists asked for never came";

    {
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
    }
    wrapper.reset();
    installation.stop();
    removeRun(dir);
}

// A tenth of the routing requests and a tenth of the replies lost, one reply in twenty sent twice
// (and one request), every receive channel of every unit subscribed to another unit, the losses
// drawn from seed 4 (which once left a device unrouted; QZ_ROUTING_SEED draws others): every device
// is routed (its channel counts reported) within 90 s of the start of browsing, every patch list
// from 30 s after the last device was found on names what the devices hold, transmit channel
// numbers included; after an Apply of another plan, one batch at a time, every list from 20 s after
// the last batch answer on names what the devices hold then, and most of them hold the plan.
TEST(WrapperInstallation, UnderRoutingLossEveryDeviceIsRoutedAndEveryPatchListNamesTheTransmitChannels)
{
    using std::chrono::seconds;
    char dir[] = "/tmp/qz-wrapper-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string presets = writeOtherPresets(dir);
    ASSERT_FALSE(presets.empty());
    const char *given = std::getenv("QZ_ROUTING_SEED");
    const std::string seed = given ? given : "4";
    SCOPED_TRACE("seed " + seed);
    Installation installation;
    ASSERT_TRUE(installation.start({"--ktv4s", "4", "--area1", "25", "--area2", "24", "--area3", "24", "--area4", "24",
                                    "--loss-pct", "10", "--duplicate-pct", "5", "--seed", seed, "--subscriptions",
                                    presets},
                                   dir));
    const std::vector<Unit> &units = installation.units();
    ASSERT_EQ(units.size(), 101u);

    recordingNotify notify;
    std::unique_ptr<IVeltoWrapper> wrapper;
    ASSERT_NO_FATAL_FAILURE(startBrowsing(notify, wrapper));
    const clock_type::time_point browsing = clock_type::now();
    ASSERT_TRUE(within(seconds(90), [&] {
        std::lock_guard<std::mutex> g(notify.lock);
        return notify.added.size() >= units.size();
    })) << notify.added.size() << " of 101 devices reported";
    clock_type::time_point found;
    {
        std::lock_guard<std::mutex> g(notify.lock);
        for (const auto &entry : notify.added)
            found = std::max(found, entry.second);
    }
    auto routed = [&] {
        std::lock_guard<std::mutex> g(notify.lock);
        return notify.counted.size();
    };
    // Asked for from the last device found on, at least 45 s and until every device is routed.
    Asked asked;
    askForLists(*wrapper, units, found + seconds(45), asked);
    while (routed() < units.size() && clock_type::now() < browsing + seconds(90))
        askForLists(*wrapper, units, clock_type::now() + seconds(2), asked);
    std::set<std::string> waiting;
    EXPECT_TRUE(listsAnswered(notify, asked, seconds(10), waiting))
        << "patch lists asked for that never came: " << someOf(waiting);
    std::set<std::string> unrouted;
    {
        std::lock_guard<std::mutex> g(notify.lock);
        for (const Unit &u : units)
            if (!notify.counted.count(u.name))
                unrouted.insert(u.name);
    }
    EXPECT_TRUE(unrouted.empty()) << "devices without channel counts 90 s after browsing started: "
                                  << someOf(unrouted);
    std::map<std::string, std::string> held;
    ASSERT_TRUE(installation.subscriptions(held));
    long requests = -1, most = -1;
    installation.routingRequests(requests, most);
    const ListsSeen before = checkLists(notify, units, held, found, found + seconds(30));
    expectListsRight(before, "from 30 s after the last device was found");

    // The Apply: each device's batch and its answer, one device at a time (90 s in all at most).
    const Plan plan = program_test::fullPlan(units);
    const std::map<std::string, unsigned short> answers = applyPlan(*wrapper, notify, installation, plan, seconds(90));
    const clock_type::time_point applied = clock_type::now();
    EXPECT_EQ(answers.size(), units.size()) << "batches answered within 10 s each, 90 s in all";
    askForLists(*wrapper, units, applied + seconds(30), asked);
    EXPECT_TRUE(listsAnswered(notify, asked, seconds(10), waiting))
        << "patch lists asked for after the Apply that never came: " << someOf(waiting);
    ASSERT_TRUE(installation.subscriptions(held));
    const ListsSeen after = checkLists(notify, units, held, applied, applied + seconds(20));
    expectListsRight(after, "from 20 s after the last batch answer");
    // The devices that hold their whole part of the plan; each whose batch succeeded must.
    const std::map<std::string, std::string> planned = program_test::expectedSubscriptions(plan, installation);
    std::set<std::string> holding, failed, lostSuccess; // failed: with the batch's answer
    for (const Unit &u : units) {
        bool all = true;
        for (auto it = planned.lower_bound(u.name + " "); it != planned.end() && it->first.rfind(u.name + " ", 0) == 0;
             ++it)
            all = all && held.count(it->first) && held.at(it->first) == it->second;
        char answer[16] = "none";
        if (answers.count(u.name))
            std::snprintf(answer, sizeof answer, "0x%04X", unsigned(answers.at(u.name)));
        if (all)
            holding.insert(u.name);
        else
            failed.insert(u.name + " (answer " + answer + ")");
        if (!all && answers.count(u.name) && answers.at(u.name) == 0)
            lostSuccess.insert(u.name);
    }
    EXPECT_TRUE(lostSuccess.empty()) << "batches answered with success whose device does not hold them: "
                                     << someOf(lostSuccess);
    EXPECT_GE(holding.size(), units.size() * 9 / 10) << "devices without the plan: " << someOf(failed);

    auto secondsText = [](double s) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f s", s);
        return s < 0 ? std::string("never") : std::string(text);
    };
    std::printf("routing loss, seed %s: %zu of 101 devices routed; every patch list right %s after the last device "
                "was found; %.1f routing requests per device before the Apply (at most %ld to one); after it %zu of "
                "101 devices hold the plan, every list right %s after the last batch answer\n",
                seed.c_str(), routed(), secondsText(before.settledS).c_str(), double(requests) / 101.0, most,
                holding.size(), secondsText(after.settledS).c_str());

    wrapper.reset();
    installation.stop();
    removeRun(dir);
}

// The control-and-monitoring server loses the first two global Subscribe requests on their way (no
// answer, no effect): no subscription is in force until one is answered, so the library subscribes
// again, and every device is reported.
TEST(WrapperInstallation, AGlobalSubscriptionLostTwiceIsMadeAgainAndEveryDeviceIsReported)
{
    char dir[] = "/tmp/qz-wrapper-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    Installation installation;
    ASSERT_TRUE(installation.start({"--ktv4s", "1", "--area1", "4", "--area2", "0", "--area3", "0", "--area4", "0",
                                    "--conmon-lose-global", "2"},
                                   dir));
    recordingNotify notify;
    std::unique_ptr<IVeltoWrapper> wrapper;
    ASSERT_NO_FATAL_FAILURE(startBrowsing(notify, wrapper));
    size_t reported = 0;
    EXPECT_TRUE(within(std::chrono::seconds(60), [&] {
        std::lock_guard<std::mutex> g(notify.lock);
        reported = notify.added.size();
        return reported == installation.units().size();
    })) << reported << " of " << installation.units().size() << " devices reported";
    wrapper.reset();
    installation.stop();
    removeRun(dir);
}

// Seven of the 101 units leave the network (silent, their services withdrawn with goodbyes) for 20 s
// while every receive channel is subscribed, and come back with the same names, ports and records:
// four unchanged, three as spare units that hold no subscription. Each is reported lost and found
// again and is read anew: its channel counts come from a new capabilities query, its property map
// holds every key it had before it left within 10 s of its return, and every patch list from then
// on names what the units hold (the spares' empty channels, and the other units' subscriptions to
// them). An Apply afterwards reaches every unit.
TEST(WrapperInstallation, UnitsThatLeaveAndComeBackAreReadAnew)
{
    using std::chrono::seconds;
    char dir[] = "/tmp/qz-wrapper-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string presets = writeOtherPresets(dir);
    ASSERT_FALSE(presets.empty());
    Installation installation;
    ASSERT_TRUE(installation.start({"--ktv4s", "4", "--area1", "25", "--area2", "24", "--area3", "24", "--area4", "24",
                                    "--subscriptions", presets, "--commands", std::string(dir) + "/commands"},
                                   dir));
    const std::vector<Unit> &units = installation.units();
    ASSERT_EQ(units.size(), 101u);
    recordingNotify notify;
    std::unique_ptr<IVeltoWrapper> wrapper;
    ASSERT_NO_FATAL_FAILURE(startBrowsing(notify, wrapper));

    // Two KTV4-S units and five RQA-310 units over the areas; true: it comes back as a spare.
    const std::map<std::string, bool> leaving = {{units[0].name, true},   {units[2].name, false},
                                                 {units[10].name, false}, {units[33].name, true},
                                                 {units[57].name, false}, {units[80].name, true},
                                                 {units[100].name, false}};
    std::map<std::string, std::set<std::string>> keysBefore;
    size_t routed = 0;
    ASSERT_TRUE(within(seconds(90), [&] {
        keysBefore = propertyKeys(*wrapper);
        std::lock_guard<std::mutex> g(notify.lock);
        routed = notify.counted.size();
        return routed == units.size() && std::all_of(leaving.begin(), leaving.end(), [&](const auto &l) {
                   return keysBefore[l.first].count("Latency") != 0;
               });
    })) << routed << " of 101 devices routed, or a latency missing";
    const std::map<std::string, std::string> statusBefore = installation.status();
    const clock_type::time_point left = clock_type::now();
    for (const auto &l : leaving)
        ASSERT_TRUE(installation.command("away " + l.first + " 20000" + (l.second ? " spare" : "")));
    const clock_type::time_point returned = left + seconds(20);

    // Within 10 s of their return: lost and found again, routed again, and every key back.
    std::set<std::string> behind;
    auto back = [&] {
        const auto keys = propertyKeys(*wrapper);
        std::lock_guard<std::mutex> g(notify.lock);
        behind.clear();
        for (const auto &l : leaving) {
            const bool again = notify.removed.count(l.first) && notify.removed.at(l.first) > left &&
                               notify.added.at(l.first) > notify.removed.at(l.first) &&
                               notify.counted.at(l.first) > notify.added.at(l.first);
            const auto now = keys.find(l.first);
            const bool keysBack =
                now != keys.end() && std::includes(now->second.begin(), now->second.end(),
                                                   keysBefore[l.first].begin(), keysBefore[l.first].end());
            if (!again || !keysBack)
                behind.insert(l.first);
        }
        return behind.empty();
    };
    Asked asked;
    askForLists(*wrapper, units, returned, asked);
    within(std::chrono::duration_cast<std::chrono::milliseconds>(returned + seconds(10) - clock_type::now()), back);
    EXPECT_TRUE(back()) << "not found, routed and whole again 10 s after their return: " << someOf(behind);
    askForLists(*wrapper, units, returned + seconds(25), asked);
    std::set<std::string> waiting;
    EXPECT_TRUE(listsAnswered(notify, asked, seconds(10), waiting))
        << "patch lists asked for that never came: " << someOf(waiting);
    std::map<std::string, std::string> held;
    ASSERT_TRUE(installation.subscriptions(held));
    expectListsRight(checkLists(notify, units, held, returned, returned + seconds(10)),
                     "from 10 s after the units came back");
    const std::map<std::string, std::string> statusAfter = installation.status();
    for (const auto &l : leaving)
        EXPECT_GT(capabilityQueries(statusAfter, l.first), capabilityQueries(statusBefore, l.first))
            << l.first << ": its channel counts came from no new capabilities query";

    const Plan plan = program_test::fullPlan(units);
    const std::map<std::string, unsigned short> answers = applyPlan(*wrapper, notify, installation, plan, seconds(90));
    ASSERT_TRUE(installation.subscriptions(held));
    const std::map<std::string, std::string> planned = program_test::expectedSubscriptions(plan, installation);
    std::set<std::string> missed;
    for (const Unit &u : units)
        if (!answers.count(u.name) || answers.at(u.name) != 0)
            missed.insert(u.name);
    for (const auto &e : planned)
        if (!held.count(e.first) || held.at(e.first) != e.second)
            missed.insert(e.first.substr(0, e.first.find(' ')));
    EXPECT_TRUE(missed.empty()) << "units the Apply did not reach: " << someOf(missed);

    wrapper.reset();
    installation.stop();
    removeRun(dir);
}

// A fifth of the control-and-monitoring datagrams lost each way, with the seeds of the loss that
// QZ_CONMON_LOSS_SEEDS names (blank-separated; "1" by default for CI, a seed that once left every
// device unreported; qz_conmon_loss_sweep runs many seeds and writes the library's log of each):
// browsing is asked for as soon as the interface is known, while the link to the local server is
// still being made, and every device is reported and holds every property within 180 s of the start
// of browsing, as long as the loss lasts. The time each seed took is printed.
TEST(WrapperInstallation, EveryDeviceIsReportedAndHoldsItsPropertiesWithAFifthOfTheControlLinkLost)
{
    const char *given = std::getenv("QZ_CONMON_LOSS_SEEDS");
    std::vector<std::string> seeds;
    {
        std::istringstream list(given && *given ? given : "1");
        for (std::string seed; list >> seed;)
            seeds.push_back(seed);
    }
    for (const std::string &seed : seeds) {
        SCOPED_TRACE("seed " + seed);
        char dir[] = "/tmp/qz-wrapper-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        Installation installation;
        ASSERT_TRUE(installation.start({"--ktv4s", "4", "--area1", "25", "--area2", "24", "--area3", "24", "--area4",
                                        "24", "--conmon-loss-pct", "20", "--seed", seed},
                                       dir));
        ASSERT_EQ(installation.units().size(), 101u);
        recordingNotify notify;
        std::unique_ptr<IVeltoWrapper> wrapper;
        ASSERT_NO_FATAL_FAILURE(startBrowsing(notify, wrapper));
        const clock_type::time_point browsing = clock_type::now();
        std::map<std::string, std::set<std::string>> lacking;
        auto complete = [&] {
            lacking = lackingProperties(*wrapper, installation.units());
            return lacking.empty();
        };
        const bool held = within(std::chrono::seconds(180), complete);
        const double took = std::chrono::duration<double>(clock_type::now() - browsing).count();
        double lastReported = 0;
        {
            std::lock_guard<std::mutex> g(notify.lock);
            for (const auto &entry : notify.added)
                lastReported = std::max(lastReported, std::chrono::duration<double>(entry.second - browsing).count());
        }
        std::string report;
        for (const auto &entry : lacking)
            report += "\n" + entry.first + " missing on " + someOf(entry.second);
        EXPECT_TRUE(held) << "180 s after browsing started:" << report;
        std::printf("seed %s: the last device reported %.1f s and every map complete %.1f s after browsing started\n",
                    seed.c_str(), lastReported, took);
        wrapper.reset();
        installation.stop();
        removeRun(dir);
    }
}
