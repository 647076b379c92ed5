// The library as a program sees it: only the public header and the shared library.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/quoting.h"
#include "wrapper/veltoWrapper.h"

namespace {

// Counts what arrives, from whichever thread it arrives on.
class countingNotify : public IVeltoNotify {
public:
    std::atomic<int> calls{0};

    void notifyInitDone() override { ++calls; }
    void notifyDeviceAdded(const std::string &, const std::string &, const std::string &, const std::string &,
                           const std::string &, const std::string &, const std::string &,
                           const std::string &) override
    {
        ++calls;
    }
    void notifyDeviceRemoved(const std::string &) override { ++calls; }
    void notifyChannelCount(const std::string &, const std::string &, const std::string &) override { ++calls; }
    void notifyConnectState(const std::string &, const std::string &) override { ++calls; }
    void notifySampleRate(const std::string &, const std::string &) override { ++calls; }
    void notifyLatency(const std::string &, const std::string &) override { ++calls; }
    void notifyLockState(const std::string &, const std::string &) override { ++calls; }
    void notifyAes67State(const std::string &, const std::string &, const std::string &) override { ++calls; }
    void notifyPatchList(const std::string &, const std::string &, const std::list<wfa_patch_entry> &) override
    {
        ++calls;
    }
    void notifyIfList(const unsigned char &, const std::list<std::wstring> &, const std::list<std::string> &,
                      const std::list<std::string> &) override
    {
        ++calls;
        ++ifLists;
    }
    std::atomic<int> ifLists{0};
    void notifyCurrentIf(const std::wstring &, const std::string &) override { ++calls; }
    void notifyReserved() override { ++calls; }
    void notifyPatchResult(const std::string &, const unsigned short &) override { ++calls; }
    void notifyBatchPatchResult(const std::string &, const unsigned short &) override { ++calls; }
    void notifyPreferredMasterResult(const std::string &, const unsigned short &) override { ++calls; }
    void notifyLatencyResult(const std::string &, const unsigned short &) override { ++calls; }
    void notifySampleRateResult(const std::string &, const unsigned short &) override { ++calls; }
};

TEST(Boundary, EachInstanceCallGivesItsOwnFactory)
{
    IVeltoFactory *a = instance();
    IVeltoFactory *b = instance();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    delete a;
    delete b;
}

TEST(Boundary, BindInitBrowseStopInitAgainAndDelete)
{
    countingNotify notify;
    IVeltoFactory *factory = instance();
    ASSERT_NE(factory, nullptr);
    IVeltoWrapper *wrapper = factory->create(&notify);
    delete factory; // the program deletes the factory at once
    ASSERT_NE(wrapper, nullptr);

    ASSERT_TRUE(wrapper->init());
    EXPECT_TRUE(wrapper->startBrowse());
    EXPECT_EQ(wrapper->isBrowsing(), 1);
    EXPECT_TRUE(wrapper->requestIfList());
    EXPECT_TRUE(wrapper->requestIf());
    EXPECT_TRUE(wrapper->stop());
    EXPECT_FALSE(wrapper->startBrowse()); // nothing runs after stop

    ASSERT_TRUE(wrapper->init()); // a fresh worker
    EXPECT_FALSE(wrapper->init()); // and only one
    EXPECT_TRUE(wrapper->startBrowse());
    EXPECT_TRUE(wrapper->stopBrowse());
    std::list<std::map<std::string, std::string>> devices;
    EXPECT_TRUE(wrapper->getDeviceList(&devices));
    delete wrapper; // stops the worker first
}

// Waits (bounded) until `condition` holds.
template <class Condition> bool eventually(Condition condition)
{
    for (int i = 0; i < 10000 && !condition(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return condition();
}

TEST(Boundary, StopThenStartOfBrowsingKeepsBrowsingAndALaterStopIsSent)
{
    countingNotify notify;
    std::unique_ptr<IVeltoFactory> factory(instance());
    std::unique_ptr<IVeltoWrapper> wrapper(factory->create(&notify));
    ASSERT_TRUE(wrapper->init());
    ASSERT_TRUE(wrapper->startBrowse());
    // The program's restart of browsing: stop and start in one go, before the stop is answered.
    ASSERT_TRUE(wrapper->stopBrowse());
    ASSERT_TRUE(wrapper->startBrowse());
    EXPECT_EQ(wrapper->isBrowsing(), 1);
    // Commands are answered in order: once the interface list is answered, so is the stop.
    ASSERT_TRUE(wrapper->requestIfList());
    ASSERT_TRUE(eventually([&] { return notify.ifLists.load() == 1; }));
    EXPECT_EQ(wrapper->isBrowsing(), 1) << "the answer to the older stop ended the newer browse";

    // The next stop is sent, and its answer ends browsing.
    ASSERT_TRUE(wrapper->stopBrowse());
    EXPECT_TRUE(eventually([&] { return wrapper->isBrowsing() == 0; }));
}

TEST(Boundary, CallsFromSeveralThreadsWhileTheWorkerAnswers)
{
    countingNotify notify;
    std::unique_ptr<IVeltoFactory> factory(instance());
    IVeltoWrapper *wrapper = factory->create(&notify);
    ASSERT_TRUE(wrapper->init());
    std::thread others[3];
    for (auto &t : others) {
        t = std::thread([wrapper] {
            for (int i = 0; i < 50; ++i) {
                wrapper->requestIf();
                wrapper->setSampleRate("dev-a", 48000);
                std::list<std::map<std::string, std::string>> devices;
                wrapper->getDeviceList(&devices);
                wrapper->isBrowsing();
            }
        });
    }
    for (auto &t : others)
        t.join();
    // The answers come on the worker thread; wait (bounded) for the first ones.
    for (int i = 0; i < 10000 && notify.calls.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GT(notify.calls.load(), 0);
    delete wrapper;
}

TEST(Boundary, TheSharedLibraryExportsOnlyInstance)
{
    const std::string command = "nm -D --defined-only " + qz_test::shellQuoted(VELTOWRAPPER_LIBRARY);
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> symbols;
    std::array<char, 512> line;
    while (fgets(line.data(), line.size(), pipe)) {
        std::istringstream fields(line.data());
        std::string address, kind, name;
        if (fields >> address >> kind >> name)
            symbols.insert(name);
    }
    ASSERT_EQ(pclose(pipe), 0);
    EXPECT_EQ(symbols, std::set<std::string>{"instance"});
}

} // namespace
