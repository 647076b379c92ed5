// The managed-domain part of the client against the fake domain server, on the event loop and the
// fake clock; the local server is a loopback socket.
#include "netaudio/conmon/conmon_client_domain.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "netaudio/conmon/conmon_client_private.h"
#include "netaudio/messaging/wgcp_buffer.h"
#include "netaudio/platform/qnb_env.h"
#include "testnet/tn_udp_peer.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_domain_server.h"

namespace {

typedef std::vector<uint8_t> bytes;

const uint8_t k_managed[16] = {0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const uint8_t k_other[16] = {0x20, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const uint8_t k_adhoc[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                             0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const uint8_t k_body[8] = {1, 2, 3, 4, 5, 6, 7, 8};

// Every message a domain client sends, seen on its way to the fake server.
struct tap {
    bool (*channel)(void *, domain_client *, tlv_transport *) = nullptr;
    tlv_transport inner = {};
    std::vector<bytes> sent;
};
tap *g_tap = nullptr;

qnb_error tap_send(void *, const uint8_t *data, size_t length)
{
    g_tap->sent.emplace_back(data, data + length);
    return g_tap->inner.send(g_tap->inner.user, data, length);
}
bool tap_channel(void *user, domain_client *client, tlv_transport *out)
{
    if (!g_tap->channel(user, client, &g_tap->inner))
        return false;
    out->send = tap_send;
    out->user = nullptr;
    return true;
}

struct record {
    uint16_t type = 0, seq = 0, status = 0;
    unsigned msg_class = 0;
    tlv_view view = {};
};
record read_record(const bytes &m)
{
    record r;
    tlv_ids ids;
    EXPECT_EQ(tlv_view_init(&r.view, m.data(), m.size()), 0);
    EXPECT_EQ(tlv_msg_parse_ids(m.data(), m.size(), &ids), 0);
    r.msg_class = ids.msg_class;
    r.type = r.view.type;
    r.seq = wgcp_load_be16(r.view.head + 8);
    r.status = wgcp_load_be16(r.view.head + 10);
    return r;
}

struct results {
    int done = 0;
    std::vector<qnb_error> errors;
    std::vector<std::string> reported;
    int handled = 0;
};
results *g_results = nullptr;
void on_done(conmon_client *, conmon_request *, qnb_error e)
{
    g_results->done++;
    g_results->errors.push_back(e);
}
void on_subscriptions(conmon_client *, unsigned count, const conmon_remote_device_info *const *list)
{
    for (unsigned i = 0; i < count; ++i)
        g_results->reported.push_back(list[i]->name);
}
void on_message(conmon_client *, uint16_t, uint16_t, const conmon_channel_message *)
{
    g_results->handled++;
}

// A subscription record of device T00A-KTV4 (channel type 6, instance 1, status 4, device id AB...).
void fill_subscription(tlv_record *rec)
{
    uint8_t *body = nullptr;
    uint16_t offset = 0;
    ASSERT_EQ(tlv_msg_reserve_body(rec, 52, &body), 0);
    ASSERT_NE(tlv_msg_add_text(rec, "T00A-KTV4", &offset), nullptr);
    body = rec->builder->data + rec->body;
    wgcp_store_be16(body, 6);
    wgcp_store_be16(body + 2, 1);
    wgcp_store_be16(body + 4, 4);
    wgcp_store_be16(body + 6, offset);
    body[8] = 0xAB;
    wgcp_store_be32(body + 40, 1); // flags: device id present
}

class ConmonDomain : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_tap = &tap_;
        g_results = &results_;
        ASSERT_EQ(qnb_env_get(&env_), 0);
        ASSERT_EQ(tn_udp_peer_open(&local_, 0), 0);
        conmon_client_config config;
        conmon_client_config_init(&config, "conmon_domain_test");
        qnb_sockaddr_from_text(&config.server, AF_INET, "127.0.0.1", local_.port);
        ASSERT_EQ(conmon_client_new_with_config(env_, &config, &client_), 0);
        conmon_client_set_subscriptions_callback(client_, on_subscriptions);

        loop_env_ = static_cast<qnb_env *>(calloc(1, sizeof(qnb_env)));
        loop_env_->flags = QNB_ENV_FLAG_USER_CREATED;
        ASSERT_EQ(qnb_env_create_event_loop(loop_env_), 0);
        tap_.channel = server_.handler.channel;
        server_.handler.channel = tap_channel;
        server_.attach(loop_env_);
    }
    void TearDown() override
    {
        conmon_client_domain_delete(part_);
        conmon_client_delete(client_);
        qnb_env_release(loop_env_);
        tn_udp_peer_close(&local_);
        qnb_env_release(env_);
        g_tap = nullptr;
        g_results = nullptr;
    }
    void start(const uint8_t *domain)
    {
        server_.set_domain(domain, 3, 2);
        ASSERT_EQ(conmon_client_domain_new(client_, loop_env_, &part_), 0);
    }
    void run() { ASSERT_EQ(qnb_event_loop_run_once(loop_env_->event_loop, 0, nullptr), 0); }
    // Records of `type` sent so far.
    std::vector<record> sent(uint16_t type)
    {
        std::vector<record> out;
        for (const bytes &m : tap_.sent)
            if (read_record(m).type == type)
                out.push_back(read_record(m));
        return out;
    }
    bytes build(unsigned msg_class, uint16_t type, uint16_t seq, uint16_t status,
                const std::function<void(tlv_record *)> &fill)
    {
        bytes buffer(TLV_CHANNEL_BUFFER_SIZE);
        tlv_builder b;
        tlv_record rec;
        if (msg_class == TLV_CLASS_REQUEST) {
            EXPECT_EQ(tlv_msg_begin(&b, buffer.data(), buffer.size(), TLV_OPTION_BYTES), 0);
            EXPECT_EQ(tlv_msg_add_id_option(&b, TLV_OPTION_SEQUENCE, 0xFFFFFFFFu, 0), 0);
            EXPECT_EQ(tlv_msg_add_id_option(&b, TLV_OPTION_CLIENT, 0, 1), 0);
            EXPECT_EQ(tlv_msg_add_request_u16(&b, &rec, type, seq), 0);
        } else {
            EXPECT_EQ(tlv_msg_begin_response(&b, buffer.data(), buffer.size(), nullptr), 0);
            EXPECT_EQ(tlv_msg_add_response_u16(&b, &rec, type, seq), 0);
        }
        EXPECT_EQ(tlv_msg_set_second_u16(&rec, status), 0);
        if (fill)
            fill(&rec);
        buffer.resize(b.position);
        return buffer;
    }
    // Hands the client a message from the server: a response to `seq` or a request of its own.
    void deliver(unsigned msg_class, uint16_t type, uint16_t seq, uint16_t status,
                 const std::function<void(tlv_record *)> &fill = nullptr)
    {
        bytes m = build(msg_class, type, seq, status, fill);
        tlv_channel_receive(object_get_list(part_->domain), m.data(), m.size());
    }
    qnb_error control(const char *target, unsigned timeout_ms = 0)
    {
        return conmon_client_domain_send_control_message(part_, on_done, nullptr, target, 0xFFFF,
                                                         CONMON_VENDOR_STANDARD, k_body, sizeof k_body, timeout_ms);
    }
    // Opcodes the local server received within `ms`.
    std::vector<uint16_t> local_opcodes(int ms)
    {
        std::vector<uint16_t> out;
        uint8_t b[CONMON_LOCAL_BUFFER_SIZE];
        size_t n = sizeof b;
        while (tn_udp_peer_receive(&local_, b, &n, ms) == 0) {
            uint16_t opcode;
            memcpy(&opcode, b + 6, 2);
            out.push_back(opcode);
            n = sizeof b;
        }
        return out;
    }

    qz_test::fake_clock clock_;
    tap tap_;
    results results_;
    qnb_env *env_ = nullptr;
    qnb_env *loop_env_ = nullptr;
    tn_udp_peer local_;
    conmon_client *client_ = nullptr;
    fake_domain_server server_;
    conmon_client_domain *part_ = nullptr;
};

TEST_F(ConmonDomain, LookupThatNeverResolvesFailsAfterItsTime)
{
    start(k_managed);
    // The server never answers the lookups (no pump).
    ASSERT_EQ(control("T00A-KTV4"), 0);
    ASSERT_EQ(control("T00B-KTV4", 500), 0);
    EXPECT_EQ(conmon_client_domain_lookup_count(part_), 2u);
    EXPECT_EQ(conmon_client_requests_in_use(client_), 2u);

    clock_.advance(0, 499000);
    run();
    EXPECT_EQ(results_.done, 0);
    clock_.advance(0, 1000);
    run();
    EXPECT_EQ(results_.errors, (std::vector<qnb_error>{QNB_ERR_NOTFOUND}));
    clock_.advance(1, 499000);
    run();
    EXPECT_EQ(results_.done, 1);
    clock_.advance(0, 1000);
    run();
    EXPECT_EQ(results_.errors, (std::vector<qnb_error>{QNB_ERR_NOTFOUND, QNB_ERR_NOTFOUND}));
    EXPECT_EQ(conmon_client_domain_pending_count(part_), 0u);
    EXPECT_EQ(conmon_client_requests_in_use(client_), 0u);
    EXPECT_TRUE(sent(CONMON_DOMAIN_RECORD_CONTROL).empty());
}

TEST_F(ConmonDomain, ResolvedLookupSendsTheMessageAndTheAnswerCompletesIt)
{
    fake_domain_device dev;
    dev.name = "T00A-KTV4";
    dev.model = "KTV4-S";
    server_.devices.push_back(dev);
    start(k_managed);
    ASSERT_EQ(control("T00A-KTV4"), 0);
    ASSERT_EQ(control("T00C-GONE"), 0);
    server_.pump(); // resolves the first lookup, fails the second
    EXPECT_EQ(results_.errors, (std::vector<qnb_error>{QNB_ERR_INVALIDDATA}));
    EXPECT_EQ(conmon_client_domain_lookup_count(part_), 1u);
    run();

    std::vector<record> control_records = sent(CONMON_DOMAIN_RECORD_CONTROL);
    ASSERT_EQ(control_records.size(), 1u);
    const record &r = control_records[0];
    EXPECT_EQ(r.msg_class, (unsigned)TLV_CLASS_REQUEST);
    const uint8_t *body = r.view.head + 12;
    EXPECT_STREQ(reinterpret_cast<const char *>(r.view.head + wgcp_load_be16(body)), "T00A-KTV4");
    const uint8_t *message = r.view.head + wgcp_load_be16(body + 2);
    EXPECT_EQ(wgcp_load_be16(body + 4), 24 + sizeof k_body);
    EXPECT_EQ(wgcp_load_be16(message), 0xFFFF);
    EXPECT_EQ(wgcp_load_be16(message + 2), 24 + sizeof k_body);
    EXPECT_EQ(wgcp_load_be16(message + 4), 1); // first head sequence number
    EXPECT_EQ(memcmp(message + 24, k_body, sizeof k_body), 0);

    // Answers map their status; a message to a found device goes out at once.
    deliver(TLV_CLASS_RESPONSE, CONMON_DOMAIN_RECORD_CONTROL, r.seq, 0);
    ASSERT_EQ(control("T00A-KTV4"), 0);
    ASSERT_EQ(sent(CONMON_DOMAIN_RECORD_CONTROL).size(), 2u);
    deliver(TLV_CLASS_RESPONSE, CONMON_DOMAIN_RECORD_CONTROL, sent(CONMON_DOMAIN_RECORD_CONTROL)[1].seq, 6);
    EXPECT_EQ(results_.errors, (std::vector<qnb_error>{QNB_ERR_INVALIDDATA, QNB_ERR_SUCCESS, QNB_ERR_POLICY}));
    const uint8_t *head2 = sent(CONMON_DOMAIN_RECORD_CONTROL)[1].view.head;
    EXPECT_EQ(wgcp_load_be16(head2 + wgcp_load_be16(head2 + 14) + 4), 3) << "T00C-GONE took 2";
    EXPECT_EQ(conmon_client_requests_in_use(client_), 0u);
}

TEST_F(ConmonDomain, SendFailingInTheProcessingTimerCompletesTheSlot)
{
    fake_domain_device dev;
    dev.name = "T00A-KTV4";
    server_.devices.push_back(dev);
    start(k_managed);
    ASSERT_EQ(control("T00A-KTV4"), 0);
    server_.pump();
    server_.fail_transport = true;
    run();
    EXPECT_EQ(results_.errors, (std::vector<qnb_error>{QNB_ERR_NOTCONN}));
    EXPECT_EQ(conmon_client_requests_in_use(client_), 0u);
}

TEST_F(ConmonDomain, DomainChangeFailsPendingMessagesAndClearsRemoteOnlyFromAdHoc)
{
    conmon_request *connect = nullptr;
    ASSERT_EQ(conmon_client_connect(client_, nullptr, &connect), 0); // CONNECTING: the link can send
    EXPECT_EQ(local_opcodes(200), (std::vector<uint16_t>{CONMON_LOCAL_CONNECT}));
    client_->global_subscription[2] = 1;
    client_->handlers[2][1] = on_message;

    // A domain not known yet (all zero) is not the ad-hoc network: leaving it clears nothing.
    const uint8_t unknown[16] = {};
    start(unknown);
    server_.set_domain(k_adhoc, 3, 2);
    EXPECT_TRUE(local_opcodes(100).empty());
    EXPECT_FALSE(conmon_client_domain_is_managed(part_));
    ASSERT_EQ(control("T00A-KTV4"), 0);
    ASSERT_EQ(control("T00B-KTV4"), 0);
    server_.set_domain(k_managed, 3, 2);
    EXPECT_EQ(results_.errors, (std::vector<qnb_error>{QNB_ERR_NOTFOUND, QNB_ERR_NOTFOUND}));
    EXPECT_EQ(conmon_client_domain_lookup_count(part_), 0u);
    EXPECT_EQ(local_opcodes(200), (std::vector<uint16_t>{CONMON_LOCAL_CLEAR_REMOTE}));
    EXPECT_EQ(client_->global_subscription[2], 0);
    EXPECT_EQ(client_->handlers[2][1], nullptr);
    EXPECT_TRUE(conmon_client_domain_is_managed(part_));
    EXPECT_EQ(client_->max_control_body, (size_t)CONMON_MAX_CONTROL_BODY_MANAGED);
    EXPECT_TRUE(conmon_client_domain_take_changes(part_) & CONMON_DOMAIN_CHANGE_DOMAIN);

    // Managed to managed: messages fail again, the local server hears nothing.
    ASSERT_EQ(control("T00A-KTV4"), 0);
    server_.set_domain(k_other, 3, 2);
    EXPECT_EQ(results_.done, 3);
    EXPECT_TRUE(local_opcodes(100).empty());
    // The hello follows every change, with the new domain id.
    std::vector<record> hellos = sent(CONMON_DOMAIN_RECORD_HELLO);
    ASSERT_EQ(hellos.size(), 4u);
    EXPECT_EQ(memcmp(hellos[1].view.head + 12, "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 16), 0);
    EXPECT_EQ(memcmp(hellos[3].view.head + 12, k_other, 16), 0);
}

TEST_F(ConmonDomain, HelloIsSentAgainUntilAnswered)
{
    start(k_managed);
    ASSERT_EQ(sent(CONMON_DOMAIN_RECORD_HELLO).size(), 1u);
    clock_.advance(1, 999000);
    run();
    EXPECT_EQ(sent(CONMON_DOMAIN_RECORD_HELLO).size(), 1u);
    clock_.advance(0, 1000);
    run();
    std::vector<record> hellos = sent(CONMON_DOMAIN_RECORD_HELLO);
    ASSERT_EQ(hellos.size(), 2u);
    EXPECT_NE(hellos[0].seq, hellos[1].seq);
    deliver(TLV_CLASS_RESPONSE, CONMON_DOMAIN_RECORD_HELLO, hellos[0].seq, 0); // a stale answer
    clock_.advance(2);
    run();
    EXPECT_EQ(sent(CONMON_DOMAIN_RECORD_HELLO).size(), 3u);
    deliver(TLV_CLASS_RESPONSE, CONMON_DOMAIN_RECORD_HELLO, sent(CONMON_DOMAIN_RECORD_HELLO)[2].seq, 0);
    clock_.advance(5);
    run();
    EXPECT_EQ(sent(CONMON_DOMAIN_RECORD_HELLO).size(), 3u);
}

TEST_F(ConmonDomain, HandlerDisconnectCancelsLookupsAndReconnectRestartsThem)
{
    start(k_managed);
    ASSERT_EQ(control("T00A-KTV4"), 0);
    server_.pump(); // unknown so far: the server holds no device, the lookup fails
    ASSERT_EQ(results_.errors, (std::vector<qnb_error>{QNB_ERR_INVALIDDATA}));
    ASSERT_EQ(control("T00A-KTV4", 10000), 0); // a new lookup, still queued at the server

    server_.set_domain(k_managed, 3, 1); // the handler loses the server
    EXPECT_FALSE(client_->ready);
    EXPECT_TRUE(conmon_client_domain_take_changes(part_) & CONMON_DOMAIN_CHANGE_HANDLER);
    EXPECT_EQ(server_.cancelled.size(), 0u) << "queued, not yet seen";
    server_.pump();
    EXPECT_EQ(server_.cancelled.size(), 1u);
    EXPECT_EQ(conmon_client_domain_pending_count(part_), 1u) << "the message keeps waiting";

    fake_domain_device dev;
    dev.name = "T00A-KTV4";
    dev.model = "KTV4-S";
    server_.devices.push_back(dev);
    server_.set_domain(k_managed, 3, 2); // back: the lookup is asked again and resolves
    EXPECT_TRUE(client_->ready);
    server_.pump();
    run();
    EXPECT_EQ(sent(CONMON_DOMAIN_RECORD_CONTROL).size(), 1u);
    EXPECT_EQ(conmon_client_domain_pending_count(part_), 0u);
}

// A callback that sends again: during a change of domain it is refused; after a time-out its new
// message waits its own time.
struct resender {
    conmon_client_domain *part = nullptr;
    std::vector<qnb_error> sends;
};
resender *g_resender = nullptr;
void resend(conmon_client *, conmon_request *, qnb_error)
{
    g_resender->sends.push_back(conmon_client_domain_send_control_message(
        g_resender->part, nullptr, nullptr, "T00A-KTV4", 0xFFFF, CONMON_VENDOR_STANDARD, k_body, sizeof k_body, 0));
}

TEST_F(ConmonDomain, CallbacksThatSendAgain)
{
    start(k_managed);
    resender r;
    r.part = part_;
    g_resender = &r;
    ASSERT_EQ(conmon_client_domain_send_control_message(part_, resend, nullptr, "T00A-KTV4", 0xFFFF,
                                                        CONMON_VENDOR_STANDARD, k_body, sizeof k_body, 0),
              0);
    clock_.advance(2);
    run();
    EXPECT_EQ(r.sends, (std::vector<qnb_error>{QNB_ERR_SUCCESS}));
    EXPECT_EQ(conmon_client_domain_pending_count(part_), 1u) << "the new message waits its own 2 s";

    ASSERT_EQ(conmon_client_domain_send_control_message(part_, resend, nullptr, "T00B-KTV4", 0xFFFF,
                                                        CONMON_VENDOR_STANDARD, k_body, sizeof k_body, 0),
              0);
    server_.set_domain(k_other, 3, 2);
    EXPECT_EQ(r.sends, (std::vector<qnb_error>{QNB_ERR_SUCCESS, QNB_ERR_INVALIDSTATE}));
    EXPECT_EQ(conmon_client_domain_pending_count(part_), 0u);
    EXPECT_EQ(conmon_client_domain_lookup_count(part_), 0u);
    g_resender = nullptr;
}

TEST_F(ConmonDomain, RecordsFromTheServer)
{
    start(k_managed);
    client_->handlers[2][1] = on_message;
    uint8_t channel_message[24 + 8] = {};
    wgcp_store_be16(channel_message + 2, sizeof channel_message);
    auto channel_record = [&](uint16_t flags, size_t message_size) {
        return [&, flags, message_size](tlv_record *rec) {
            uint8_t *body = nullptr;
            uint16_t offset = 0;
            ASSERT_EQ(tlv_msg_reserve_body(rec, 8, &body), 0);
            ASSERT_NE(tlv_msg_add_bytes(rec, channel_message, message_size, &offset), nullptr);
            body = rec->builder->data + rec->body;
            wgcp_store_be16(body, 2);
            wgcp_store_be16(body + 2, offset);
            wgcp_store_be16(body + 4, flags);
        };
    };
    struct row {
        const char *what;
        uint16_t type;
        uint16_t flags;
        size_t message_size;
        int handled;
        std::vector<uint16_t> answers;
    } rows[] = {
        {"managed sender, ack wanted", CONMON_DOMAIN_RECORD_STATUS, 3 | CONMON_DOMAIN_FLAG_ACK, sizeof channel_message,
         1, {0}},
        {"managed sender, no ack", CONMON_DOMAIN_RECORD_STATUS, 3, sizeof channel_message, 1, {}},
        {"named message", CONMON_DOMAIN_RECORD_NAMED, 3 | CONMON_DOMAIN_FLAG_ACK, sizeof channel_message, 1, {0}},
        {"sender of the other kind", CONMON_DOMAIN_RECORD_STATUS, 2 | CONMON_DOMAIN_FLAG_ACK, sizeof channel_message,
         0, {2}},
        {"local class without a handler", CONMON_DOMAIN_RECORD_STATUS, 3 | CONMON_DOMAIN_FLAG_LOCAL,
         sizeof channel_message, 0, {}},
        {"channel message cut short", CONMON_DOMAIN_RECORD_STATUS, 3 | CONMON_DOMAIN_FLAG_ACK, 20, 0, {5}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        tap_.sent.clear();
        results_.handled = 0;
        deliver(TLV_CLASS_REQUEST, r.type, 9, 0, channel_record(r.flags, r.message_size));
        EXPECT_EQ(results_.handled, r.handled);
        std::vector<uint16_t> answers;
        for (const record &a : sent(r.type)) {
            EXPECT_EQ(a.msg_class, (unsigned)TLV_CLASS_RESPONSE);
            EXPECT_EQ(a.seq, 9);
            answers.push_back(a.status);
        }
        EXPECT_EQ(answers, r.answers);
    }

    // A pushed subscription record lands in table 1, is reported once and acknowledged.
    tap_.sent.clear();
    deliver(TLV_CLASS_REQUEST, CONMON_DOMAIN_RECORD_SUBSCRIPTION, 11, 0, fill_subscription);
    deliver(TLV_CLASS_REQUEST, CONMON_DOMAIN_RECORD_SUBSCRIPTION, 12, 0, fill_subscription);
    EXPECT_EQ(results_.reported, (std::vector<std::string>{"T00A-KTV4"}));
    const conmon_remote_device_info *t1 = conmon_client_get_remote_devices(client_, 1);
    EXPECT_STREQ(t1[0].name, "T00A-KTV4");
    EXPECT_EQ(t1[0].status, 4);
    EXPECT_EQ(t1[0].device_id.device_id[0], 0xAB);
    std::vector<record> acks = sent(CONMON_DOMAIN_RECORD_SUBSCRIPTION);
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(acks[0].status, 0);
}

TEST_F(ConmonDomain, HostileRecordsFromTheServer)
{
    start(k_managed);
    client_->handlers[2][1] = on_message;
    ASSERT_EQ(conmon_client_domain_subscribe(part_, on_done, nullptr, CONMON_CHANNEL_KEEPALIVE, "T00A-KTV4", true),
              0);
    uint16_t seq = sent(CONMON_DOMAIN_RECORD_SUBSCRIBE)[0].seq;
    uint8_t channel_message[24 + 8] = {};
    wgcp_store_be16(channel_message + 2, sizeof channel_message);
    std::vector<bytes> originals = {
        build(TLV_CLASS_REQUEST, CONMON_DOMAIN_RECORD_SUBSCRIPTION, 3, 0, fill_subscription),
        build(TLV_CLASS_RESPONSE, CONMON_DOMAIN_RECORD_SUBSCRIBE, seq, 0, fill_subscription),
        build(TLV_CLASS_REQUEST, CONMON_DOMAIN_RECORD_NAMED, 4, 0, [&](tlv_record *rec) {
            uint16_t message_offset = 0, name_offset = 0;
            ASSERT_EQ(tlv_msg_reserve_body(rec, 8, nullptr), 0);
            ASSERT_NE(tlv_msg_add_bytes(rec, channel_message, sizeof channel_message, &message_offset), nullptr);
            ASSERT_NE(tlv_msg_add_text(rec, "T00B-KTV4", &name_offset), nullptr);
            uint8_t *body = rec->builder->data + rec->body;
            wgcp_store_be16(body, 2);
            wgcp_store_be16(body + 2, message_offset);
            wgcp_store_be16(body + 4, 3 | CONMON_DOMAIN_FLAG_ACK);
            wgcp_store_be16(body + 6, name_offset);
        }),
    };
    // Every byte of each message set to 0x00, 0x7F and 0xFF in turn, and every truncation: nothing
    // is read outside the message (the sanitizer build watches).
    for (const bytes &original : originals) {
        for (size_t i = TLV_HEAD_SIZE; i < original.size(); ++i) {
            for (uint8_t v : {0x00, 0x7F, 0xFF}) {
                bytes m = original;
                m[i] = v;
                tlv_channel_receive(object_get_list(part_->domain), m.data(), m.size());
            }
            tlv_channel_receive(object_get_list(part_->domain), original.data(), i);
        }
    }
    EXPECT_GT(results_.handled, 0);
}

TEST_F(ConmonDomain, RequestsOfThePartAndTheirRefusals)
{
    start(k_managed);
    EXPECT_EQ(control("T00A.KTV4"), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(control(""), QNB_ERR_INVALIDPARAMETER);
    uint8_t big[CONMON_MAX_CONTROL_BODY_MANAGED + 1] = {};
    EXPECT_EQ(conmon_client_domain_send_control_message(part_, on_done, nullptr, "T00A-KTV4", 0xFFFF,
                                                        CONMON_VENDOR_STANDARD, big, sizeof big, 0),
              QNB_ERR_TRUNCATED);
    EXPECT_EQ(conmon_client_domain_register_monitoring(part_, on_done, nullptr, CONMON_CHANNEL_VENDOR_BROADCAST, 1,
                                                       true),
              QNB_ERR_NOTSUPPORTED);

    conmon_request *reg = nullptr, *sub = nullptr;
    ASSERT_EQ(conmon_client_domain_register_monitoring(part_, on_done, &reg, CONMON_CHANNEL_STATUS, 1, true), 0);
    ASSERT_EQ(conmon_client_domain_subscribe(part_, on_done, &sub, CONMON_CHANNEL_KEEPALIVE, "T00A-KTV4", true), 0);
    ASSERT_EQ(sent(CONMON_DOMAIN_RECORD_REGISTER).size(), 1u);
    ASSERT_EQ(sent(CONMON_DOMAIN_RECORD_SUBSCRIBE).size(), 1u);
    record s = sent(CONMON_DOMAIN_RECORD_SUBSCRIBE)[0];
    const uint8_t *body = s.view.head + 12;
    EXPECT_EQ(wgcp_load_be16(body), CONMON_CHANNEL_KEEPALIVE);
    EXPECT_EQ(wgcp_load_be16(body + 2), 1);
    EXPECT_STREQ(reinterpret_cast<const char *>(s.view.head + wgcp_load_be16(body + 8)), "T00A-KTV4");
    EXPECT_EQ(memcmp(body + 12, k_managed, 16), 0);

    deliver(TLV_CLASS_RESPONSE, CONMON_DOMAIN_RECORD_REGISTER, sent(CONMON_DOMAIN_RECORD_REGISTER)[0].seq, 3);
    deliver(TLV_CLASS_RESPONSE, CONMON_DOMAIN_RECORD_SUBSCRIBE, s.seq, 9);
    EXPECT_EQ(results_.errors, (std::vector<qnb_error>{QNB_ERR_VERSION, QNB_ERR_FAULT}));
    // A successful answer carrying the device's record updates table 1.
    ASSERT_EQ(conmon_client_domain_subscribe(part_, on_done, &sub, CONMON_CHANNEL_KEEPALIVE, "T00A-KTV4", true), 0);
    deliver(TLV_CLASS_RESPONSE, CONMON_DOMAIN_RECORD_SUBSCRIBE, sent(CONMON_DOMAIN_RECORD_SUBSCRIBE)[1].seq, 0,
            fill_subscription);
    EXPECT_EQ(results_.reported, (std::vector<std::string>{"T00A-KTV4"}));
    EXPECT_EQ(results_.errors.back(), QNB_ERR_SUCCESS);

    // Out of slots: NOBUFS, and nothing is left behind.
    unsigned held = 0;
    while (control("T00A-KTV4") == 0)
        ++held;
    EXPECT_EQ(control("T00A-KTV4"), QNB_ERR_NOBUFS);
    EXPECT_EQ(held, (unsigned)CONMON_CLIENT_DEFAULT_REQUESTS);
    EXPECT_EQ(conmon_client_domain_pending_count(part_), held);
}

} // namespace
