// A fake managed-domain server behind a domain handler. Tests put its handler into the
// environment's domain hook; the library's domain clients register with it and send their
// typed-record messages through it. Messages are queued and answered by pump(), never from
// inside a send, so that no reply re-enters a client while it is still building a message.
//
// What it plays:
// - domain requests (0x2009): a browse (no name) is acknowledged and kept open; every device
//   published while it is open is sent to it as a result (0x200B) carrying the device record. A
//   lookup (a name) is answered with one non-final result for a known device, or a status reply
//   (`lookup_failure_status`) for an unknown one.
// - cancels (0x200A) close the request; their ids are kept in `cancelled`.
// - responses to its results: their statuses are kept in `result_statuses`.
// - control-and-monitoring requests (0x2002 control message, 0x2010 registration, 0x2011
//   subscription, 0x2012 hello): kept in `conmon_requests`; while `answer_conmon` is set each is
//   answered with `conmon_status` (layouts in netaudio/conmon/conmon_client_domain.h).
// - relay records (0x2004, layout in netaudio/routing/wr_devices.h): the routing message goes by
//   UDP to the device with that domain address (127.0.0.1:relay_port, e.g. a simulated routing
//   device), and each datagram coming back from there is wrapped into an answer to the request it
//   replies to. A device without a relay port, or any device while `relay_failure_status` is set,
//   gets a transport error instead. pump() collects the datagrams that have arrived by then; a test
//   lets the device answer between two pumps.
// The server's domain (id, flags) and connection state (the handler's state word and token) change
// through set_domain(), which announces the change to every client.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "netaudio/discovery/domain_client.h"
#include "netaudio/platform/qnb_socket.h"

struct qnb_env;

struct fake_domain_service {
    std::string type; // "_netaudio-arc._udp", "_netaudio-cmc._udp", "_netaudio-via._tcp"
    std::string txt;  // raw TXT record bytes (length-prefixed entries); empty: withdrawn
    uint16_t port = 0;
};

struct fake_domain_device {
    std::string name;
    std::string model; // empty: the record carries no model text
    bool has_address = true;
    uint32_t address[2] = {0, 0}; // the device's address in the domain
    std::vector<fake_domain_service> services;
    uint16_t relay_port = 0; // where routing messages for it are relayed (127.0.0.1); 0: unreachable
};

// Builds a TXT record from "key=value" entries.
std::string fake_domain_txt(const std::vector<std::string> &entries);

class fake_domain_server {
public:
    struct conmon_request {
        uint16_t type;
        uint16_t seqnum;
        std::vector<uint8_t> bytes; // the whole message
    };
    struct open_request {
        uint16_t client;
        uint32_t request_id;
        uint16_t mode;
        std::string name;
    };

    fake_domain_server();
    ~fake_domain_server();
    fake_domain_server(const fake_domain_server &) = delete;
    fake_domain_server &operator=(const fake_domain_server &) = delete;

    // Puts the handler into (or takes it out of) the environment's domain hook.
    void attach(qnb_env *env);
    void detach(qnb_env *env);

    // Changes the server's domain and connection state and announces it (event kind 2).
    void set_domain(const uint8_t id[DOMAIN_ID_SIZE], uint32_t flags, uint32_t connection);
    // Answers every queued message (and those its answers cause).
    void pump();
    // Adds or replaces a device and sends it to every open browse.
    void publish(const fake_domain_device &device);
    // Sends a record without info or services (the device is gone) to every open browse.
    void withdraw(const std::string &name);
    // Ends an open request with a final result without a device.
    void finish(uint32_t request_id);

    domain_handler handler;
    domain_info domain;
    uint32_t connection = 1; // 2: connected
    uint16_t lookup_failure_status = 5;
    bool lookups_final = false; // a lookup's result also ends it
    bool fail_transport = false; // every send is refused with QNB_ERR_NOTCONN
    std::vector<fake_domain_device> devices;
    std::vector<open_request> open;
    std::vector<uint32_t> cancelled;
    std::vector<uint16_t> result_statuses;
    std::vector<conmon_request> conmon_requests;
    bool answer_conmon = false;
    uint16_t conmon_status = 0;
    uint32_t messages_received = 0;
    uint16_t unreachable_status = 4;   // transport error for a device without a relay port
    uint16_t relay_failure_status = 0; // non-zero: every relay record is answered with it
    uint32_t relayed = 0;              // routing messages passed on to devices
    // Sees (and may change) every reply and its source address before it is wrapped.
    std::function<void(std::vector<uint8_t> &reply, uint32_t from[2])> relay_edit;

private:
    struct link {
        fake_domain_server *server;
        uint16_t client;
    };
    struct message {
        uint16_t client;
        std::vector<uint8_t> bytes;
    };
    static void current_domain(void *user, domain_info *out);
    static uint32_t state(void *user);
    static uintptr_t token(void *user);
    static bool channel(void *user, domain_client *client, tlv_transport *out);
    static qnb_error transport(void *user, const uint8_t *data, size_t length);

    void handle(const message &m);
    void deliver(uint16_t client, const uint8_t *data, size_t length);
    void send_result(const open_request &request, const fake_domain_device *device, bool withdrawn,
                     const std::string &name, bool final);
    void send_status(uint16_t client, const std::vector<uint8_t> &request, uint16_t seqnum, uint16_t status,
                     uint16_t type = TLV_RECORD_DOMAIN_REQUEST);

    struct relay {
        uint16_t client;
        uint16_t request_id;
        uint16_t port;
        uint16_t seqnum; // of the routing message
        uint32_t address[2];
        std::vector<uint8_t> request; // the relay record, for the answer's ids
    };
    void handle_relay(const message &m, const tlv_view &view);
    void send_relay_answer(const relay &r, uint16_t status, const std::vector<uint8_t> &reply);
    bool drain_relay();

    std::deque<link> links_;
    std::deque<relay> relays_;
    qnb_socket relay_socket_ = QNB_SOCKET_INVALID;
    std::deque<message> inbox_;
    uint32_t next_sequence_ = 1;
};
