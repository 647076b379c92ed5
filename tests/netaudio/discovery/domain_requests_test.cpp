// Domain clients registered with a handler and domain requests, against the fake domain server:
// id allocation to exhaustion, requests that fail to leave, results that cancel their own request,
// status replies, and clients deleted while the handler walks them.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "netaudio/discovery/domain_client.h"
#include "netaudio/discovery/domain_requests.h"
#include "tests/support/fake_domain_server.h"

namespace {

const uint8_t k_managed[DOMAIN_ID_SIZE] = {0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

struct done_call {
    uint32_t id;
    uint32_t reason;
    uint16_t status;
    bool operator==(const done_call &o) const
    {
        return id == o.id && reason == o.reason && status == o.status;
    }
};

struct Requests : ::testing::Test {
    fake_domain_server server;
    domain_client *client = nullptr;
    domain_requests *requests = nullptr;
    std::vector<std::string> results;
    std::vector<done_call> done;
    bool cancel_in_result = false;

    static qnb_error receive(void *context, tlv_transaction *t)
    {
        return domain_requests_handle_message(static_cast<Requests *>(context)->requests, t);
    }
    static void on_result(void *user, uint32_t id, const tlv_device_record *record)
    {
        Requests *self = static_cast<Requests *>(user);
        self->results.push_back(record->name);
        if (self->cancel_in_result)
            domain_requests_cancel(self->requests, id);
    }
    static void on_done(void *user, uint32_t id, uint32_t reason, uint16_t status)
    {
        static_cast<Requests *>(user)->done.push_back({id, reason, status});
    }

    void SetUp() override
    {
        server.set_domain(k_managed, 3, 2);
        client = domain_client_new(&server.handler, this, nullptr, receive);
        ASSERT_NE(client, nullptr);
        ASSERT_EQ(domain_requests_new(this, client, &requests), 0);
    }
    void TearDown() override
    {
        domain_requests_delete(requests);
        domain_client_delete(client);
    }
    uint32_t lookup(const char *name)
    {
        tlv_domain_request req{};
        req.mode = DOMAIN_REQUEST_MODE_LOOKUP;
        req.name = name;
        EXPECT_EQ(domain_requests_add(requests, on_result, this, on_done, &req), 0);
        return req.request_id;
    }
};

TEST(DomainHandler, ClientIdsSkipTakenAndReservedOnesAndRunOut)
{
    std::unique_ptr<domain_handler> h(new domain_handler{});
    h->reserved_id = 4;
    h->next_id = 2;
    domain_client *a = domain_client_new(h.get(), nullptr, nullptr, nullptr);
    domain_client *b = domain_client_new(h.get(), nullptr, nullptr, nullptr);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->id, 2);
    EXPECT_EQ(b->id, 3);
    h->next_id = 2; // wrapped back onto taken ids
    domain_client *c = domain_client_new(h.get(), nullptr, nullptr, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->id, 5) << "2 and 3 are taken, 4 is reserved";
    EXPECT_EQ(c->state, 3u) << "a handler without a state operation";
    uint8_t id[DOMAIN_ID_SIZE];
    domain_client_get_id(c, id);
    EXPECT_TRUE(domain_id_is_adhoc(id));

    // Every id from 2 to 0xFFFE except the reserved one, then a refusal instead of an endless search.
    std::vector<domain_client *> all{a, b, c};
    for (;;) {
        domain_client *n = domain_client_new(h.get(), nullptr, nullptr, nullptr);
        if (!n)
            break;
        all.push_back(n);
    }
    EXPECT_EQ(all.size(), size_t(0xFFFE - 2 + 1 - 1));
    EXPECT_EQ(h->clients.count, all.size());
    uint16_t freed = all[10]->id;
    domain_client_delete(all[10]);
    all.erase(all.begin() + 10);
    domain_client *again = domain_client_new(h.get(), nullptr, nullptr, nullptr);
    ASSERT_NE(again, nullptr) << "a released id is given out again";
    EXPECT_EQ(again->id, freed);
    all.push_back(again);
    for (domain_client *n : all)
        domain_client_delete(n);
    EXPECT_EQ(h->clients.count, 0u);
}

TEST(DomainHandler, AClientWithAChannelIsUnlinkedWhenDeleted)
{
    std::unique_ptr<domain_handler> h(new domain_handler{});
    h->channel = [](void *, domain_client *, tlv_transport *out) {
        out->send = nullptr;
        out->user = nullptr;
        return true;
    };
    domain_client *c = domain_client_new(h.get(), nullptr, nullptr, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(object_get_list(c), nullptr);
    domain_client_delete(c);
    EXPECT_EQ(h->clients.count, 0u);
    EXPECT_EQ(h->clients.first, nullptr);
}

struct walk_state {
    domain_client *victim = nullptr;
    bool delete_self = false;
    std::vector<uint32_t> kinds_seen_by_victim;
};

void walker(domain_client *c, void *context, const domain_event *event)
{
    walk_state *w = static_cast<walk_state *>(context);
    if (event->phase < DOMAIN_EVENT_STATE)
        return;
    domain_client_delete(w->victim);
    if (w->delete_self)
        domain_client_delete(c);
}

void victim_seen(domain_client *, void *context, const domain_event *event)
{
    static_cast<walk_state *>(context)->kinds_seen_by_victim.push_back(event->phase);
}

TEST(DomainHandler, AClientDeletedDuringTheWalkIsSkippedAndFreedAfterIt)
{
    fake_domain_server server;
    walk_state w;
    domain_client *first = domain_client_new(&server.handler, &w, walker, nullptr);
    w.victim = domain_client_new(&server.handler, &w, victim_seen, nullptr);
    domain_client *last = domain_client_new(&server.handler, &w, nullptr, nullptr);
    ASSERT_TRUE(first && w.victim && last);
    for (domain_client *c : {first, w.victim, last})
        domain_client_set_enabled(c, true);
    w.delete_self = true;
    server.set_domain(k_managed, 3, 2);
    EXPECT_TRUE(w.kinds_seen_by_victim.empty()) << "the deleted client got no event";
    EXPECT_EQ(server.handler.clients.count, 1u);
    EXPECT_EQ(server.handler.iterating, 0u);
    EXPECT_EQ(object_get_token(last), 2u) << "the token is refreshed on the walk";
    uint8_t id[DOMAIN_ID_SIZE];
    domain_client_get_id(last, id);
    EXPECT_EQ(domain_id_compare(id, k_managed), 0);
    domain_client_delete(last);
    EXPECT_EQ(server.handler.clients.count, 0u);
}

TEST_F(Requests, IdsCarryTheClientIdAndSeqnumsSkipZero)
{
    uint32_t base = uint32_t(client->id) << 16;
    EXPECT_EQ(lookup("a"), base);
    EXPECT_EQ(lookup("b"), base | 1);
    requests->next_seqnum = 0xFFFF;
    EXPECT_EQ(lookup("c"), base | 2);
    requests->counter = 0; // the counter wrapped: pending ids are skipped
    EXPECT_EQ(lookup("d"), base | 3);
    EXPECT_EQ(domain_requests_count(requests), 4u);
    domain_request *last = static_cast<domain_request *>(requests->pending.last->data);
    EXPECT_EQ(last->request_seqnum, 1) << "0xFFFF is followed by 1";
}

TEST_F(Requests, SendFailuresLeaveNoRequestBehind)
{
    lookup("a");
    lookup("b");
    server.fail_transport = true;
    tlv_domain_request req{};
    EXPECT_EQ(domain_requests_add(requests, on_result, this, on_done, &req), QNB_ERR_NOTCONN);
    EXPECT_EQ(domain_requests_count(requests), 2u) << "the request that never left is gone";
    EXPECT_EQ(domain_requests_cancel_all(requests), QNB_ERR_NOTCONN);
    EXPECT_EQ(domain_requests_count(requests), 0u) << "every request is freed after a send error";
    EXPECT_TRUE(done.empty());
}

TEST_F(Requests, ResultsStatusRepliesAndCancels)
{
    fake_domain_device dev;
    dev.name = "dev1";
    dev.model = "m";
    server.devices.push_back(dev);
    struct row {
        const char *name;
        bool final_results;
        bool cancel_in_result;
        std::vector<std::string> results;
        uint32_t done_reason; // 99: none
        uint16_t status;
        uint32_t pending_after;
    } rows[] = {
        {"dev1", false, false, {"dev1"}, 99, 0, 1},
        {"dev1", true, false, {"dev1"}, DOMAIN_DONE_COMPLETED, 0, 0},
        {"dev1", false, true, {"dev1"}, DOMAIN_DONE_CANCELLED, 0, 0},
        {"dev1", true, true, {"dev1"}, DOMAIN_DONE_CANCELLED, 0, 0}, // cancelled in its own final result
        {"nobody", false, false, {}, DOMAIN_DONE_STATUS, 5, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.name) + (r.final_results ? " final" : "") + (r.cancel_in_result ? " cancel" : ""));
        results.clear();
        done.clear();
        server.lookups_final = r.final_results;
        cancel_in_result = r.cancel_in_result;
        uint32_t id = lookup(r.name);
        server.pump();
        EXPECT_EQ(results, r.results);
        if (r.done_reason == 99) {
            EXPECT_TRUE(done.empty());
        } else {
            EXPECT_EQ(done, (std::vector<done_call>{{id, r.done_reason, r.status}}));
        }
        EXPECT_EQ(domain_requests_count(requests), r.pending_after);
        domain_requests_cancel_all(requests);
        server.pump();
    }
    EXPECT_EQ(domain_requests_cancel(requests, 0x1234), QNB_ERR_NOTFOUND);
    uint16_t status = 0;
    EXPECT_EQ(domain_requests_get_status(requests, 0x1234, &status), QNB_ERR_NOTFOUND);
}

TEST_F(Requests, AResultForNoPendingRequestIsAnsweredAsInvalid)
{
    server.open.push_back({client->id, 0xABCD0001u, 0, ""});
    server.finish(0xABCD0001u);
    server.pump();
    EXPECT_EQ(server.result_statuses, (std::vector<uint16_t>{DOMAIN_STATUS_INVALID}));
}

// Messages that reach the request client through its channel without matching anything it sent.
TEST_F(Requests, StrayAndMalformedMessagesAreRefused)
{
    enum kind { response_unknown_seqnum, response_other_record, no_class, truncated };
    struct row {
        const char *what;
        kind k;
        qnb_error result;
    } rows[] = {
        {"a status reply for no pending request", response_unknown_seqnum, QNB_ERR_NOTFOUND},
        {"a reply of another record type", response_other_record, 0},
        {"a message of no class", no_class, QNB_ERR_INVALIDDATA},
        {"a message shorter than its length field", truncated, QNB_ERR_INVALIDDATA},
    };
    lookup("a"); // seqnum 1 is pending
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        uint8_t buffer[TLV_CHANNEL_BUFFER_SIZE];
        tlv_builder b;
        tlv_record rec;
        ASSERT_EQ(tlv_msg_begin(&b, buffer, sizeof buffer, TLV_OPTION_BYTES), 0);
        ASSERT_EQ(tlv_msg_add_id_option(&b, TLV_OPTION_SEQUENCE, 9, 0), 0);
        ASSERT_EQ(tlv_msg_add_id_option(&b, TLV_OPTION_CLIENT, 0, client->id), 0);
        if (r.k == response_unknown_seqnum) {
            ASSERT_EQ(tlv_msg_add_response_u16(&b, &rec, TLV_RECORD_DOMAIN_REQUEST, 0x7777), 0);
            ASSERT_EQ(tlv_msg_set_second_u16(&rec, 5), 0);
        } else if (r.k == response_other_record) {
            ASSERT_EQ(tlv_msg_add_response_u16(&b, &rec, TLV_RECORD_0x2003, 1), 0);
            ASSERT_EQ(tlv_msg_set_second_u16(&rec, 5), 0);
        }
        size_t size = b.position;
        if (r.k == truncated) {
            ASSERT_EQ(tlv_msg_add_response_u16(&b, &rec, TLV_RECORD_DOMAIN_REQUEST, 1), 0);
            size = b.position - 2;
        }
        EXPECT_EQ(tlv_channel_receive(object_get_list(client), buffer, size), r.result);
    }
    EXPECT_EQ(domain_requests_count(requests), 1u) << "the pending request is untouched";
    EXPECT_TRUE(done.empty());

    // A request from the server that the client does not serve is answered with status 2.
    uint8_t buffer[TLV_CHANNEL_BUFFER_SIZE];
    tlv_builder b;
    tlv_record rec;
    ASSERT_EQ(tlv_msg_begin(&b, buffer, sizeof buffer, TLV_OPTION_BYTES), 0);
    ASSERT_EQ(tlv_msg_add_id_option(&b, TLV_OPTION_SEQUENCE, 9, 0), 0);
    ASSERT_EQ(tlv_msg_add_id_option(&b, TLV_OPTION_CLIENT, 0, 1), 0);
    ASSERT_EQ(tlv_msg_add_request_u16(&b, &rec, TLV_RECORD_0x2003, 42), 0);
    server.pump();
    server.result_statuses.clear();
    EXPECT_EQ(tlv_channel_receive(object_get_list(client), buffer, b.position), 0);
    server.pump();
    EXPECT_EQ(server.result_statuses, (std::vector<uint16_t>{DOMAIN_STATUS_UNSUPPORTED}));
}

} // namespace
