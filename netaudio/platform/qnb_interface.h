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
