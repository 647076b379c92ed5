// A lossy network between a simulated peer and its client: each datagram that passes is lost,
// sent twice, or held back and sent after the next one, each with a chance in percent, decided by a
// seeded generator so that a run can be repeated. A datagram held back goes out at the latest
// TN_IMPAIR_HOLD_MS of the library clock later (tn_impair_flush), so a quiet link loses nothing
// through reordering alone. With a delay range every datagram that passes is held a time drawn
// from that range (by the same generator) and goes out once it is due (tn_impair_flush), so
// datagrams overtake each other as on a path whose delay varies.
//
// The peer passes what it would send (or what it received, to impair the way in) through
// tn_impair_pass with a function that delivers a datagram; the impairment calls it zero, one, two
// or three times (a duplicate, then the datagram held back before).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "netaudio/platform/qnb_socket.h"

enum { TN_IMPAIR_HOLD_MS = 100 };

struct tn_impair_delayed {
    uint64_t due; // library clock, microseconds
    qnb_sockaddr peer;
    std::vector<uint8_t> bytes;
};

typedef void (*tn_impair_deliver_fn)(void *context, const qnb_sockaddr *peer, const uint8_t *bytes, size_t size);

struct tn_impair {
    unsigned loss_pct, duplicate_pct, reorder_pct; // 0-100 each
    uint64_t state;                                // the generator
    bool holding;                                  // a datagram is held back
    qnb_sockaddr held_peer;
    std::vector<uint8_t> held;
    uint64_t held_since;                           // library clock, microseconds
    unsigned delay_min_ms, delay_max_ms;           // both 0: no delay
    std::vector<tn_impair_delayed> waiting;        // delayed datagrams not yet due
    unsigned long lost, duplicated, reordered, delayed; // what it has done so far
};

// Chances above 100 count as 100. All 0: every datagram passes as it is. No delay range.
void tn_impair_init(tn_impair *imp, unsigned loss_pct, unsigned duplicate_pct, unsigned reorder_pct, uint64_t seed);
// Every datagram that passes from now on is held between `min_ms` and `max_ms` (inclusive, swapped
// when given the wrong way round) of the library clock; 0 and 0: none.
void tn_impair_set_delay(tn_impair *imp, unsigned min_ms, unsigned max_ms);
bool tn_impair_active(const tn_impair *imp);
// Passes one datagram to or from `peer`.
void tn_impair_pass(tn_impair *imp, const qnb_sockaddr *peer, const uint8_t *bytes, size_t size,
                    tn_impair_deliver_fn deliver, void *context);
// Datagrams lost, duplicated, reordered or delayed so far.
unsigned long tn_impair_events(const tn_impair *imp);
// Delivers the datagram held back once it has waited TN_IMPAIR_HOLD_MS, and the delayed datagrams
// that are due, earliest first.
void tn_impair_flush(tn_impair *imp, tn_impair_deliver_fn deliver, void *context);
