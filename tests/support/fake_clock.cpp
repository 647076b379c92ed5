#include "tests/support/fake_clock.h"

namespace qz_test {

namespace {
uint64_t to_micros(uint32_t seconds, uint32_t microseconds)
{
    return static_cast<uint64_t>(seconds) * 1000000u + microseconds;
}
} // namespace

fake_clock::fake_clock(uint32_t seconds, uint32_t microseconds) : micros_(to_micros(seconds, microseconds))
{
    qnb_time_set_source(&fake_clock::source, this);
}

fake_clock::~fake_clock()
{
    qnb_time_set_source(nullptr, nullptr);
}

void fake_clock::advance(uint32_t seconds, uint32_t microseconds)
{
    micros_.fetch_add(to_micros(seconds, microseconds));
}

void fake_clock::set(uint32_t seconds, uint32_t microseconds)
{
    micros_.store(to_micros(seconds, microseconds));
}

qnb_timeval fake_clock::now() const
{
    uint64_t us = micros_.load();
    return qnb_timeval{static_cast<uint32_t>(us / 1000000u), static_cast<uint32_t>(us % 1000000u)};
}

void fake_clock::source(qnb_timeval *out, void *context)
{
    *out = static_cast<fake_clock *>(context)->now();
}

} // namespace qz_test
