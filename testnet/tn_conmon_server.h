// A simulated local control-and-monitoring server with the devices behind it: the peer of the
// control-and-monitoring client over real UDP sockets on the loopback interface. It speaks the
// local link (host byte order, 10-byte head): Connect in both forms, Register/Deregister,
// Subscribe/Unsubscribe (global and per device), Send Message and the smaller requests; its devices
// answer the queries and controls the service layer sends, in channel messages (24-byte big-endian
// head) carried by Channel Message or Named Channel Message events. It also sends Subscriptions
// Changed events when a device comes or goes, property-change messages and a reboot cycle.
//
// It is driven like tn_config_service: put tn_conmon_server_get_socket into a read set, or call
// tn_conmon_server_process from the test between calls of the client. Every delay (answers,
// reboot) is read from the library clock, so a fake clock drives it too. On request it misbehaves:
// silence, requests left unanswered, silent devices, delayed answers, the old server form, named
// channel messages, three interface records, loss and duplication. Its choices are written down in
// testnet/README.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_socket.h"

struct tn_conmon_server;

enum {
    TN_CONMON_DEFAULT_PORT = 8900,
    TN_CONMON_DEFAULT_VERSION = 0x1503,
    TN_CONMON_MAX_MESSAGE = 6940,
    TN_CONMON_MAX_INTERFACES = 4, // interface records the server reports in its Connect response
    TN_CONMON_MAX_DEVICES = 128,
    TN_CONMON_MAX_CLIENTS = 16,   // the oldest is forgotten when a further one connects
    TN_CONMON_MAX_RATES = 8,
    TN_CONMON_NAME_SIZE = 32,     // device names: at most 31 characters
    TN_CONMON_TEXT_SIZE = 128,    // manufacturer and model names: at most 127 characters
    TN_CONMON_BODY_VERSION = 0x0726,
    TN_CONMON_STATUS_CONNECTED = 17,   // subscription status of a device that is present
    TN_CONMON_STATUS_DISCONNECTED = 16 // ... and of one that is gone
};

// Local-link opcodes the server handles.
enum {
    TN_CONMON_OP_KEEPALIVE = 0x0000,
    TN_CONMON_OP_CONNECT = 0x0100,
    TN_CONMON_OP_DISCONNECT = 0x0101,
    TN_CONMON_OP_SET_NAME = 0x0200,
    TN_CONMON_OP_SET_REMOTE_CONTROL = 0x0210,
    TN_CONMON_OP_REGISTER = 0x0300,
    TN_CONMON_OP_DEREGISTER = 0x0301,
    TN_CONMON_OP_SUBSCRIBE = 0x0310,
    TN_CONMON_OP_UNSUBSCRIBE = 0x0311,
    TN_CONMON_OP_TX_METERING_ON = 0x0320,
    TN_CONMON_OP_TX_METERING_OFF = 0x0321,
    TN_CONMON_OP_CLEAR_REMOTE = 0x0330,
    TN_CONMON_OP_SEND_MESSAGE = 0x0400,
    TN_CONMON_OP_CHANNEL_MESSAGE = 0x0510,
    TN_CONMON_OP_NAMED_CHANNEL_MESSAGE = 0x0511,
    TN_CONMON_OP_SUBSCRIPTIONS_CHANGED = 0x0521
};

// One network of the server's Connect response. `address` and `netmask` are in network order.
struct tn_conmon_interface {
    uint32_t index;
    uint32_t address;
    uint32_t netmask;
    uint32_t link_speed; // Mbit/s; 0 = link down
    char name[64];
};

// A packed version as the devices report it: major.minor.bugfix.build.
struct tn_conmon_version {
    uint8_t major;
    uint8_t minor;
    uint16_t bugfix;
    uint32_t build;
};

// A simulated device: what it reports and the state that controls change. A test may read and
// change every field of a device it got from tn_conmon_server_device (changes take effect on the
// next answer; tn_conmon_server_property_change tells the clients).
struct tn_conmon_device {
    char name[TN_CONMON_NAME_SIZE];
    uint8_t device_id[8]; // the source id of its channel messages and of its subscription records
    uint16_t process;
    uint16_t instance; // the id of its subscription records
    uint16_t body_version;
    // VERSIONS_STATUS
    uint8_t model_id[8];
    tn_conmon_version firmware;
    tn_conmon_version software;
    uint32_t capabilities; // 0x1000: manufacturer versions are to be asked
    // MANF_VERSIONS_STATUS
    uint8_t manufacturer_id[8];
    uint8_t manufacturer_model_id[8];
    char manufacturer_name[TN_CONMON_TEXT_SIZE];
    char model_name[TN_CONMON_TEXT_SIZE]; // "KTV4-S" or "RQA-310"
    tn_conmon_version manufacturer_firmware;
    tn_conmon_version manufacturer_software;
    // INTERFACE_STATUS (one or two interfaces); addresses in network order
    unsigned interface_count;
    uint8_t mac[2][6];
    uint32_t address[2];
    uint32_t netmask[2];
    uint16_t link_speed[2];
    // Sample rate
    uint32_t rate;
    unsigned rate_count;
    uint32_t rates[TN_CONMON_MAX_RATES];
    // Clocking, lock, AES67
    bool preferred_master;
    bool locked;
    bool aes67_enabled;
    bool aes67_reboot_needed;
    // Behaviour
    bool online;        // present on the network (subscriptions report it connected)
    bool silent;        // sends nothing at all
    uint32_t reboot_ms; // how long a reboot keeps it away
    // What it received (for tests)
    unsigned reboots;
    uint16_t last_type;   // vendor body type of the last control message received
    uint16_t reset_mode;  // mode of the last SYS_RESET
    unsigned control_count;
    // Control messages of the kinds that ask for a property (SRATE_CONTROL, CLOCKING_CONTROL, the
    // AES67 and lock queries) sent to it, counted as they reach the server's socket: before the
    // impairment of a lossy link, so that those it loses count too.
    unsigned questions;
};

// A server bound to 127.0.0.1:`port` (0: an ephemeral port), without devices, version 0x1503,
// device name "PC-CONMON", one interface record (loopback). Null when the socket cannot be opened;
// `error` (may be null) receives the reason.
tn_conmon_server *tn_conmon_server_new(uint16_t port, qnb_error *error);
void tn_conmon_server_delete(tn_conmon_server *srv);

uint16_t tn_conmon_server_get_port(const tn_conmon_server *srv);
qnb_socket tn_conmon_server_get_socket(const tn_conmon_server *srv);

// Identity of the server. A version below 0x1400 is an old server: it refuses the 44-byte Connect
// with "Invalid size" and speaks the older forms.
qnb_error tn_conmon_server_set_version(tn_conmon_server *srv, uint16_t version);
qnb_error tn_conmon_server_set_name(tn_conmon_server *srv, const char *name);
qnb_error tn_conmon_server_set_device_id(tn_conmon_server *srv, const uint8_t id[8], uint16_t process);
qnb_error tn_conmon_server_set_flags(tn_conmon_server *srv, uint16_t flags);
// The interface records of the Connect response (at most TN_CONMON_MAX_INTERFACES; 0 allowed).
qnb_error tn_conmon_server_set_interfaces(tn_conmon_server *srv, const tn_conmon_interface *records, unsigned count);

// Devices. A new device gets the defaults of its model (tn_conmon_device_defaults); names must be
// 1 to 31 characters without '.', '=' or '@' and unique.
void tn_conmon_device_defaults(tn_conmon_device *dev, const char *name, const char *model, unsigned unit);
qnb_error tn_conmon_server_add_device(tn_conmon_server *srv, const tn_conmon_device *dev);
// Null when there is no such device. The pointer stays valid until the device is removed.
tn_conmon_device *tn_conmon_server_device(tn_conmon_server *srv, const char *name);
unsigned tn_conmon_server_device_count(const tn_conmon_server *srv);
qnb_error tn_conmon_server_remove_device(tn_conmon_server *srv, const char *name);
// Reads a device description (see testnet/README.md), from a file or from text.
qnb_error tn_conmon_server_load_file(tn_conmon_server *srv, const char *path);
qnb_error tn_conmon_server_load_text(tn_conmon_server *srv, const char *text);
// The installation used when no description is given: one KTV4-S and one RQA-310.
extern const char *const tn_conmon_default_devices;

// Unsolicited traffic.
// A device comes (online) or goes: a Subscriptions Changed event with status 17 or 16 goes to
// every client subscribed to it.
qnb_error tn_conmon_server_set_online(tn_conmon_server *srv, const char *name, bool online);
// A Subscriptions Changed event with any status for the device.
qnb_error tn_conmon_server_send_subscription_status(tn_conmon_server *srv, const char *name, uint16_t status);
// A PROPERTY_CHANGE (0x106) status message from the device.
qnb_error tn_conmon_server_property_change(tn_conmon_server *srv, const char *name);
// Any status body from the device (8-byte vendor head included), e.g. one a test built.
qnb_error tn_conmon_server_send_status(tn_conmon_server *srv, const char *name, const void *body, size_t length);

// Behaviour on request.
// Silent: every datagram is read and counted; nothing is sent.
void tn_conmon_server_set_silent(tn_conmon_server *srv, bool silent);
// Requests of `opcode` are read and counted but never answered (their effect still happens).
void tn_conmon_server_set_unanswered(tn_conmon_server *srv, uint16_t opcode, bool unanswered);
// Requests of `opcode` from a connected client are answered with `kind` (11: "Invalid State", as
// if the server did not know the link) and have no effect; kind 0 ends it.
void tn_conmon_server_refuse(tn_conmon_server *srv, uint16_t opcode, uint16_t kind);
// The next `n` global Subscribe requests are lost on the way in: counted, never answered, without
// effect (0: none).
void tn_conmon_server_lose_global_subscribes(tn_conmon_server *srv, unsigned n);
// The next `n` datagrams of `opcode` that arrive (TN_CONMON_LOSE_IN: requests of the client) or
// leave (TN_CONMON_LOSE_OUT: answers and events) are lost on the way, before any lossy link:
// one lost on the way in is counted as received (tn_conmon_server_request_count,
// tn_conmon_server_received) but has no effect and gets no answer. A further call for the same
// opcode and way replaces the count (0: none).
enum tn_conmon_way { TN_CONMON_LOSE_IN, TN_CONMON_LOSE_OUT };
void tn_conmon_server_lose(tn_conmon_server *srv, tn_conmon_way way, uint16_t opcode, unsigned n);
// Datagrams read from the server's socket so far, those lost on the way in included.
unsigned long tn_conmon_server_received(const tn_conmon_server *srv);
// Device answers go out `ms` after the control message arrived.
void tn_conmon_server_set_reply_delay_ms(tn_conmon_server *srv, uint32_t ms);
// Device messages are carried in Named Channel Message (0x0511) events instead of 0x0510.
void tn_conmon_server_set_named_messages(tn_conmon_server *srv, bool named);
// Every `n`th datagram the server sends is lost, or sent twice (0: never). Counted separately.
void tn_conmon_server_set_loss(tn_conmon_server *srv, unsigned every_nth);
void tn_conmon_server_set_duplication(tn_conmon_server *srv, unsigned every_nth);
// A lossy local link: each datagram that arrives or leaves is lost, duplicated or held back behind the
// next one with these chances in percent (tn_impair), both directions seeded from `seed`. All 0: off.
void tn_conmon_server_set_impairment(tn_conmon_server *srv, unsigned loss_pct, unsigned duplicate_pct,
                                     unsigned reorder_pct, uint64_t seed);
// Datagrams the impairment has lost, duplicated or reordered so far, both directions together.
unsigned long tn_conmon_server_impaired(const tn_conmon_server *srv);
// One line per datagram that the server handles or sends (null: off).
void tn_conmon_server_set_trace(tn_conmon_server *srv, FILE *out);
// Forgets every connected client, as a restarted server would.
void tn_conmon_server_forget_clients(tn_conmon_server *srv);

// Restarts the server as a real restart would: the socket is closed at once (the clients' next
// sends draw port-unreachable reports), every client is forgotten with its registrations and
// subscriptions, answers still waiting are dropped, and `down_ms` later on the library clock (0: at
// once) the server listens on the same port again with the same devices.
qnb_error tn_conmon_server_restart(tn_conmon_server *srv, uint32_t down_ms);
// False from a restart until the socket is open again.
bool tn_conmon_server_is_up(const tn_conmon_server *srv);
unsigned tn_conmon_server_restart_count(const tn_conmon_server *srv);

// Reads and answers every waiting datagram, then sends what has become due (delayed answers,
// devices back from a reboot).
qnb_error tn_conmon_server_process(tn_conmon_server *srv);
// Waits at most `timeout_ms` for a datagram, then processes.
qnb_error tn_conmon_server_poll(tn_conmon_server *srv, int timeout_ms);

// What the server saw.
unsigned tn_conmon_server_request_count(const tn_conmon_server *srv, uint16_t opcode);
unsigned tn_conmon_server_client_count(const tn_conmon_server *srv);
// Whether the client that connected last (the only one, mostly; the one a client's new link made
// when its old link's Disconnect was lost) registered (type, class), holds the global subscription
// of `type`, or subscribed `type` for the device `name`.
bool tn_conmon_server_is_registered(const tn_conmon_server *srv, uint16_t type, uint16_t cls);
bool tn_conmon_server_is_subscribed(const tn_conmon_server *srv, uint16_t type, const char *name);
// Datagrams sent so far (lost ones not counted).
unsigned tn_conmon_server_sent_count(const tn_conmon_server *srv);
