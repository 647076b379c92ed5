// Routing responses through the container's receive entry point, with a device opened on loopback.
// The input is a script of steps {u8 action, u16 length, bytes}: when the device has no request in
// flight the action starts one (capabilities, an update of one kind, a batch subscribe, a
// performance change); the bytes are then handed over as the datagram that answers it. Unless the
// action's top bit is set, the datagram's sequence number and opcode are those of the request in
// flight, so that the handlers (rather than the pairing) get the input.
#include <initializer_list>
#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "netaudio/messaging/wgcp_buffer.h"
#include "netaudio/routing/wr_device.h"
#include "netaudio/routing/wr_devices.h"

namespace {

struct fixture {
    wr_devices *devices = nullptr;
    qnb_socket peer = QNB_SOCKET_INVALID; // stands for the device: what it receives is dropped
    qnb_sockaddr address;
    bool ok = false;

    fixture()
    {
        if (wr_devices_new(nullptr, &devices) != 0 || qnb_socket_open_udp(&peer, AF_INET) != 0)
            return;
        qnb_sockaddr any;
        qnb_sockaddr_set(&any, htonl(INADDR_LOOPBACK), 0);
        ok = qnb_socket_bind(peer, &any) == 0 && qnb_socket_get_name(peer, &address) == 0;
    }

    void drain()
    {
        uint8_t b[1500];
        for (int i = 0; i < 64; ++i) {
            qnb_socket_set set;
            qnb_socket_set_clear(&set);
            qnb_socket_set_add(&set, peer);
            unsigned ready = 0;
            if (qnb_socket_set_wait(&set, 0, &ready) != 0 || ready == 0)
                return;
            size_t n = sizeof b;
            qnb_sockaddr from;
            if (qnb_socket_recvfrom(peer, b, &n, &from) != 0)
                return;
        }
    }
};

void done(wr_device *, wr_request *, qnb_error) {}

wr_request *in_flight(wr_devices *devices, wr_device *device)
{
    for (uint32_t i = 0; i < devices->requests.capacity; ++i) {
        wr_request *r = &devices->requests.slots[i];
        if (r->in_use && r->context == device)
            return r;
    }
    return nullptr;
}

void start(wr_device *device, uint8_t action)
{
    static const wr_batch_item items[] = {
        {1, "ch1", "dev-a"}, {2, "", ""}, {3, "01", "dev-b"}, {64, "x", "."},
    };
    unsigned which = action % 9u;
    if (which == 0)
        wr_device_query_capabilities(device, done, nullptr);
    else if (which <= WR_UPDATE_KINDS)
        wr_device_update(device, done, nullptr, which - 1);
    else if (which == 7)
        wr_device_batch_subscribe(device, done, nullptr, 1 + action % 4u, items);
    else
        wr_device_set_unicast_performance_us(device, 1000u * (action & 7u), 16, done, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static fixture f;
    if (!f.ok)
        return 0;
    wr_device_config cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.flags = WR_CONFIG_ADDRESSES;
    cfg.count = 1;
    cfg.addresses[0].address = htonl(INADDR_LOOPBACK);
    cfg.addresses[0].port = qnb_sockaddr_get_port(&f.address);
    wr_device *device = nullptr;
    if (wr_device_open_with_config(f.devices, &cfg, &device) != 0)
        return 0;
    qnb_sockaddr source;
    qnb_sockaddr_set(&source, htonl(INADDR_LOOPBACK), qnb_sockaddr_get_port(&f.address));

    size_t at = 0;
    for (int step = 0; step < 64 && at + 3 <= size; ++step) {
        uint8_t action = data[at];
        size_t n = size_t(data[at + 1]) << 8 | data[at + 2];
        at += 3;
        if (n > size - at)
            n = size - at;
        wr_request *r = in_flight(f.devices, device);
        if (!r) {
            start(device, action);
            r = in_flight(f.devices, device);
        }
        std::vector<uint8_t> datagram(data + at, data + at + n);
        at += n;
        if (r && !(action & 0x80) && datagram.size() >= 10) {
            wgcp_store_be16(&datagram[4], r->seqnum);
            wgcp_store_be16(&datagram[6], wgcp_header_get_opcode(r->packet.packet));
            if (wgcp_load_be16(&datagram[8]) == 0)
                wgcp_store_be16(&datagram[8], 1);
        }
        wr_devices_process_socket_message(f.devices, datagram.data(), datagram.size(), &source);
    }
    wr_device_close(device);
    f.drain();
    return 0;
}
