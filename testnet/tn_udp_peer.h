// A bare UDP endpoint on the loopback interface for tests: it sends whatever bytes a test builds
// (well-formed or not) and receives with a bounded wait, so a test can play any peer of a client.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_socket.h"

struct tn_udp_peer {
    qnb_socket sock;
    uint16_t port;
    qnb_sockaddr last_source; // source of the last datagram received
};

// Binds 127.0.0.1:`port` (0: an ephemeral port), non-blocking.
qnb_error tn_udp_peer_open(tn_udp_peer *peer, uint16_t port);
void tn_udp_peer_close(tn_udp_peer *peer);
// Sends to 127.0.0.1:`port`.
qnb_error tn_udp_peer_send(tn_udp_peer *peer, const void *data, size_t size, uint16_t port);
// Sends back to the source of the last datagram received.
qnb_error tn_udp_peer_reply(tn_udp_peer *peer, const void *data, size_t size);
// Waits at most `timeout_ms` for a datagram; QNB_ERR_TIMEDOUT when none came.
qnb_error tn_udp_peer_receive(tn_udp_peer *peer, void *buffer, size_t *size, int timeout_ms);
// Reads and drops every waiting datagram; returns how many there were.
unsigned tn_udp_peer_drain(tn_udp_peer *peer);

// True when `sock` becomes readable (or reports an error) within `timeout_ms`.
bool tn_wait_readable(qnb_socket sock, int timeout_ms);
// The datagrams waiting in the UDP socket `sock` (any peer's, the test's own thread being the only
// reader), counted up to `limit` without taking any; 0 when they cannot be counted.
unsigned tn_datagrams_waiting(qnb_socket sock, unsigned limit);
