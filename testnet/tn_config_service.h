// A simulated local configuration service: the peer of cmm_client over real UDP sockets on the
// loopback interface. It knows a list of network interfaces (from a description file or from the
// test), which of them carries audio, and which local programs are connected and hold its lock; it
// answers the state query (connect), keepalives, the disconnect and SET_CONFIG, sends the options
// and state notifications, and walks a configuration change through "Changing" to "Ready".
//
// It is driven like the library's clients: put tn_config_service_get_socket into a read set, or
// simply call tn_config_service_process from the test between calls of the client. Every time
// (the Changing -> Ready delay) is read from the library clock, so a fake clock drives it too.
// On request it misbehaves: silence, error statuses, a lock held by another process, truncated,
// duplicated or mis-numbered answers. The choices it makes are written down in testnet/README.md.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/conmon/cmm_codec.h"
#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_socket.h"

struct tn_config_service;

// Ways to misbehave on answers (responses to requests).
enum tn_config_fault {
    TN_CONFIG_FAULT_NONE = 0,
    TN_CONFIG_FAULT_TRUNCATE = 1,     // the answer is cut short (its length field no longer matches)
    TN_CONFIG_FAULT_WRONG_SEQNUM = 2, // the answer carries another sequence number
    TN_CONFIG_FAULT_DUPLICATE = 3     // the answer is sent twice
};

enum {
    TN_CONFIG_MAX_INTERFACES = 64, // the service may know more interfaces than a client keeps
    TN_CONFIG_MAX_CLIENTS = 8,
    TN_CONFIG_FOREIGN_PID = 424242
};

// A service bound to 127.0.0.1:`port` (0: an ephemeral port). Null when the socket cannot be
// opened; `error` (may be null) receives the reason.
tn_config_service *tn_config_service_new(uint16_t port, qnb_error *error);
void tn_config_service_delete(tn_config_service *svc);

uint16_t tn_config_service_get_port(const tn_config_service *svc);
qnb_socket tn_config_service_get_socket(const tn_config_service *svc);

// Interfaces. Names are UTF-8 (at most 63 UTF-16 units are kept). Adding an interface sends the
// new options to every connected client.
qnb_error tn_config_service_add_interface(tn_config_service *svc, const char *name, const uint8_t mac[6]);
qnb_error tn_config_service_clear_interfaces(tn_config_service *svc);
// Makes the interface with `mac` the current one (status Ready), or none with a null `mac` (status
// Invalid Config). Sends the state to every connected client.
qnb_error tn_config_service_set_current(tn_config_service *svc, const uint8_t *mac);
qnb_error tn_config_service_set_device_name(tn_config_service *svc, const char *name);
// Reads a description file (see testnet/README.md): interface, current and device lines.
qnb_error tn_config_service_load_file(tn_config_service *svc, const char *path);
// The same from text (lines separated by '\n').
qnb_error tn_config_service_load_text(tn_config_service *svc, const char *text);

// Behaviour on request.
// Silent: every datagram is read and dropped; nothing is sent.
void tn_config_service_set_silent(tn_config_service *svc, bool silent);
// Answers requests of `opcode` with `status` (0 restores the normal answer).
void tn_config_service_set_status(tn_config_service *svc, uint16_t opcode, uint16_t status);
// Another process holds the lock: it appears in the process list with its lock flag set, and
// SET_CONFIG is refused with "Invalid State".
qnb_error tn_config_service_set_foreign_lock(tn_config_service *svc, bool held);
void tn_config_service_set_fault(tn_config_service *svc, tn_config_fault fault);
// Time from the "Changing" state to the "Ready" state of a configuration change.
void tn_config_service_set_change_delay_ms(tn_config_service *svc, uint32_t ms);
// Forgets every connected client, as a restarted service would.
void tn_config_service_forget_clients(tn_config_service *svc);

// Restarts the service as a real restart would: the socket is closed at once, every client is
// forgotten with its lock, and `down_ms` later on the library clock (0: at once) the service
// listens on the same port again. Its interfaces and configuration are the system's and stay.
qnb_error tn_config_service_restart(tn_config_service *svc, uint32_t down_ms);
// False from a restart until the socket is open again.
bool tn_config_service_is_up(const tn_config_service *svc);
unsigned tn_config_service_restart_count(const tn_config_service *svc);

// Reads and answers every waiting datagram, then completes a change whose delay has passed.
qnb_error tn_config_service_process(tn_config_service *svc);
// Waits at most `timeout_ms` for a datagram, then processes.
qnb_error tn_config_service_poll(tn_config_service *svc, int timeout_ms);

// What the service saw and holds.
unsigned tn_config_service_request_count(const tn_config_service *svc, uint16_t opcode);
unsigned tn_config_service_client_count(const tn_config_service *svc);
const cmm_state *tn_config_service_get_state(const tn_config_service *svc);
unsigned tn_config_service_interface_count(const tn_config_service *svc);
// The MAC and the name (as it was given, cut to `capacity`, terminated) of the listed interface
// `index`; false beyond the count.
bool tn_config_service_interface_at(const tn_config_service *svc, unsigned index, uint8_t mac[6], char *name,
                                    size_t capacity);
// The last SET_CONFIG record received; false when none.
bool tn_config_service_last_set_config(const tn_config_service *svc, cmm_set_config *out);

// UTF-8 -> UTF-16 into `out` of `capacity` units, cut and terminated; invalid bytes become U+FFFD.
size_t tn_utf8_to_utf16(const char *text, char16_t *out, size_t capacity);
// "00:11:22:aa:bb:cc" (or '-' separated) -> 6 bytes.
bool tn_parse_mac(const char *text, uint8_t mac[6]);
