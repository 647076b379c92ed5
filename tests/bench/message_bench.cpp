// Routing and control messages built and parsed per second on one core: the real builders and
// readers of netaudio, on messages of the sizes an Apply to the largest installation exchanges.
// Each message counts once when it has been built and then parsed back completely. The rate is
// taken against the thread's own CPU time, so that other work on a shared machine does not lower
// it; the wall time is printed beside it.
//
//   qz_message_bench [--seconds S]      one JSON line per kind, then one for all kinds together
#include "netaudio/conmon/conmon_channel.h"
#include "netaudio/conmon/conmon_local.h"
#include "netaudio/conmon/conmon_msg.h"
#include "netaudio/routing/wr_message.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

double now(clockid_t clock)
{
    timespec t;
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

void put_be16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

void put_be32(uint8_t *p, uint32_t v)
{
    put_be16(p, uint16_t(v >> 16));
    put_be16(p + 2, uint16_t(v));
}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "qz_message_bench: %s\n", what);
    std::exit(1);
}

// Each kind builds one message into its own buffers and parses it back; it returns a value derived
// from what it parsed, which the caller checks so that nothing can be optimised away.
struct Kind {
    const char *name;
    unsigned (*run)(unsigned i);
};

// 0x3010: the subscribe request that patches the two receive channels of an RQA-310, and a device
// reading its records.
unsigned routing_subscribe(unsigned i)
{
    static wgcp_builder b;
    wr_msg_list l;
    if (wr_msg_subscribe_begin(&l, &b, WR_PROTOCOL_VERSION_MAX, 2) ||
        wr_msg_subscribe_add(&l, 1, (i & 1) ? "01" : "02", "T001-QZ-KTV4-S-0001") ||
        wr_msg_subscribe_add(&l, 2, "17", "T002-QZ-KTV4-S-0002"))
        fail("subscribe not built");
    wr_msg_response m;
    wr_msg_entries e;
    uint16_t length = uint16_t(b.packet[2] << 8 | b.packet[3]);
    if (wr_msg_response_init(&m, b.packet, length) || wr_msg_read_list(&m, WR_SUBSCRIBE_RECORD_SIZE, &e))
        fail("subscribe not read");
    unsigned sum = 0;
    for (uint16_t k = 0; k < e.count; ++k) {
        wr_msg_subscribe_record r;
        if (wr_msg_read_subscribe_record(&m, &e, k, &r))
            fail("subscribe record not read");
        sum += r.rx_id + uint8_t(r.tx_channel[1]) + uint8_t(r.tx_device[3]);
    }
    return sum;
}

// 0x3000 reply: a page of 16 receive channels, each subscribed, as a device writes it, and the
// client reading every entry (format block, names, subscription).
unsigned routing_rx_page(unsigned i)
{
    static wgcp_builder b;
    static char names[16][4];
    static bool named = false;
    if (!named) {
        for (int k = 0; k < 16; ++k)
            std::snprintf(names[k], sizeof names[k], "%02d", k + 1);
        named = true;
    }
    wr_msg_list l;
    if (wr_msg_begin(&b, WR_PROTOCOL_VERSION_MAX, WR_OP_RX_CHANNELS) ||
        wr_msg_list_begin(&l, &b, WR_RX_ENTRY_SIZE, 16, 0, 0))
        fail("rx page not begun");
    // One format block shared by the entries: {u32 word, A = 1, B = 1, value, reserved, 3 x u16}.
    uint8_t format[16] = {};
    put_be32(format, 0x00010000);
    format[4] = 1;
    format[5] = 1;
    put_be16(format + 6, 48000 / 16);
    uint16_t format_at = 0;
    if (wr_msg_list_add_bytes(&l, format, sizeof format, 2, &format_at))
        fail("format not added");
    for (uint16_t k = 0; k < 16; ++k) {
        uint8_t *entry = nullptr;
        uint16_t name = 0, tx_channel = 0, tx_device = 0;
        if (wr_msg_list_next(&l, &entry) || wr_msg_list_add_string(&l, names[k], &name) ||
            wr_msg_list_add_string(&l, names[(k + i) % 16], &tx_channel) ||
            wr_msg_list_add_string(&l, (k & 1) ? "T01A-QZ-RQA-310-001A" : "T001-QZ-KTV4-S-0001", &tx_device))
            fail("rx entry not added");
        put_be16(entry, uint16_t(k + 1));
        put_be16(entry + 2, 0x0010);
        put_be16(entry + 4, format_at);
        put_be16(entry + 6, tx_channel);
        put_be16(entry + 8, tx_device);
        put_be16(entry + 10, name);
        put_be16(entry + 14, 9);
    }
    put_be16(b.packet + 8, WR_RESULT_OK);

    wr_msg_response m;
    wr_msg_entries e;
    uint16_t length = uint16_t(b.packet[2] << 8 | b.packet[3]);
    if (wr_msg_response_init(&m, b.packet, length) || wr_msg_read_list(&m, WR_RX_ENTRY_SIZE, &e) || e.count != 16)
        fail("rx page not read");
    unsigned sum = 0;
    for (uint16_t k = 0; k < e.count; ++k) {
        wr_msg_rx_entry r;
        if (wr_msg_read_rx_entry(&m, &e, k, &r) || !r.tx_device[0])
            fail("rx entry not read");
        sum += r.id + r.subscription_status + uint8_t(r.tx_channel[1]);
    }
    return sum;
}

// Send Message on the local link carrying a CLOCKING_CONTROL (the preferred-master setting), and
// the link's validation and reading of its heads.
unsigned control_preferred_master(unsigned i)
{
    static conmon_vendor_body body;
    static uint8_t channel[CONMON_MSG_HEAD_SIZE + CONMON_BODY_MAX];
    static uint8_t datagram[CONMON_LOCAL_BUFFER_SIZE];
    size_t channel_length = 0, length = 0;
    if (conmon_msg_init_clocking_control(&body, i) || conmon_msg_clocking_control_set_preferred_master(&body, i & 1) ||
        conmon_message_build(channel, sizeof channel, 0xFFFF, conmon_vendor_id_standard, body.data,
                             CONMON_MSG_CLOCKING_CONTROL_SIZE, &channel_length) ||
        conmon_local_build_send_message(datagram, sizeof datagram, CONMON_LOCAL_DEFAULT_VERSION, uint16_t(i), 0,
                                        nullptr, "T01A-QZ-RQA-310-001A", channel, channel_length, &length))
        fail("send message not built");
    conmon_local_head head;
    if (conmon_local_validate(datagram, length, CONMON_LOCAL_DEFAULT_VERSION) ||
        conmon_local_read_head(datagram, length, &head) || head.length != length)
        fail("send message not read");
    conmon_channel_message view;
    const uint8_t *inner = datagram + length - channel_length;
    uint16_t type = 0;
    uint32_t parameter = 0;
    bool flag = false;
    if (conmon_channel_message_view(inner, channel_length, true, &view) ||
        conmon_msg_get_type(view.body, view.body_length, &type) ||
        conmon_msg_get_parameter(view.body, view.body_length, &parameter) ||
        conmon_msg_get_flag1(view.body, view.body_length, &flag))
        fail("clocking control not read");
    return type + parameter + view.body[12] + flag;
}

// A device's VERSIONS_STATUS in a Channel Message event of the local link, as the server sends it,
// and the client reading the event, the channel message and the versions.
unsigned control_versions(unsigned i)
{
    static conmon_vendor_body body;
    static uint8_t datagram[CONMON_LOCAL_BUFFER_SIZE];
    if (conmon_msg_init(&body, CONMON_MSG_VERSIONS_STATUS, i))
        fail("versions not begun");
    put_be32(body.data + 8, 0x04020000u | (i & 0xFF));
    put_be32(body.data + 12, 0x01020003u);
    std::memcpy(body.data + 20, "RQA-310\0", 8);
    put_be32(body.data + 40, 7);
    put_be32(body.data + 44, 9);
    size_t channel_length = 0;
    const size_t at = 16;
    if (conmon_message_build(datagram + at, sizeof datagram - at, 0xFFFF, conmon_vendor_id_standard, body.data, 60,
                             &channel_length))
        fail("channel message not built");
    conmon_local_head head = {CONMON_LOCAL_DEFAULT_VERSION, uint16_t(at + channel_length), 0,
                              CONMON_LOCAL_CHANNEL_MESSAGE, CONMON_KIND_EVENT};
    conmon_local_write_head(datagram, &head);
    const uint16_t type = 2, class_ = 1;
    std::memcpy(datagram + 10, &type, 2);
    std::memcpy(datagram + 12, &class_, 2);
    datagram[14] = 0;
    datagram[15] = 2;
    const size_t length = head.length;

    conmon_local_channel_event event;
    conmon_channel_message view;
    conmon_version a, b;
    uint8_t model[8];
    if (conmon_local_validate(datagram, length, CONMON_LOCAL_DEFAULT_VERSION) ||
        conmon_local_read_channel_event(datagram, length, &event) ||
        conmon_channel_message_view(event.message, event.message_length, true, &view) ||
        conmon_msg_versions_get_version_a(view.body, view.body_length, &a) ||
        conmon_msg_versions_get_version_b(view.body, view.body_length, &b) ||
        conmon_msg_versions_get_model_id(view.body, view.body_length, model))
        fail("versions not read");
    return a.build + b.bugfix + model[0] + event.channel_type;
}

const Kind kKinds[] = {
    {"routing subscribe request (0x3010, 2 records)", routing_subscribe},
    {"routing rx channel page (0x3000 reply, 16 entries)", routing_rx_page},
    {"control Send Message with CLOCKING_CONTROL", control_preferred_master},
    {"control Channel Message event with VERSIONS_STATUS", control_versions},
};

} // namespace

int main(int argc, char **argv)
{
    double seconds = 1.0;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = std::atof(argv[++i]);
    }
    if (!(seconds > 0)) {
        std::fprintf(stderr, "usage: qz_message_bench [--seconds S]\n");
        return 2;
    }
    unsigned long long all = 0;
    double all_cpu = 0, all_wall = 0;
    volatile unsigned sink = 0;
    for (const Kind &kind : kKinds) {
        // A first call checks the kind's result, then the timed loop.
        const unsigned expected = kind.run(0);
        if (kind.run(0) != expected)
            fail("a message parsed differently twice");
        unsigned long long n = 0;
        const double cpu0 = now(CLOCK_THREAD_CPUTIME_ID), wall0 = now(CLOCK_MONOTONIC);
        double cpu = 0;
        do {
            for (unsigned k = 0; k < 4096; ++k)
                sink = sink + kind.run(unsigned(n + k));
            n += 4096;
            cpu = now(CLOCK_THREAD_CPUTIME_ID) - cpu0;
        } while (cpu < seconds);
        const double wall = now(CLOCK_MONOTONIC) - wall0;
        std::printf("{\"kind\": \"%s\", \"messages\": %llu, \"cpu_s\": %.4f, \"wall_s\": %.4f, \"per_s\": %.0f}\n",
                    kind.name, n, cpu, wall, double(n) / cpu);
        all += n;
        all_cpu += cpu;
        all_wall += wall;
    }
    std::printf("{\"kind\": \"all\", \"messages\": %llu, \"cpu_s\": %.4f, \"wall_s\": %.4f, \"per_s\": %.0f}\n", all,
                all_cpu, all_wall, double(all) / all_cpu);
    return sink == 0xFFFFFFFFu ? 1 : 0;
}
