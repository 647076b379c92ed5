// The control-and-monitoring driver against a local server whose link loses datagrams or that
// restarts: single steps of a stop and start lost on purpose, a server that forgets or refuses the
// link, and the largest installation behind a link that loses a fifth of its datagrams each way,
// seed after seed. The server runs on the test's thread and the clock moves only once the worker
// and the server have nothing left to say to each other: nothing is in flight when it moves.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "testnet/tn_conmon_server.h"
#include "tests/support/fake_clock.h"
#include "tests/wrapper/service/driver_fixture.h"
#include "tests/wrapper/wrapper_test_support.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_conmon.h"
#include "wrapper/service/wfa_device.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_proc.h"

namespace {

using wrapper_test::recorder;
using wrapper_test::result;

uint32_t on_worker(std::function<uint32_t()> job)
{
    return driver_fixture::on_worker<uint32_t>(std::move(job));
}

class ConmonLoss : public ::testing::Test {
protected:
    void SetUp() override
    {
        server = tn_conmon_server_new(0, nullptr);
        ASSERT_NE(server, nullptr);
        ASSERT_EQ(tn_conmon_server_load_text(server, tn_conmon_default_devices), 0);
    }
    void TearDown() override
    {
        wfa_stop();
        tn_conmon_server_delete(server);
    }
    // Pauses of the worker move the clock instead of waiting; they are counted.
    static void pause_hook(unsigned ms, void *context)
    {
        auto *self = static_cast<ConmonLoss *>(context);
        self->pauses++;
        self->clock.advance(ms / 1000, (ms % 1000) * 1000);
    }
    void start()
    {
        wfa_conmon_set_port(tn_conmon_server_get_port(server));
        wfa_set_pause_hook(pause_hook, this);
        uint16_t id = 0;
        ASSERT_EQ(wfa_start(recorder::callback, &results, &id), ERR_NOERR);
        settle();
    }
    // Lets the worker and the server exchange what they have to say at this time: the worker runs
    // its passes (its tasks send, it reads what has come, the tasks react; a job runs after the
    // tasks of its pass, so the third one runs once the second pass has read its sockets), the
    // server answers what has arrived, until a round in which the worker sent nothing.
    void settle()
    {
        for (int round = 0; round < 1000; round++) {
            on_worker([] { return 0u; });
            on_worker([] { return 0u; });
            on_worker([] { return 0u; });
            const unsigned long before = tn_conmon_server_received(server);
            tn_conmon_server_process(server);
            if (tn_conmon_server_received(server) == before) {
                return;
            }
        }
        ADD_FAILURE() << "the worker and the server never fell silent";
    }
    // Moves the clock a second at a time, settling after each, until `done` holds or `seconds`
    // have passed; the seconds it took, or -1.
    int until(const std::function<bool()> &done, int seconds)
    {
        for (int s = 0; s <= seconds; s++) {
            if (done()) {
                return s;
            }
            clock.advance(1);
            settle();
        }
        return -1;
    }
    static bool ready()
    {
        return on_worker([] { return wfa_conmon_is_ready() ? 1u : 0u; }) == 1;
    }
    size_t count_code(uint16_t code)
    {
        size_t n = 0;
        for (const result &r : results.results()) {
            n += r.code == code ? 1 : 0;
        }
        return n;
    }
    // The names of the devices reported after the first `from` results.
    std::set<std::string> reported(size_t from = 0)
    {
        std::set<std::string> names;
        const std::vector<result> all = results.results();
        for (size_t i = from; i < all.size(); i++) {
            const result &r = all[i];
            if (r.code == WFA_CBACK_INF_DEVICE) {
                names.insert(std::string(reinterpret_cast<const char *>(r.payload.data()),
                                         strnlen(reinterpret_cast<const char *>(r.payload.data()), 32)));
            }
        }
        return names;
    }
    // The devices whose result of `code` has come after the first `from` results.
    std::set<std::string> answered(uint16_t code, size_t from = 0)
    {
        std::set<std::string> names;
        const std::vector<result> all = results.results();
        for (size_t i = from; i < all.size(); i++) {
            if (all[i].code == code) {
                names.insert(std::string(reinterpret_cast<const char *>(all[i].payload.data()),
                                         strnlen(reinterpret_cast<const char *>(all[i].payload.data()), 32)));
            }
        }
        return names;
    }
    unsigned questions_to(const char *name) { return tn_conmon_server_device(server, name)->questions; }
    static uint32_t ask(const char *name, uint32_t question)
    {
        return on_worker([=] { return wfa_conmon_ask(name, question, 0); });
    }
    void add_and_query(const std::string &name)
    {
        ASSERT_EQ(on_worker([&] {
                      uint32_t r = wfa_device_add(name.c_str());
                      return r ? r : wfa_conmon_query(name.c_str());
                  }),
                  0u);
    }

    // The largest installation the program counts: 4 KTV4-S and 97 RQA-310 units, the default
    // two among them; their names.
    std::vector<std::string> largest_installation()
    {
        std::vector<std::string> names = {"T001-KTV4-S", "T002-RQA-310"};
        for (unsigned unit = 2; unit <= 4; unit++) {
            char name[32];
            std::snprintf(name, sizeof name, "T%03X-KTV4-S", unit);
            tn_conmon_device d;
            tn_conmon_device_defaults(&d, name, "KTV4-S", unit);
            EXPECT_EQ(tn_conmon_server_add_device(server, &d), 0);
            names.push_back(name);
        }
        for (unsigned unit = 3; unit <= 98; unit++) {
            char name[32];
            std::snprintf(name, sizeof name, "T%03X-RQA-310", unit);
            tn_conmon_device d;
            tn_conmon_device_defaults(&d, name, "RQA-310", unit);
            EXPECT_EQ(tn_conmon_server_add_device(server, &d), 0);
            names.push_back(name);
        }
        EXPECT_EQ(names.size(), 101u);
        return names;
    }

    qz_test::fake_clock clock{1700000000u, 0};
    wrapper_test::layer_guard guard;
    tn_conmon_server *server = nullptr;
    recorder results;
    std::atomic<unsigned> pauses{0}; // counted on the worker thread
};

// The stop and start that an interface change makes (the configuration driver's restart of the
// start-up), with one of its datagrams lost: the old link's Unsubscribe or Disconnect, the new
// Connect or its answer, a registration or its answer, the Subscribe or its answer. Each time the
// driver connects, registers and subscribes again within a bounded time, and a device queried then
// is reported.
TEST_F(ConmonLoss, AStopAndStartWithAnyOfItsDatagramsLostConnectsAgain)
{
    struct row {
        const char *lost;
        tn_conmon_way way;
        uint16_t opcode;
        unsigned count;
    } rows[] = {
        {"the Unsubscribe", TN_CONMON_LOSE_IN, TN_CONMON_OP_UNSUBSCRIBE, 1},
        {"the Disconnect", TN_CONMON_LOSE_IN, TN_CONMON_OP_DISCONNECT, 1},
        {"the Unsubscribe and the Disconnect", TN_CONMON_LOSE_IN, TN_CONMON_OP_UNSUBSCRIBE, 1},
        {"the Connect", TN_CONMON_LOSE_IN, TN_CONMON_OP_CONNECT, 1},
        {"the Connect's answer", TN_CONMON_LOSE_OUT, TN_CONMON_OP_CONNECT, 1},
        {"a Register", TN_CONMON_LOSE_IN, TN_CONMON_OP_REGISTER, 1},
        {"a Register's answer", TN_CONMON_LOSE_OUT, TN_CONMON_OP_REGISTER, 1},
        {"the Subscribe", TN_CONMON_LOSE_IN, TN_CONMON_OP_SUBSCRIBE, 1},
        {"the Subscribe's answer", TN_CONMON_LOSE_OUT, TN_CONMON_OP_SUBSCRIBE, 1},
    };
    const char *const names[] = {"T001-KTV4-S", "T002-RQA-310"};
    for (const row &r : rows) {
        SCOPED_TRACE(r.lost);
        TearDown();
        SetUp();
        ASSERT_NO_FATAL_FAILURE(start());
        ASSERT_GE(until(ready, 10), 0);
        tn_conmon_server_lose(server, r.way, r.opcode, r.count);
        if (std::strcmp(r.lost, "the Unsubscribe and the Disconnect") == 0) {
            tn_conmon_server_lose(server, TN_CONMON_LOSE_IN, TN_CONMON_OP_DISCONNECT, 1);
        }
        const unsigned connects = tn_conmon_server_request_count(server, TN_CONMON_OP_CONNECT);
        const size_t from = results.results().size();
        on_worker([] {
            wfa_conmon_stop();
            return wfa_conmon_start();
        });
        settle();
        const int took = until(ready, 30);
        EXPECT_GE(took, 0) << "never ready again";
        EXPECT_LE(took, 15);
        EXPECT_GT(tn_conmon_server_request_count(server, TN_CONMON_OP_CONNECT), connects);
        EXPECT_TRUE(tn_conmon_server_is_subscribed(server, 2, nullptr));
        add_and_query(names[0]);
        EXPECT_GE(until([&] { return reported(from).count(names[0]) == 1; }, 15), 0) << "no device reported";
        std::printf("%s lost: ready again after %d s\n", r.lost, took);
    }
}

// The same stop and start at every moment of the start-up it interrupts (after each exchange with
// the server: the Connect unanswered, its answer unread, the registrations under way, the
// subscription asked for or answered but unread, ready), with nothing lost, with the old link's
// Unsubscribe and Disconnect lost, and with the new link's Connect lost.
TEST_F(ConmonLoss, AStopAndStartAtAnyMomentOfTheStartUpConnectsAgain)
{
    enum loss { none, farewell, connect };
    for (loss lost : {none, farewell, connect}) {
        for (int exchanges = 0; exchanges <= 8; exchanges++) {
            SCOPED_TRACE(std::string(lost == none ? "nothing" : lost == farewell ? "Unsubscribe, Disconnect" : "Connect") +
                         " lost, after " + std::to_string(exchanges) + " exchanges");
            TearDown();
            SetUp();
            wfa_conmon_set_port(tn_conmon_server_get_port(server));
            wfa_set_pause_hook(pause_hook, this);
            uint16_t id = 0;
            ASSERT_EQ(wfa_start(recorder::callback, &results, &id), ERR_NOERR);
            for (int i = 0; i < exchanges; i++) {
                on_worker([] { return 0u; });
                tn_conmon_server_process(server);
            }
            if (lost == farewell) {
                tn_conmon_server_lose(server, TN_CONMON_LOSE_IN, TN_CONMON_OP_UNSUBSCRIBE, 1);
                tn_conmon_server_lose(server, TN_CONMON_LOSE_IN, TN_CONMON_OP_DISCONNECT, 1);
            } else if (lost == connect) {
                tn_conmon_server_lose(server, TN_CONMON_LOSE_IN, TN_CONMON_OP_CONNECT, 1);
            }
            const size_t from = results.results().size();
            on_worker([] {
                wfa_conmon_stop();
                return wfa_conmon_start();
            });
            settle();
            const int took = until(ready, 40);
            EXPECT_GE(took, 0) << "never ready again";
            EXPECT_LE(took, 20);
            EXPECT_TRUE(tn_conmon_server_is_subscribed(server, 2, nullptr));
            add_and_query("T002-RQA-310");
            EXPECT_GE(until([&] { return reported(from).count("T002-RQA-310") == 1; }, 15), 0) << "no device reported";
        }
    }
}

// A server that forgets the link while the start-up registers (it restarted) answers every
// registration as from an unknown link: the start-up connects again instead of registering in vain.
TEST_F(ConmonLoss, AStartUpWhoseLinkTheServerForgotConnectsAgain)
{
    wfa_conmon_set_port(tn_conmon_server_get_port(server));
    wfa_set_pause_hook(pause_hook, this);
    uint16_t id = 0;
    ASSERT_EQ(wfa_start(recorder::callback, &results, &id), ERR_NOERR);
    on_worker([] { return 0u; });
    tn_conmon_server_process(server); // the Connect answered
    tn_conmon_server_forget_clients(server);
    settle();
    EXPECT_GE(until(ready, 20), 0) << "never ready";
    EXPECT_EQ(tn_conmon_server_request_count(server, TN_CONMON_OP_CONNECT), 2u);
    EXPECT_TRUE(tn_conmon_server_is_subscribed(server, 2, nullptr));
}

// Browsing asked for while the link to the local server is still being made (its first three
// Connects lost, then three Subscribes) waits for the whole start-up, although it takes more than
// the 30 s a start-up that gets no answer is waited for: it is not refused, and browsing starts.
TEST_F(ConmonLoss, BrowsingAskedWhileTheLinkIsBeingMadeWaitsForAStartUpThatGetsThrough)
{
    tn_conmon_server_lose(server, TN_CONMON_LOSE_IN, TN_CONMON_OP_CONNECT, 3);
    tn_conmon_server_lose(server, TN_CONMON_LOSE_IN, TN_CONMON_OP_SUBSCRIBE, 3);
    ASSERT_NO_FATAL_FAILURE(start());
    const uint8_t forever[2] = {0xFF, 0xFF};
    uint16_t id = 0;
    ASSERT_EQ(wfa_request(1, forever, &id), ERR_NOERR);
    settle();
    const int took = until(ready, 90);
    EXPECT_GT(took, 30);
    settle();
    clock.advance(1);
    settle();
    EXPECT_EQ(count_code(WFA_CBACK_INF_DEVICE_LIST), 0u) << "refused";
}

// ---- the life of a question ----------------------------------------------------------------------

const uint16_t k_answers[WFA_QUESTIONS] = {WFA_CBACK_INF_GET_FS, WFA_CBACK_INF_GET_PMAS, WFA_CBACK_INF_DEVICE_LOCK,
                                           WFA_CBACK_INF_AES67_STATUS};

// A question put to a device that is being queried (not ready yet) is taken, and asked once the
// query is through. A query of a device ends none of its questions: they wait for it and are asked
// anew once it is ready, without a new report or a new asking by the class layer.
TEST_F(ConmonLoss, AQuestionWaitsForItsDeviceAndAQueryPutsItAgain)
{
    const char *name = "T002-RQA-310";
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_GE(until(ready, 10), 0);
    tn_conmon_server_device(server, name)->silent = true; // the query cannot end yet
    add_and_query(name);
    settle();
    EXPECT_EQ(ask(name, WFA_QUESTION_LOCK), 0u) << "taken although the device is not ready";
    clock.advance(1);
    settle();
    EXPECT_EQ(questions_to(name), 0u) << "not asked before the device is ready";
    tn_conmon_server_device(server, name)->silent = false;
    ASSERT_GE(until([&] { return reported().count(name) == 1; }, 15), 0);
    EXPECT_EQ(answered(WFA_CBACK_INF_DEVICE_LOCK).count(name), 1u) << "asked and answered once ready";

    // Unanswered questions, then a query of the device (a restarted device is queried so): none
    // is asked while the query runs, each is asked again once it is through, and answered.
    tn_conmon_server_device(server, name)->silent = true;
    for (uint32_t q : {WFA_QUESTION_SAMPLE_RATE, WFA_QUESTION_AES67}) {
        EXPECT_EQ(ask(name, q), 0u);
    }
    ASSERT_GE(until([&] { return questions_to(name) >= 3; }, 5), 0);
    EXPECT_EQ(on_worker([=] { return wfa_conmon_query(name); }), 0u);
    settle();
    const unsigned before = questions_to(name);
    clock.advance(5);
    settle();
    EXPECT_EQ(questions_to(name), before) << "asked while the device is queried";
    const size_t from = results.results().size();
    tn_conmon_server_device(server, name)->silent = false;
    ASSERT_GE(until([&] { return answered(WFA_CBACK_INF_DEVICE, from).count(name) == 1; }, 15), 0);
    EXPECT_GE(until([&] {
                  return answered(WFA_CBACK_INF_GET_FS, from).count(name) == 1 &&
                         answered(WFA_CBACK_INF_AES67_STATUS, from).count(name) == 1;
              },
                    5),
              0)
        << "put again by the query, without a new asking";
    EXPECT_EQ(on_worker([] { return static_cast<uint32_t>(wfa_conmon_question_count()); }), 0u);
}

// A question does not wait behind the slots kept for the queries and the commands: with 16 of the
// 24 request slots waiting for the server's answers (the queries together never hold more), a
// question just put is sent at once, and asked again 3 s later.
TEST_F(ConmonLoss, AQuestionNeverWaitsForRoomAndQueriesLeaveSome)
{
    std::vector<std::string> names;
    for (unsigned unit = 3; unit < 3 + 20; unit++) {
        char name[32];
        std::snprintf(name, sizeof name, "T%03X-RQA-310", unit);
        tn_conmon_device d;
        tn_conmon_device_defaults(&d, name, "RQA-310", unit);
        d.silent = true; // its query stays at its first step
        ASSERT_EQ(tn_conmon_server_add_device(server, &d), 0);
        names.push_back(name);
    }
    const char *asked = "T002-RQA-310";
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_GE(until(ready, 10), 0);
    add_and_query(asked);
    ASSERT_GE(until([&] { return reported().count(asked) == 1; }, 10), 0);
    tn_conmon_server_device(server, asked)->silent = true; // its question goes unanswered
    // From now on the server answers no Send Message: every query step holds its slot for the
    // client's 5 s (the devices queried answer nothing either).
    tn_conmon_server_set_unanswered(server, TN_CONMON_OP_SEND_MESSAGE, true);
    const unsigned sent = tn_conmon_server_request_count(server, TN_CONMON_OP_SEND_MESSAGE);
    for (const std::string &n : names) {
        add_and_query(n);
    }
    settle();
    EXPECT_EQ(tn_conmon_server_request_count(server, TN_CONMON_OP_SEND_MESSAGE), sent + 16)
        << "20 queries hold 16 slots";
    const unsigned before = questions_to(asked);
    EXPECT_EQ(ask(asked, WFA_QUESTION_LOCK), 0u);
    settle();
    EXPECT_EQ(questions_to(asked), before + 1) << "the first asking went at once";
    clock.advance(2);
    settle();
    EXPECT_EQ(questions_to(asked), before + 1);
    clock.advance(1);
    settle();
    EXPECT_EQ(questions_to(asked), before + 2) << "asked again although the table holds no room";
}

// ---- the largest installation behind a lossy link -----------------------------------------------

// 101 devices behind a local link that loses a fifth of its datagrams each way, for ten seeds of
// the loss: the start-up gets through (and a stop and start, as an interface change makes, gets
// through again), every device is reported, and every question the class layer puts to a device
// reported (its four properties) is answered, within 180 s of the devices being found. The
// simulated times of each seed are printed.
TEST_F(ConmonLoss, TheLargestInstallationBehindATwentyPercentLossIsReportedAndAnswered)
{
    for (uint64_t seed = 1; seed <= 10; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        TearDown();
        SetUp();
        const std::vector<std::string> names = largest_installation();
        tn_conmon_server_set_impairment(server, 20, 0, 0, seed);
        ASSERT_NO_FATAL_FAILURE(start());
        const int first = until(ready, 180);
        ASSERT_GE(first, 0) << "never ready";
        on_worker([] {
            wfa_conmon_stop();
            return wfa_conmon_start();
        });
        settle();
        const int again = until(ready, 180);
        ASSERT_GE(again, 0) << "never ready after the stop and start";
        const size_t from = results.results().size();
        for (const std::string &n : names) {
            add_and_query(n);
        }
        settle();
        // As the class layer does: the four questions of each device reported.
        std::set<std::string> asked;
        size_t seen = from;
        auto ask_reported = [&] {
            const std::vector<result> all = results.results();
            for (; seen < all.size(); seen++) {
                if (all[seen].code != WFA_CBACK_INF_DEVICE) {
                    continue;
                }
                const std::string name(reinterpret_cast<const char *>(all[seen].payload.data()),
                                       strnlen(reinterpret_cast<const char *>(all[seen].payload.data()), 32));
                if (asked.insert(name).second) {
                    for (uint32_t q = 0; q < WFA_QUESTIONS; q++) {
                        EXPECT_EQ(ask(name.c_str(), q), 0u) << name;
                    }
                }
            }
        };
        int last_reported = -1;
        auto all_answered = [&] {
            ask_reported();
            if (asked.size() < names.size()) {
                return false;
            }
            for (uint16_t code : k_answers) {
                if (answered(code, from).size() < names.size()) {
                    return false;
                }
            }
            return true;
        };
        int took = 0;
        for (; took <= 180 && !all_answered(); took++) {
            if (last_reported < 0 && asked.size() == names.size()) {
                last_reported = took;
            }
            clock.advance(1);
            settle();
        }
        EXPECT_LE(took, 180) << asked.size() << " reported, " << answered(WFA_CBACK_INF_DEVICE_LOCK, from).size()
                             << " lock states";
        std::printf("seed %u: ready after %d s, again after the stop and start after %d s; every device reported "
                    "%d s and every answer in %d s after the devices were found\n",
                    unsigned(seed), first, again, last_reported, took);
    }
}

// ---- a server that restarts, forgets or refuses the link ----------------------------------------

std::vector<uint8_t> status_body(uint16_t type, std::vector<uint8_t> rest)
{
    std::vector<uint8_t> body = {0x07, 0x26, static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), 0, 0, 0, 0};
    for (uint8_t b : rest)
        body.push_back(b);
    return body;
}

class ConmonRelink : public ConmonLoss {
protected:
    // The PC's service restarts: the driver learns it from a preferred-master setting to `name`
    // that the server answers as from a link it does not know, and makes the link again.
    void restart_server(const char *name)
    {
        ASSERT_EQ(tn_conmon_server_restart(server, 0), 0);
        wfa_pmas_answer answer{};
        answer.size = 33;
        std::strncpy(reinterpret_cast<char *>(answer.record), name, 32);
        EXPECT_EQ(on_worker([&] { return wfa_conmon_set_pmas(name, 1, &answer); }), 0u);
        settle();
    }
    bool linked() { return ready() && tn_conmon_server_is_subscribed(server, 2, nullptr); }
    // How many results of `code` name `device` after the first `from`.
    size_t results_for(uint16_t code, const std::string &device, size_t from)
    {
        size_t n = 0;
        const std::vector<result> all = results.results();
        for (size_t i = from; i < all.size(); i++) {
            n += all[i].code == code &&
                 device == std::string(reinterpret_cast<const char *>(all[i].payload.data()),
                                       strnlen(reinterpret_cast<const char *>(all[i].payload.data()), 32));
        }
        return n;
    }
    void send_status(const std::string &name, const std::vector<uint8_t> &body)
    {
        ASSERT_EQ(tn_conmon_server_send_status(server, name.c_str(), body.data(), body.size()), 0);
    }
};

// A device reported before the server restarted is heard as before once the link is made again:
// each of its status messages is reported, once.
TEST_F(ConmonRelink, AfterTheServerRestartsADeviceReportedBeforeIsHeardAgain)
{
    const char *name = "T001-KTV4-S";
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_GE(until(ready, 10), 0);
    add_and_query(name);
    ASSERT_GE(until([&] { return reported().count(name) == 1; }, 10), 0);
    restart_server(name);
    ASSERT_GE(until([&] { return linked(); }, 30), 0) << "the link is never made again";
    std::vector<uint8_t> bitmap(34, 0);
    bitmap[1] = 4; // byte count
    bitmap[2] = 0x81;
    const struct {
        const char *what;
        std::vector<uint8_t> body;
        uint16_t code;
    } rows[] = {
        {"lock status", status_body(0x1009, {1}), WFA_CBACK_INF_DEVICE_LOCK},
        {"receive-channel change", status_body(0x102, bitmap), WFA_CBACK_INF_RX_CH_PATCH_CHANGE},
        {"property change", status_body(0x106, {0, 0, 0, 0}), WFA_CBACK_INF_PROPERTY_CHANGE},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        const size_t from = results.size();
        send_status(name, row.body);
        settle();
        EXPECT_EQ(results_for(row.code, name, from), 1u);
    }
}

// The same for the largest installation: once the restarted server holds the driver's
// subscription to every device again, each device's status message is reported.
TEST_F(ConmonRelink, AfterTheServerRestartsEveryDeviceOfTheLargestInstallationIsHeardAgain)
{
    const std::vector<std::string> names = largest_installation();
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_GE(until(ready, 10), 0);
    for (const std::string &n : names)
        add_and_query(n);
    ASSERT_GE(until([&] { return reported().size() == names.size(); }, 60), 0);
    restart_server(names[0].c_str());
    ASSERT_GE(until([&] { return linked(); }, 30), 0) << "the link is never made again";
    auto all_subscribed = [&] {
        for (const std::string &n : names)
            if (!tn_conmon_server_is_subscribed(server, 6, n.c_str()))
                return false;
        return true;
    };
    EXPECT_GE(until(all_subscribed, 30), 0) << "not every device is subscribed again";
    const size_t from = results.size();
    for (const std::string &n : names)
        send_status(n, status_body(0x1009, {1}));
    settle();
    EXPECT_EQ(answered(WFA_CBACK_INF_DEVICE_LOCK, from).size(), names.size());
}

// A device that left the table and came back finds its subscription record in the client still:
// once it is reported again nothing subscribes it any more.
TEST_F(ConmonRelink, ADeviceBackInTheTableIsNotSubscribedOverAndOver)
{
    const char *name = "T002-RQA-310";
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_GE(until(ready, 10), 0);
    add_and_query(name);
    ASSERT_GE(until([&] { return reported().count(name) == 1; }, 10), 0);
    EXPECT_EQ(on_worker([=] { return wfa_device_remove(name); }), 0u);
    const size_t from = results.size();
    add_and_query(name);
    ASSERT_GE(until([&] { return results_for(WFA_CBACK_INF_DEVICE, name, from) == 1; }, 10), 0);
    settle();
    const unsigned subscribes = tn_conmon_server_request_count(server, TN_CONMON_OP_SUBSCRIBE);
    until([] { return false; }, 10);
    EXPECT_EQ(tn_conmon_server_request_count(server, TN_CONMON_OP_SUBSCRIBE), subscribes);
}

// A reset of the link frees every request slot without its callback, also the one a question holds
// through its pause; the new start-up's first registration takes that slot again (the table hands
// its slots out in turn). Lost, the registration's time-out is its own: the driver subscribes (and
// becomes ready) only once the server has confirmed every registration.
TEST_F(ConmonRelink, ARegistrationLostAfterAResetIsNeverTakenForConfirmed)
{
    const char *name = "T002-RQA-310";
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_GE(until(ready, 10), 0);
    add_and_query(name);
    ASSERT_GE(until([&] { return reported().count(name) == 1; }, 10), 0);
    // Unanswered, a question is asked at 0, 3, ... 27, 30, 35 and 44 s; it then waits 16 s.
    tn_conmon_server_device(server, name)->silent = true;
    tn_conmon_server_set_unanswered(server, TN_CONMON_OP_SEND_MESSAGE, true);
    EXPECT_EQ(ask(name, WFA_QUESTION_LOCK), 0u);
    until([] { return false; }, 43);
    ASSERT_EQ(questions_to(name), 13u);
    // 22 settings answered at once, then the one the restarted server refuses, take every other
    // slot in turn: the next slot handed out is the question's.
    tn_conmon_server_set_unanswered(server, TN_CONMON_OP_SEND_MESSAGE, false);
    EXPECT_EQ(on_worker([&] {
                  wfa_pmas_answer answer{};
                  answer.size = 33;
                  std::strncpy(reinterpret_cast<char *>(answer.record), name, 32);
                  uint32_t r = 0;
                  for (int i = 0; i < 22 && r == 0; i++)
                      r = wfa_conmon_set_pmas(name, 1, &answer);
                  return r;
              }),
              0u);
    settle();
    tn_conmon_server_lose(server, TN_CONMON_LOSE_IN, TN_CONMON_OP_REGISTER, 6);
    restart_server(name);
    ASSERT_GE(until([&] { return tn_conmon_server_is_subscribed(server, 2, nullptr); }, 40), 0)
        << "never subscribed again";
    const uint16_t registrations[6][2] = {{0, 1}, {2, 0}, {2, 1}, {3, 0}, {3, 1}, {4, 0}};
    for (const auto &r : registrations)
        EXPECT_TRUE(tn_conmon_server_is_registered(server, r[0], r[1])) << r[0] << "/" << r[1];
}

// A server that accepts every Connect and then answers as if it did not know the link is connected
// again after the same pause as one that refuses the Connect, never faster; browsing asked
// meanwhile is refused at once, as for a server that is not there. (Such a server never falls
// silent, and a pause takes no time here: the worker and the server take turns a fixed number of
// times.)
TEST_F(ConmonRelink, AServerThatRefusesEverythingAfterTheConnectSeesOneConnectPerPause)
{
    tn_conmon_server_refuse(server, TN_CONMON_OP_REGISTER, 11);
    wfa_conmon_set_port(tn_conmon_server_get_port(server));
    wfa_set_pause_hook(pause_hook, this);
    uint16_t id = 0;
    ASSERT_EQ(wfa_start(recorder::callback, &results, &id), ERR_NOERR);
    const uint8_t forever[2] = {0xFF, 0xFF};
    ASSERT_EQ(wfa_request(1, forever, &id), ERR_NOERR);
    for (int round = 0; round < 300; round++) {
        on_worker([] { return 0u; });
        on_worker([] { return 0u; });
        tn_conmon_server_process(server);
    }
    // Read after the Connects: a Connect counted was paused for before.
    const unsigned connects = tn_conmon_server_request_count(server, TN_CONMON_OP_CONNECT);
    const unsigned paused = pauses;
    EXPECT_GE(paused, 5u);
    EXPECT_LE(connects, paused + 1) << connects << " Connects, " << paused << " pauses";
    EXPECT_EQ(count_code(WFA_CBACK_INF_DEVICE_LIST), 1u) << "the browse still waits";
    EXPECT_FALSE(ready());
}

// While the link is made again the driver is as at its first start-up: not ready; a query under way
// sends nothing and its time runs only once the link is back, so that its device, answering by
// then, is reported; browsing asked meanwhile waits for the link and starts.
TEST_F(ConmonRelink, WhileTheLinkIsMadeAgainTheDriverIsAsAtItsFirstStartUp)
{
    const char *ready_device = "T002-RQA-310";
    const char *queried = "T001-KTV4-S";
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_GE(until(ready, 10), 0);
    add_and_query(ready_device);
    ASSERT_GE(until([&] { return reported().count(ready_device) == 1; }, 10), 0);
    tn_conmon_server_device(server, queried)->silent = true;
    add_and_query(queried);
    clock.advance(8);
    settle();
    tn_conmon_server_set_unanswered(server, TN_CONMON_OP_REGISTER, true);
    restart_server(ready_device);
    EXPECT_FALSE(ready()) << "ready while the link is being made";
    const unsigned sent = tn_conmon_server_request_count(server, TN_CONMON_OP_SEND_MESSAGE);
    until([] { return false; }, 15);
    EXPECT_EQ(tn_conmon_server_request_count(server, TN_CONMON_OP_SEND_MESSAGE), sent) << "a query sent meanwhile";
    EXPECT_FALSE(ready());
    tn_conmon_server_device(server, queried)->silent = false;
    tn_conmon_server_set_unanswered(server, TN_CONMON_OP_REGISTER, false);
    const int took = until([&] { return reported().count(queried) == 1; }, 60);
    EXPECT_GE(took, 0) << "never reported";
    EXPECT_LE(took, 15) << "given up for the time the link was away";

    tn_conmon_server_set_unanswered(server, TN_CONMON_OP_REGISTER, true);
    restart_server(ready_device);
    const uint8_t forever[2] = {0xFF, 0xFF};
    uint16_t id = 0;
    ASSERT_EQ(wfa_request(1, forever, &id), ERR_NOERR);
    settle();
    clock.advance(3);
    settle();
    EXPECT_EQ(count_code(WFA_CBACK_INF_DEVICE_LIST), 0u) << "refused while the link is being made";
    tn_conmon_server_set_unanswered(server, TN_CONMON_OP_REGISTER, false);
    ASSERT_GE(until([&] { return linked(); }, 20), 0);
    settle();
    EXPECT_EQ(count_code(WFA_CBACK_INF_DEVICE_LIST), 0u) << "browsing refused once the link was back";
}

// A server that goes away while the start-up registers (its port refuses) ends a browse that
// waits for the start-up at once, as a refused Connect does; the start-up connects again.
TEST_F(ConmonRelink, AServerGoneWhileTheStartUpRegistersEndsTheBrowseWaitAtOnce)
{
    tn_conmon_server_set_unanswered(server, TN_CONMON_OP_REGISTER, true);
    ASSERT_NO_FATAL_FAILURE(start());
    const uint8_t forever[2] = {0xFF, 0xFF};
    uint16_t id = 0;
    ASSERT_EQ(wfa_request(1, forever, &id), ERR_NOERR);
    settle();
    EXPECT_EQ(count_code(WFA_CBACK_INF_DEVICE_LIST), 0u);
    ASSERT_EQ(tn_conmon_server_restart(server, 600000), 0);
    // The refusal shows when the unanswered registrations are sent again, after 6 s, and the
    // start-up pauses 5 s before it connects again. (The worker pauses at every try of a server
    // that is not there: it never falls silent, so the two take turns a second at a time.)
    const qnb_timeval gone = clock.now();
    result answer{};
    for (int round = 0; round < 120 && !answer.code; round++) {
        clock.advance(1);
        on_worker([] { return 0u; });
        on_worker([] { return 0u; });
        tn_conmon_server_process(server);
        for (const result &r : results.results())
            if (r.code == WFA_CBACK_INF_DEVICE_LIST)
                answer = r;
    }
    ASSERT_EQ(answer.code, WFA_CBACK_INF_DEVICE_LIST) << "the browse still waits";
    EXPECT_LE(answer.at.tv_sec - gone.tv_sec, 12) << "waited for the start-up of a server that is not there";
}

// A server gone while the link is up is noticed by the send that its port refuses, as by a read:
// the driver makes the link again.
TEST_F(ConmonRelink, AServerGoneWhileTheLinkIsUpIsNoticedByASend)
{
    const char *name = "T001-KTV4-S";
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_GE(until(ready, 10), 0);
    add_and_query(name);
    ASSERT_GE(until([&] { return reported().count(name) == 1; }, 10), 0);
    ASSERT_EQ(tn_conmon_server_restart(server, 600000), 0);
    // Settings until one's send reports the refusal that the datagrams before it drew.
    EXPECT_EQ(on_worker([&] {
                  for (int i = 0; i < 2000; i++) {
                      uint32_t r = wfa_conmon_set_pmas(name, 1);
                      if (r == WFA_E_SEND_FAILED && !wfa_conmon_send_table_full())
                          return r;
                      std::this_thread::sleep_for(std::chrono::milliseconds(1));
                  }
                  return 0u;
              }),
              WFA_E_SEND_FAILED);
    settle();
    EXPECT_FALSE(ready()) << "the link is taken for up";
}

// A command to a reported device while the largest installation is being queried behind a local
// link that loses a fifth of its datagrams each way is sent: it is answered, or fails with its own
// error, never for want of a free request slot.
TEST_F(ConmonRelink, ACommandWhileTheLargestInstallationIsQueriedBehindALossyLinkFindsRoom)
{
    const std::vector<std::string> names = largest_installation();
    tn_conmon_server_set_impairment(server, 20, 0, 0, 3);
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_GE(until(ready, 180), 0);
    for (const std::string &n : names)
        add_and_query(n);
    settle();
    const uint16_t no_room = wfa_proc_status(18, WFA_E_SEND_FAILED);
    size_t commands = 0;
    for (int s = 0; s < 120 && reported().size() < names.size(); s++) {
        const std::set<std::string> now = reported();
        if (!now.empty()) {
            std::vector<uint8_t> params(33, 0);
            std::memcpy(params.data(), now.begin()->c_str(), now.begin()->size());
            params[32] = 0;
            uint16_t id = static_cast<uint16_t>(0x100 + s);
            ASSERT_EQ(wfa_request(18, params.data(), &id), ERR_NOERR);
            commands++;
        }
        clock.advance(1);
        settle();
    }
    until([] { return false; }, 8);
    size_t answers = 0, without_room = 0;
    for (const result &r : results.results()) {
        if (r.code == WFA_CBACK_INF_SET_PMAS) {
            answers++;
            without_room += r.status == no_room;
        }
    }
    std::printf("%zu preferred-master commands, %zu answered, %zu without room\n", commands, answers, without_room);
    EXPECT_GE(commands, 10u);
    EXPECT_EQ(answers, commands);
    EXPECT_EQ(without_room, 0u);
}

} // namespace
