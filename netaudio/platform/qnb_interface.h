// The library's view of the PC's IPv4 network interfaces.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_socket.h"

struct qnb_env;

enum { QNB_INTERFACE_NAME_UNITS = 64 };

enum qnb_interface_kind {
    QNB_INTERFACE_UNKNOWN = 0,
    QNB_INTERFACE_WIRED = 1,
    QNB_INTERFACE_LOOPBACK = 2,
    QNB_INTERFACE_WIRELESS = 3,
    QNB_INTERFACE_VIRTUAL = 4,
    QNB_INTERFACE_IEEE1394 = 5,
    QNB_INTERFACE_BLUETOOTH = 6
};

struct qnb_interface {
    char16_t name[QNB_INTERFACE_NAME_UNITS]; // at most 63 units, always terminated
    uint32_t index;
    uint32_t kind;
    uint8_t mac[6];
    qnb_sockaddr address; // first unicast address; empty when none
    qnb_sockaddr netmask;
    uint32_t link_speed; // Mbit/s, 0 when down or unknown
    uint32_t up;
    uint32_t loopback;
    uint32_t multicast;
    uint32_t pktinfo_index;
    qnb_sockaddr gateway;
    qnb_sockaddr dns_server;
    char dns_suffix[64];
    char adapter_name[256];
};

// Builds the list of the PC's network interfaces, sorted by kind, then by index. With an env,
// warnings and debug lines go to its logger; without one nothing is logged. The caller owns the
// array and frees it with free(). A PC without interfaces gives 0 with an empty list (null array).
qnb_error qnb_interface_list_with_env(qnb_env *env, qnb_interface **out, size_t *count);

// Copies the record with this index (`out` may be null to test for it); QNB_ERR_NOTFOUND when none.
qnb_error qnb_interface_get_by_index(qnb_interface *out, uint32_t index);
// Copies the first loopback interface (in sorted order); QNB_ERR_NOTFOUND when none.
qnb_error qnb_interface_get_loopback(qnb_interface *out);

// An entry of qnb_interface_resolve: look up by name (flag 1) or by index (flag 2); after the call
// the flags are 3 when the entry was found and 0 otherwise.
enum {
    QNB_INTERFACE_RESOLVE_BY_NAME = 1,
    QNB_INTERFACE_RESOLVE_BY_INDEX = 2,
    QNB_INTERFACE_RESOLVE_FOUND = 3
};
struct qnb_interface_resolve_entry {
    uint32_t flags;
    char16_t name[QNB_INTERFACE_NAME_UNITS];
    uint32_t index;
};
// Fills each entry's index (by name, exact) or name (by index). QNB_ERR_INVALIDPARAMETER for no
// entries, QNB_ERR_NOTFOUND when the PC has no interface at all, else 0: a missing interface is
// reported only through its entry's flags.
qnb_error qnb_interface_resolve(void *unused, qnb_interface_resolve_entry *entries, size_t count);

// Resolves a host and service for UDP. Family 0 takes the first IPv4 result (QNB_ERR_NODATA when
// there is none); AF_INET the first result; other families are not supported (the record holds
// IPv4 only).
qnb_error qnb_getaddrinfo(qnb_sockaddr *out, int family, const char *host, const char *service);

// The IPv4 netmask (network order) of a prefix length: n leading one bits, 0 for 0, all ones for
// 32 and above.
uint32_t qnb_interface_netmask_from_prefix(unsigned prefix);

// Where the list comes from. `root` is prefixed to /sys/class/net, /sys/devices, /proc/net/route
// and /etc/resolv.conf (empty or null: the real ones); `get`/`release` replace getifaddrs and
// freeifaddrs (null: the system's). Tests describe wired, wireless, virtual and loopback
// interfaces with them.
struct ifaddrs;
typedef int (*qnb_interface_addrs_fn)(struct ifaddrs **list);
typedef void (*qnb_interface_free_addrs_fn)(struct ifaddrs *list);
void qnb_interface_set_source(const char *root, qnb_interface_addrs_fn get,
                              qnb_interface_free_addrs_fn release);
