// The service layer's browse driver against a real avahi-daemon (started by avahi-netns.sh): a
// device registered with both of its services enters the device table and gets its query; when it
// is withdrawn the layer reports it lost. The control-and-monitoring side is a recording stand-in.
#include <dns_sd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/avahi_support.h"
#include "tests/wrapper/wrapper_test_support.h"
#include "wrapper/service/wfa_browse.h"
#include "wrapper/service/wfa_bytes.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_records.h"
#include "wrapper/service/wfa_tcb.h"

namespace {

using namespace std::chrono;
using qz_integration::registration;
using qz_integration::txt;
using wrapper_test::recorder;

struct conmon_stand_in {
    std::mutex lock;
    std::set<std::string> table;
    std::vector<std::string> calls;
} g_conmon;

const wfa_browse_conmon_calls k_calls = {
    [] { return false; },
    [](uint8_t *, uint16_t *) { return false; },
    [](const char *name) {
        std::lock_guard<std::mutex> guard(g_conmon.lock);
        return g_conmon.table.count(name) != 0;
    },
    [](const char *name) -> uint32_t {
        std::lock_guard<std::mutex> guard(g_conmon.lock);
        g_conmon.calls.push_back(std::string("add:") + name);
        g_conmon.table.insert(name);
        return 0;
    },
    [](const char *name) -> uint32_t {
        std::lock_guard<std::mutex> guard(g_conmon.lock);
        g_conmon.calls.push_back(std::string("remove:") + name);
        return g_conmon.table.erase(name) != 0 ? 0 : WFA_E_NOT_FOUND;
    },
    [](const char *name) -> uint32_t {
        std::lock_guard<std::mutex> guard(g_conmon.lock);
        g_conmon.calls.push_back(std::string("query:") + name);
        return 0;
    },
    [] {},
};

bool saw(const std::string &call)
{
    std::lock_guard<std::mutex> guard(g_conmon.lock);
    return std::find(g_conmon.calls.begin(), g_conmon.calls.end(), call) != g_conmon.calls.end();
}

std::mutex g_job_lock;
std::condition_variable g_job_cv;
bool g_job_done = false;
uint32_t g_job_result = 0;

int start_browsing(TCB *task)
{
    uint32_t r = wfa_browse_watch_timeout(0, nullptr, 0, -1);
    {
        std::lock_guard<std::mutex> guard(g_job_lock);
        g_job_result = r;
        g_job_done = true;
    }
    g_job_cv.notify_all();
    return tcb_finish(task);
}

// Keeps the registrations answered until `done` or 15 s.
bool serve_until(std::vector<registration *> regs, const std::function<bool()> &done)
{
    auto end = steady_clock::now() + seconds(15);
    while (steady_clock::now() < end) {
        qnb_socket_set set;
        qnb_socket_set_clear(&set);
        for (registration *r : regs) {
            r->add_to(&set);
        }
        unsigned ready = 0;
        qnb_socket_set_wait(&set, 50, &ready);
        for (registration *r : regs) {
            r->process_if_ready(&set);
        }
        if (done()) {
            return true;
        }
    }
    return false;
}

TEST(AvahiBrowseDriver, ReportsFoundAndLostDevices)
{
    wrapper_test::layer_guard guard;
    recorder results;
    wfa_browse_set_conmon_calls(&k_calls);
    uint16_t id = 0;
    ASSERT_EQ(wfa_start(recorder::callback, &results, &id), ERR_NOERR);

    ASSERT_NE(tcb_post(start_browsing, "start_browsing", nullptr, 0), nullptr);
    {
        std::unique_lock<std::mutex> lock(g_job_lock);
        ASSERT_TRUE(g_job_cv.wait_for(lock, seconds(10), [] { return g_job_done; }));
        ASSERT_EQ(g_job_result, 0u);
    }

    registration media("qz-dev2", "_netaudio-arc._udp", 4440, txt({"arcp_vers=2.1", "router_vers=4.0.2"}));
    registration conmon("qz-dev2", "_netaudio-cmc._udp", 8800, txt({"id=02515afffe000002", "process=2"}));
    registration other("qz-media-only", "_netaudio-arc._udp", 4441, txt({"arcp_vers=2.1"}));
    ASSERT_TRUE(media.ok() && conmon.ok() && other.ok());
    ASSERT_TRUE(serve_until({&media, &conmon, &other}, [] { return saw("query:qz-dev2"); }))
        << "the device with both services never reached its query";
    EXPECT_TRUE(saw("add:qz-dev2"));
    EXPECT_FALSE(saw("add:qz-media-only"));

    conmon.withdraw();
    media.withdraw();
    wrapper_test::result lost;
    ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_LOST_DEVICE, &lost)) << "the withdrawn device was not reported lost";
    EXPECT_EQ(wfa_get_text(lost.payload.data(), lost.payload.size(), 0, WFA_NAME_FIELD), "qz-dev2");
    EXPECT_EQ(lost.status, ERR_NOERR);
    // The result is posted before the entry leaves the table.
    auto until = steady_clock::now() + seconds(10);
    while (!saw("remove:qz-dev2") && steady_clock::now() < until) {
        std::this_thread::sleep_for(milliseconds(2));
    }
    EXPECT_TRUE(saw("remove:qz-dev2"));

    wfa_stop();
    wfa_browse_set_conmon_calls(nullptr);
}

} // namespace
