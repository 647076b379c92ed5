#include "netaudio/discovery/wt_dnssd_host.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "netaudio/discovery/wt_dnssd.h"
#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_loop.h"
#include "tests/support/dnssd_fake.h"

namespace {

const char k_host[] = "ktv4-unit.local.";

uint32_t ip(const char *text)
{
    return inet_addr(text);
}

std::string rdata(const char *text)
{
    uint32_t a = ip(text);
    return std::string(reinterpret_cast<const char *>(&a), 4);
}

struct heard {
    std::string address;
    bool added;
};

class HostRecords : public ::testing::Test {
protected:
    qnb_env env{};
    wt_dnssd_host *host = nullptr;
    std::vector<unsigned> done;
    std::vector<heard> listened;
    bool release_in_done = false;
    bool release_in_listener = false;

    void SetUp() override
    {
        dnssd_fake::reset();
        ASSERT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_new(&env.event_loop, nullptr, nullptr, 0, 0));
    }
    void TearDown() override
    {
        wt_dnssd_host_release(host);
        EXPECT_EQ(0u, dnssd_fake::live_references());
        EXPECT_EQ(0u, qnb_event_loop_socket_count(env.event_loop, 0));
        EXPECT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_destroy(env.event_loop));
    }

    static void on_done(wt_dnssd_host *h, unsigned changes, void *context)
    {
        HostRecords *self = static_cast<HostRecords *>(context);
        self->done.push_back(changes);
        if (self->release_in_done) {
            wt_dnssd_host_release(h);
            self->host = nullptr;
            // Deferred: the record is still whole inside its callback.
            EXPECT_STREQ(k_host, wt_dnssd_host_get_name(h));
        }
    }

    static void on_address(wt_dnssd_host *h, const wt_dnssd_host_addr *a, bool added, void *context)
    {
        HostRecords *self = static_cast<HostRecords *>(context);
        char text[QNB_SOCKADDR_TEXT_SIZE];
        qnb_sockaddr_to_host_text(wt_dnssd_host_addr_get(a), text, sizeof text);
        self->listened.push_back({text, added});
        if (self->release_in_listener && self->host) {
            self->host = nullptr;
            wt_dnssd_host_release(h);
        }
    }

    void make()
    {
        ASSERT_EQ(QNB_ERR_SUCCESS, wt_dnssd_host_new(&env, k_host, on_done, this, &host));
        ASSERT_EQ(QNB_ERR_SUCCESS, wt_dnssd_host_add_listener(host, on_address, this, nullptr));
    }

    void reply(uint32_t flags, uint32_t interface_index, const char *address)
    {
        ASSERT_EQ(1, dnssd_fake::query_reply(k_host, flags, interface_index, 0, WT_DNSSD_TYPE_A, rdata(address)));
    }

    void pump()
    {
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_run_once(env.event_loop, 0, nullptr));
    }
};

const uint32_t ADD = WT_DNSSD_FLAG_ADD;
const uint32_t MORE = WT_DNSSD_FLAG_MORE_COMING;

TEST_F(HostRecords, AddressesPerInterfaceWithOneDonePerBatch)
{
    make();
    EXPECT_EQ(1u, dnssd_fake::live_queries());
    EXPECT_EQ(0u, dnssd_fake::last_query_flags()); // the backend refuses any flag
    EXPECT_EQ(1u, qnb_event_loop_socket_count(env.event_loop, 0));

    // A batch of two adds: one done notification after the reply without "more coming".
    reply(ADD | MORE, 2, "10.0.0.1");
    reply(ADD, 2, "10.0.0.2");
    pump();
    EXPECT_EQ((std::vector<unsigned>{WT_DNSSD_HOST_ADDRESS_ADDED}), done);
    ASSERT_EQ(2u, wt_dnssd_host_get_count(host));
    EXPECT_EQ(ip("10.0.0.2"), wt_dnssd_host_addr_get(wt_dnssd_host_first(host))->sin.sin_addr.s_addr);

    // The same address on a second interface (indexes of 32 and more exist): one entry, two interfaces.
    reply(ADD, 70, "10.0.0.1");
    reply(ADD, 70, "10.0.0.1"); // repeated: nothing changes
    pump();
    const wt_dnssd_host_addr *a = wt_dnssd_host_find(host, ip("10.0.0.1"));
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(2u, wt_dnssd_host_addr_interface_count(a));
    EXPECT_TRUE(wt_dnssd_host_addr_on_interface(a, 70));
    EXPECT_FALSE(wt_dnssd_host_addr_on_interface(a, 70 % 32));
    EXPECT_EQ((std::vector<unsigned>{2, 2}), done);

    // Removed on one interface it stays with the other; removed on both it goes.
    reply(0, 2, "10.0.0.1");
    pump();
    ASSERT_NE(nullptr, wt_dnssd_host_find(host, ip("10.0.0.1")));
    EXPECT_EQ(1u, wt_dnssd_host_addr_interface_count(wt_dnssd_host_find(host, ip("10.0.0.1"))));
    reply(0, 9, "10.0.0.1"); // not on that interface
    reply(0, 2, "10.0.0.9"); // not an address of the host
    pump();
    reply(0, 70, "10.0.0.1");
    pump();
    EXPECT_EQ(nullptr, wt_dnssd_host_find(host, ip("10.0.0.1")));
    EXPECT_EQ(1u, wt_dnssd_host_get_count(host));
    EXPECT_EQ((std::vector<unsigned>{2, 2, 1, 1}), done);
    ASSERT_EQ(3u, listened.size());
    EXPECT_EQ("10.0.0.1", listened[2].address);
    EXPECT_FALSE(listened[2].added);
}

TEST_F(HostRecords, MalformedAndFailedRepliesChangeNothing)
{
    make();
    struct row {
        const char *what;
        int32_t error;
        uint16_t rrtype;
        std::string data;
    } rows[] = {
        {"DNS-SD error", -65537, WT_DNSSD_TYPE_A, rdata("10.0.0.1")},
        {"AAAA record", 0, 28, std::string(16, '\1')},
        {"short A record", 0, WT_DNSSD_TYPE_A, std::string(3, '\1')},
        {"long A record", 0, WT_DNSSD_TYPE_A, std::string(5, '\1')},
        {"empty", 0, WT_DNSSD_TYPE_A, std::string()},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        ASSERT_EQ(1, dnssd_fake::query_reply(k_host, ADD, 2, r.error, r.rrtype, r.data));
        pump();
        EXPECT_EQ(0u, wt_dnssd_host_get_count(host));
    }
    EXPECT_TRUE(done.empty());
    EXPECT_TRUE(listened.empty());

    // A reference that cannot be processed is no longer watched (its descriptor stays readable).
    dnssd_fake::fail_next_process(-65537);
    reply(ADD, 2, "10.0.0.1");
    pump();
    EXPECT_EQ(0u, qnb_event_loop_socket_count(env.event_loop, 0));
}

TEST_F(HostRecords, CreationIsRefusedWithoutLoopNameOrQuery)
{
    wt_dnssd_host *h = nullptr;
    qnb_env bare{};
    EXPECT_EQ(QNB_ERR_NOTSUPPORTED, wt_dnssd_host_new(&bare, k_host, on_done, this, &h));
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, wt_dnssd_host_new(&env, "", on_done, this, &h));
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, wt_dnssd_host_new(&env, nullptr, on_done, this, &h));
    dnssd_fake::fail_next_query(-65537);
    EXPECT_EQ(QNB_ERR_DNSSDFAIL, wt_dnssd_host_new(&env, k_host, on_done, this, &h));
    EXPECT_EQ(0u, dnssd_fake::live_references());
    wt_dnssd_handler none{};
    EXPECT_EQ(QNB_ERR_INVALIDSTATE, wt_dnssd_remove_handler(&none));
}

TEST_F(HostRecords, ReleaseInsideTheDoneCallbackWaitsForItsEnd)
{
    make();
    release_in_done = true;
    reply(ADD, 2, "10.0.0.1");
    pump();
    EXPECT_EQ(1u, done.size());
    EXPECT_EQ(nullptr, host);
    // The record, its address and its reference are gone; the listener heard the removal.
    EXPECT_EQ(0u, dnssd_fake::live_references());
    ASSERT_EQ(2u, listened.size());
    EXPECT_FALSE(listened[1].added);
}

TEST_F(HostRecords, ReleaseFromAListenerInsideABatch)
{
    make();
    release_in_listener = true;
    reply(ADD | MORE, 2, "10.0.0.1");
    reply(ADD, 2, "10.0.0.2");
    pump();
    EXPECT_EQ(nullptr, host);
    EXPECT_EQ(0u, dnssd_fake::live_references());
    EXPECT_TRUE(done.empty()); // the batch ended with the record
}

TEST_F(HostRecords, SurplusReleaseOfAnAddressInItsListKeepsIt)
{
    make();
    reply(ADD, 2, "10.0.0.1");
    pump();
    wt_dnssd_host_addr *a = const_cast<wt_dnssd_host_addr *>(wt_dnssd_host_first(host));
    wt_dnssd_host_addr_release(a);
    ASSERT_EQ(a, wt_dnssd_host_first(host));
    EXPECT_EQ(1u, wt_dnssd_host_addr_interface_count(a));
    wt_dnssd_host_listener *second = nullptr;
    ASSERT_EQ(QNB_ERR_SUCCESS, wt_dnssd_host_add_listener(host, on_address, this, &second));
    ASSERT_EQ(QNB_ERR_SUCCESS, wt_dnssd_host_remove_listener(host, second));
    EXPECT_EQ(QNB_ERR_NOTFOUND, wt_dnssd_host_remove_listener(host, second));
}

TEST_F(HostRecords, SharedRecordKeepsItsDoneNotificationInTheConnectionTable)
{
    wt_dnssd_handler_table table;
    wt_dnssd_handler_table_init(&table);
    ASSERT_EQ(QNB_ERR_SUCCESS, wt_dnssd_host_new_shared(&env, &table, k_host, on_done, this, &host));
    ASSERT_EQ(QNB_ERR_SUCCESS, wt_dnssd_host_add_listener(host, on_address, this, nullptr));
    // The connection's owner watches the descriptor, not the record.
    EXPECT_EQ(0u, qnb_event_loop_socket_count(env.event_loop, 0));

    reply(ADD | MORE, 2, "10.0.0.1");
    reply(ADD, 2, "10.0.0.2");
    ASSERT_EQ(QNB_ERR_SUCCESS, wt_dnssd_host_process(host));
    EXPECT_EQ((std::vector<unsigned>{WT_DNSSD_HOST_ADDRESS_ADDED}), done);
    EXPECT_EQ(2u, wt_dnssd_host_get_count(host));
    EXPECT_EQ(0u, wt_dnssd_handler_table_count(&table));

    // Released inside its done notification: the table keeps nothing of it.
    release_in_done = true;
    reply(0, 2, "10.0.0.1");
    ASSERT_EQ(QNB_ERR_SUCCESS, wt_dnssd_host_process(host));
    EXPECT_EQ(nullptr, host);
    EXPECT_EQ(2u, done.size());
    EXPECT_EQ(0u, wt_dnssd_handler_table_count(&table));
    EXPECT_EQ(0u, wt_dnssd_handler_table_blocks(&table, 0) + wt_dnssd_handler_table_blocks(&table, 1));
    wt_dnssd_handler_table_close(&table);

    wt_dnssd_host *own = nullptr;
    ASSERT_EQ(QNB_ERR_SUCCESS, wt_dnssd_host_new(&env, k_host, on_done, this, &own));
    EXPECT_EQ(QNB_ERR_INVALIDSTATE, wt_dnssd_host_process(own));
    wt_dnssd_host_release(own);
}

// ---- the handler table of a shared connection ----

class HandlerTable : public ::testing::Test {
protected:
    qnb_env env{};
    wt_dnssd_handler_table table{};
    wt_dnssd_handler a{}, b{};
    int contexts[80] = {};
    std::vector<int> ran;
    // What a callback does when it runs (index of its context).
    std::function<void(int)> inside;

    void SetUp() override
    {
        wt_dnssd_handler_table_init(&table);
        for (wt_dnssd_handler *h : {&a, &b}) {
            h->env = &env;
            h->shared = true;
            h->table = &table;
        }
    }
    void TearDown() override
    {
        wt_dnssd_handler_table_fail_blocks_for_tests(0);
        wt_dnssd_handler_table_close(&table);
    }

    static void callback(void *context);
    int add(wt_dnssd_handler *h, int i)
    {
        return wt_dnssd_handler_add_callback(h, callback, &contexts[i]);
    }
    int remove(wt_dnssd_handler *h, int i)
    {
        return wt_dnssd_handler_remove_callback(h, callback, &contexts[i]);
    }
    unsigned blocks() const
    {
        return wt_dnssd_handler_table_blocks(&table, 0) + wt_dnssd_handler_table_blocks(&table, 1);
    }
};

HandlerTable *g_table_test;

void HandlerTable::callback(void *context)
{
    int i = static_cast<int>(static_cast<int *>(context) - g_table_test->contexts);
    g_table_test->ran.push_back(i);
    if (g_table_test->inside)
        g_table_test->inside(i);
}

TEST_F(HandlerTable, BlocksGrowByThirtyTwoAndPairsAreRemovedExactly)
{
    for (int i = 0; i < 33; ++i)
        ASSERT_EQ(0, add(&a, i));
    EXPECT_EQ(0, add(&a, 0)); // the same pair again
    EXPECT_EQ(33u, wt_dnssd_handler_table_count(&table));
    EXPECT_EQ(2u, wt_dnssd_handler_table_blocks(&table, 0));

    EXPECT_EQ(0, remove(&a, 5));
    EXPECT_EQ(WT_DNSSD_TABLE_NOTFOUND, remove(&a, 5));
    EXPECT_EQ(WT_DNSSD_TABLE_NOTFOUND, remove(&b, 6)); // another handler's pair
    ASSERT_EQ(0, add(&b, 40));                          // takes the free entry of the first block
    EXPECT_EQ(2u, blocks());

    // Clearing one handler leaves the other's entries; emptied blocks go.
    EXPECT_EQ(0, clear_nodes_for_service(&a));
    EXPECT_EQ(1u, wt_dnssd_handler_table_count(&table));
    EXPECT_EQ(1u, blocks());
    EXPECT_EQ(0, clear_nodes_for_service(&a)); // nothing of it left, but the table is not empty
    EXPECT_EQ(0, clear_nodes_for_service(&b));
    EXPECT_EQ(0u, blocks());
    EXPECT_EQ(WT_DNSSD_TABLE_NOTFOUND, clear_nodes_for_service(&b));

    // No block for the 33rd entry: refused, the 32 stay; the next try gets its block.
    for (int i = 0; i < 32; ++i)
        ASSERT_EQ(0, add(&a, i));
    wt_dnssd_handler_table_fail_blocks_for_tests(1);
    EXPECT_EQ(WT_DNSSD_TABLE_NOMEMORY, add(&a, 32));
    EXPECT_EQ(32u, wt_dnssd_handler_table_count(&table));
    EXPECT_EQ(0, add(&a, 32));
    EXPECT_EQ(2u, blocks());

    // An unshared handler stores its one pair itself.
    wt_dnssd_handler own{};
    EXPECT_EQ(0, wt_dnssd_handler_add_callback(&own, callback, &contexts[1]));
    EXPECT_EQ(WT_DNSSD_TABLE_NOTFOUND, wt_dnssd_handler_remove_callback(&own, callback, &contexts[2]));
    EXPECT_EQ(0, wt_dnssd_handler_remove_callback(&own, callback, &contexts[1]));
    EXPECT_EQ(nullptr, own.callback);
    EXPECT_EQ(33u, wt_dnssd_handler_table_count(&table));
}

TEST_F(HandlerTable, WalkRunsEachPairOnceAndToleratesChangesInside)
{
    g_table_test = this;
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(0, add(&a, i));
    ASSERT_EQ(0, add(&b, 70));
    inside = [this](int i) {
        if (i == 3) {
            EXPECT_EQ(0, remove(&a, 4)); // not run: removed before its turn
        } else if (i == 10) {
            EXPECT_EQ(0, add(&a, 10)); // itself again: the next batch
        } else if (i == 35) {
            EXPECT_EQ(0, add(&a, 60)); // new: the next batch
        } else if (i == 36) {
            EXPECT_EQ(0, clear_nodes_for_service(&a)); // released: the rest does not run
            EXPECT_EQ(0, remove(&b, 70));
        }
    };
    wt_dnssd_handler_run_callbacks(&a);
    std::vector<int> expected;
    for (int i = 0; i <= 36; ++i)
        if (i != 4)
            expected.push_back(i);
    EXPECT_EQ(expected, ran);
    EXPECT_EQ(0u, wt_dnssd_handler_table_count(&table)); // cleared, the walk's additions with it
    EXPECT_EQ(0u, blocks());

    // Additions during a walk are joined to the first chain afterwards and run at the next batch.
    ran.clear();
    inside = [this](int i) {
        if (i == 1) {
            EXPECT_EQ(0, add(&a, 2));
        }
    };
    ASSERT_EQ(0, add(&a, 1));
    ASSERT_EQ(0, add(&b, 70));
    wt_dnssd_handler_run_callbacks(&a);
    EXPECT_EQ(std::vector<int>{1}, ran);
    EXPECT_EQ(1u, wt_dnssd_handler_table_blocks(&table, 0));
    EXPECT_EQ(0u, wt_dnssd_handler_table_blocks(&table, 1));
    wt_dnssd_handler_run_callbacks(&a);
    EXPECT_EQ((std::vector<int>{1, 2}), ran);
    EXPECT_EQ(1u, wt_dnssd_handler_table_count(&table)); // b's pair waits for b's batch
    wt_dnssd_handler_run_callbacks(&b);
    EXPECT_EQ((std::vector<int>{1, 2, 70}), ran);
    EXPECT_EQ(0u, blocks());
}

struct lookup_seen {
    int calls = 0;
    int state = 0;
    uint32_t address = 0;
    int32_t error = 0;
    bool delete_inside = true;
};

void on_lookup(wt_dnssd_lookup *l, void *context)
{
    lookup_seen *seen = static_cast<lookup_seen *>(context);
    seen->calls++;
    seen->state = wt_dnssd_lookup_get_state(l);
    seen->address = wt_dnssd_lookup_get_address(l);
    seen->error = wt_dnssd_lookup_get_error(l);
    if (seen->delete_inside)
        wt_dnssd_lookup_delete(l);
}

TEST_F(HostRecords, OneShotLookupEndsItsQueryInsideItsReply)
{
    struct row {
        const char *what;
        int32_t error;
        std::string data;
        int state;
        uint32_t address;
    } rows[] = {
        {"answered", 0, rdata("192.168.1.20"), WT_DNSSD_LOOKUP_DONE, ip("192.168.1.20")},
        {"error", -65554, std::string(), WT_DNSSD_LOOKUP_FAILED, 0},
        {"bad length", 0, std::string(6, '\1'), WT_DNSSD_LOOKUP_FAILED, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        lookup_seen seen;
        wt_dnssd_lookup *l = nullptr;
        ASSERT_EQ(QNB_ERR_SUCCESS, wt_dnssd_lookup_new(&env, k_host, 3, on_lookup, &seen, &l));
        EXPECT_EQ(WT_DNSSD_LOOKUP_PENDING, wt_dnssd_lookup_get_state(l));
        // Two answers queued: the first one ends the lookup.
        ASSERT_EQ(1, dnssd_fake::query_reply(k_host, ADD, 3, r.error, WT_DNSSD_TYPE_A, r.data));
        dnssd_fake::query_reply(k_host, ADD, 3, 0, WT_DNSSD_TYPE_A, rdata("10.9.9.9"));
        pump();
        EXPECT_EQ(1, seen.calls);
        EXPECT_EQ(r.state, seen.state);
        EXPECT_EQ(r.address, seen.address);
        EXPECT_EQ(r.state == WT_DNSSD_LOOKUP_FAILED, seen.error != 0);
        EXPECT_EQ(0u, dnssd_fake::live_references());
        EXPECT_EQ(0u, qnb_event_loop_socket_count(env.event_loop, 0));
    }

    // Deleted by its owner before an answer came.
    lookup_seen seen;
    wt_dnssd_lookup *l = nullptr;
    ASSERT_EQ(QNB_ERR_SUCCESS, wt_dnssd_lookup_new(&env, k_host, 0, on_lookup, &seen, &l));
    wt_dnssd_lookup_delete(l);
    EXPECT_EQ(0u, dnssd_fake::live_references());
    pump();
    EXPECT_EQ(0, seen.calls);
}

} // namespace
