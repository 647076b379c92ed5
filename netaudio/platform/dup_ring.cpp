#include "netaudio/platform/dup_ring.h"

#include <cstdlib>
#include <cstring>

dup_ring *dup_ring_new(uint16_t n, uint16_t window_seconds)
{
    if (n == 0)
        return nullptr;
    dup_ring *ring = static_cast<dup_ring *>(std::calloc(1, sizeof(dup_ring)));
    if (!ring)
        return nullptr;
    ring->entries = static_cast<dup_ring_entry *>(std::calloc(n, sizeof(dup_ring_entry)));
    if (!ring->entries) {
        std::free(ring);
        return nullptr;
    }
    ring->count = n;
    ring->window = window_seconds;
    return ring;
}

void dup_ring_delete(dup_ring *ring)
{
    if (!ring)
        return;
    std::free(ring->entries);
    std::free(ring);
}

namespace {

// True while `first_seen` + window lies after `now`.
bool within_window(const qnb_timeval &first_seen, uint16_t window, const qnb_timeval &now)
{
    uint64_t until = static_cast<uint64_t>(first_seen.tv_sec) + window;
    return until > now.tv_sec || (until == now.tv_sec && first_seen.tv_usec > now.tv_usec);
}

void store_address(dup_ring_entry *entry, unsigned network, const qnb_sockaddr *sender)
{
    if (sender)
        entry->address[network] = *sender;
    else
        std::memset(&entry->address[network], 0, sizeof entry->address[network]);
}

} // namespace

int dup_ring_check_add(dup_ring *ring, const uint8_t *identity, uint16_t key, unsigned network,
                       const qnb_sockaddr *sender, const qnb_timeval *now)
{
    if (!ring || !ring->entries || ring->count == 0 || network >= DUP_RING_NETWORKS)
        return -1;
    qnb_timeval t;
    if (now)
        t = *now;
    else
        qnb_time_now(&t);
    const uint16_t bit = static_cast<uint16_t>(1u << network);

    for (uint16_t i = 0; i < ring->count; ++i) {
        dup_ring_entry *e = &ring->entries[i];
        if (e->network_mask == 0 || e->key != key)
            continue;
        if (identity && std::memcmp(e->identity, identity, DUP_RING_IDENTITY_SIZE) != 0)
            continue;
        if (!within_window(e->first_seen, ring->window, t))
            continue;
        e->network_mask = static_cast<uint16_t>(e->network_mask | bit);
        store_address(e, network, sender);
        return 0;
    }

    if (ring->next >= ring->count)
        ring->next = 0;
    dup_ring_entry *e = &ring->entries[ring->next];
    std::memset(e, 0, sizeof *e);
    e->key = key;
    e->network_mask = bit;
    store_address(e, network, sender);
    e->first_seen = t;
    if (identity)
        std::memcpy(e->identity, identity, DUP_RING_IDENTITY_SIZE);
    ring->next = static_cast<uint16_t>((ring->next + 1) % ring->count);
    return 1;
}
