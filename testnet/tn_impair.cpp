#include "testnet/tn_impair.h"

#include "testnet/tn_clock.h"

namespace {

// splitmix64: small, and every seed gives a full-period sequence.
uint64_t next(tn_impair *imp)
{
    uint64_t z = (imp->state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool chance(tn_impair *imp, unsigned pct)
{
    return pct && next(imp) % 100 < pct;
}

bool delaying(const tn_impair *imp)
{
    return imp->delay_min_ms || imp->delay_max_ms;
}

// Sends a datagram on its way: at once, or after a delay drawn from the range.
void emit(tn_impair *imp, const qnb_sockaddr *peer, const uint8_t *bytes, size_t size, tn_impair_deliver_fn deliver,
          void *context)
{
    if (!delaying(imp)) {
        deliver(context, peer, bytes, size);
        return;
    }
    const uint64_t span = uint64_t(imp->delay_max_ms) - imp->delay_min_ms + 1u;
    tn_impair_delayed d;
    d.due = tn_now_micros() + (imp->delay_min_ms + next(imp) % span) * 1000u;
    d.peer = *peer;
    d.bytes.assign(bytes, bytes + size);
    imp->waiting.push_back(std::move(d));
    ++imp->delayed;
}

void release_held(tn_impair *imp, tn_impair_deliver_fn deliver, void *context)
{
    if (!imp->holding)
        return;
    imp->holding = false;
    // Moved out first: delivering may pass further datagrams through this impairment.
    std::vector<uint8_t> bytes;
    bytes.swap(imp->held);
    qnb_sockaddr peer = imp->held_peer;
    emit(imp, &peer, bytes.data(), bytes.size(), deliver, context);
}

} // namespace

void tn_impair_init(tn_impair *imp, unsigned loss_pct, unsigned duplicate_pct, unsigned reorder_pct, uint64_t seed)
{
    if (!imp)
        return;
    imp->loss_pct = loss_pct > 100 ? 100 : loss_pct;
    imp->duplicate_pct = duplicate_pct > 100 ? 100 : duplicate_pct;
    imp->reorder_pct = reorder_pct > 100 ? 100 : reorder_pct;
    imp->state = seed;
    imp->holding = false;
    qnb_sockaddr_clear(&imp->held_peer);
    imp->held.clear();
    imp->held_since = 0;
    imp->delay_min_ms = imp->delay_max_ms = 0;
    imp->waiting.clear();
    imp->lost = imp->duplicated = imp->reordered = imp->delayed = 0;
}

void tn_impair_set_delay(tn_impair *imp, unsigned min_ms, unsigned max_ms)
{
    if (!imp)
        return;
    imp->delay_min_ms = min_ms < max_ms ? min_ms : max_ms;
    imp->delay_max_ms = min_ms < max_ms ? max_ms : min_ms;
}

bool tn_impair_active(const tn_impair *imp)
{
    return imp && (imp->loss_pct || imp->duplicate_pct || imp->reorder_pct || imp->holding || delaying(imp) ||
                   !imp->waiting.empty());
}

void tn_impair_pass(tn_impair *imp, const qnb_sockaddr *peer, const uint8_t *bytes, size_t size,
                    tn_impair_deliver_fn deliver, void *context)
{
    if (!imp || !deliver)
        return;
    if (!tn_impair_active(imp)) {
        deliver(context, peer, bytes, size);
        return;
    }
    // Three draws a datagram whatever the outcome, so that one chance does not shift the others.
    bool lose = chance(imp, imp->loss_pct);
    bool twice = chance(imp, imp->duplicate_pct);
    bool hold = chance(imp, imp->reorder_pct);
    if (lose) {
        ++imp->lost;
        return;
    }
    if (twice)
        ++imp->duplicated;
    if (hold && !imp->holding) {
        // Held back until the next datagram has gone (a copy of a duplicated one goes now).
        ++imp->reordered;
        imp->holding = true;
        imp->held_peer = *peer;
        imp->held.assign(bytes, bytes + size);
        imp->held_since = tn_now_micros();
        if (twice)
            emit(imp, peer, bytes, size, deliver, context);
        return;
    }
    emit(imp, peer, bytes, size, deliver, context);
    if (twice)
        emit(imp, peer, bytes, size, deliver, context);
    release_held(imp, deliver, context);
}

unsigned long tn_impair_events(const tn_impair *imp)
{
    return imp ? imp->lost + imp->duplicated + imp->reordered + imp->delayed : 0;
}

void tn_impair_flush(tn_impair *imp, tn_impair_deliver_fn deliver, void *context)
{
    if (!imp || !deliver)
        return;
    if (imp->holding && tn_now_micros() - imp->held_since >= TN_IMPAIR_HOLD_MS * 1000u)
        release_held(imp, deliver, context);
    const uint64_t now = tn_now_micros();
    for (;;) {
        size_t first = imp->waiting.size();
        for (size_t i = 0; i < imp->waiting.size(); ++i) {
            const uint64_t due = imp->waiting[i].due;
            if (due <= now && (first == imp->waiting.size() || due < imp->waiting[first].due))
                first = i;
        }
        if (first == imp->waiting.size())
            return;
        // Moved out first: delivering may pass further datagrams through this impairment.
        tn_impair_delayed d = std::move(imp->waiting[first]);
        imp->waiting.erase(imp->waiting.begin() + static_cast<long>(first));
        deliver(context, &d.peer, d.bytes.data(), d.bytes.size());
    }
}
