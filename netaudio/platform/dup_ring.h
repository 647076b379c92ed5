// Duplicate-message ring: remembers the last n messages (by sequence number and sender) for a
// window of whole seconds, on up to two networks, so that a message that arrives again, or on the
// other network, is recognised as a repeat.
#pragma once

#include <cstdint>

#include "netaudio/platform/qnb_socket.h"
#include "netaudio/platform/qnb_time.h"

enum {
    DUP_RING_NETWORKS = 2,
    DUP_RING_IDENTITY_SIZE = 10 // 8-byte id + u16
};

struct dup_ring_entry {
    uint16_t key;                                // the message's sequence number
    uint8_t identity[DUP_RING_IDENTITY_SIZE];    // the sender's identity (zeros when none)
    uint16_t network_mask;                       // bit per network it was seen on; 0: free entry
    qnb_sockaddr address[DUP_RING_NETWORKS];     // the sender's address on each network
    qnb_timeval first_seen;
};

struct dup_ring {
    uint16_t count;  // entries
    uint16_t window; // whole seconds
    uint16_t next;   // the slot the next new message overwrites
    dup_ring_entry *entries;
};

// A ring of n free entries; null when n is 0 or memory runs out.
dup_ring *dup_ring_new(uint16_t n, uint16_t window_seconds);
void dup_ring_delete(dup_ring *ring);

// Records a message seen on `network` (0 or 1) from `sender` at `now` (null: the library clock).
// `identity` (DUP_RING_IDENTITY_SIZE bytes) may be null, which matches any sender.
// Returns 0 for a repeat within the window (the network's bit and address are added), 1 for a new
// message (it overwrites the oldest slot), and -1 for a refused call (null ring, network out of
// range).
int dup_ring_check_add(dup_ring *ring, const uint8_t *identity, uint16_t key, unsigned network,
                       const qnb_sockaddr *sender, const qnb_timeval *now);
