// Where a routing device is reached: its address set, one entry per interface or configured
// address. In the ad-hoc network each entry is filled by resolving the device's routing service
// through DNS-SD (and, when the service names a host that is not this PC, by querying its IPv4
// address); a device opened by addresses has its entries fixed at open. A resolve that fails is
// started again WR_RESOLVE_RETRY_S seconds later.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_socket.h"
#include "netaudio/platform/qnb_socket_set.h"
#include "netaudio/platform/qnb_time.h"

struct wt_dnssd_ref;
struct wr_device;
struct wr_device_addresses;

enum {
    WR_ADDRESS_RESOLVED = 1,
    WR_ADDRESS_RESOLVING = 2,
    WR_ADDRESS_QUERYING = 4
};

enum { WR_HOST_TARGET_SIZE = 1010, WR_RESOLVE_RETRY_S = 5 };

#define WR_ROUTING_SERVICE_TYPE "_netaudio-arc._udp."
#define WR_ROUTING_SERVICE_DOMAIN "local"

struct wr_device_address {
    uint32_t flags;
    uint32_t interface_index;       // asked for (0 = any)
    uint32_t fixed_interface_index; // from the first reply (0 = none yet)
    wt_dnssd_ref *ref;
    int sock;
    char host_target[WR_HOST_TARGET_SIZE];
    uint16_t port;         // host order; 0 = none yet
    qnb_sockaddr address;  // set when WR_ADDRESS_RESOLVED
    uint16_t query_port;   // host order
    bool retry_pending;    // a failed resolve is started again at retry_at
    qnb_timeval retry_at;
    bool loop_ready;       // event-loop mode: the socket was readable, the wake-up processes it
    wr_device_addresses *set;
};

struct wr_device_addresses {
    wr_device *device;
    size_t count;
    wr_device_address *entries;
    qnb_error pending_error;
};

qnb_error wr_device_addresses_new(wr_device *device, size_t count, wr_device_addresses **out);
void wr_device_addresses_delete(wr_device_addresses *set);

qnb_error wr_device_addresses_resolve_address_at_index(wr_device_addresses *set, size_t index,
                                                       uint32_t interface_index);
// Stores {address, port} (host order; IPv4 address in network order) or, with none, clears it.
qnb_error wr_device_addresses_set_address(wr_device_addresses *set, size_t index, const qnb_sockaddr *address);
qnb_error wr_device_addresses_process_sockets(wr_device_addresses *set, qnb_socket_set *ready, bool *changed);
qnb_error wr_device_address_process_socket(wr_device_address *entry, bool *changed);
qnb_error wr_device_addresses_get_sockets(const wr_device_addresses *set, qnb_socket_set *set_out);
size_t wr_device_addresses_count_resolved(const wr_device_addresses *set);
// Event-loop mode: moves the sockets found readable into `ready` (clearing their marks), and
// withdraws every socket from the loop (a closed device; the operations end with the set).
void wr_device_addresses_take_ready(wr_device_addresses *set, qnb_socket_set *ready);
void wr_device_addresses_withdraw(wr_device_addresses *set);
// True when `source` equals the address and port of a resolved entry.
bool wr_device_addresses_match(const wr_device_addresses *set, const qnb_sockaddr *source);
// Restarts resolves whose retry time has passed; `changed` is set when one started.
qnb_error wr_device_addresses_check_retries(wr_device_addresses *set, const qnb_timeval *now, bool *changed);
bool wr_device_addresses_next_deadline(const wr_device_addresses *set, qnb_timeval *out);

// Reads "arcp_vers" and "router_vers" of a TXT record into the device.
qnb_error wr_device_extract_arcp_info(wr_device *device, uint16_t txt_length, const void *txt);
// Starts a domain lookup of the device's open name (managed domains only).
qnb_error wr_device_lookup_start(wr_device *device);
// Cancels the device's pending domain lookup, if any.
void wr_device_lookup_cancel(wr_device *device);
// A domain lookup's answer: with an address for the routing service, a RESOLVING device takes the
// domain address and the TXT versions and becomes RESOLVED; without one it goes to ERROR.
qnb_error wr_device_lookup_result(wr_device *device, bool has_address, const char *service,
                                  const uint32_t *domain_address, uint16_t txt_length, const void *txt);
// A lookup that failed with `failure_state` puts the device into ERROR ("Lookup Failure").
void wr_device_lookup_failed(wr_device *device, uint32_t failure_state);
