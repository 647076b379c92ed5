// What the simulated installation's programs share: the stop and dump flags their signals set,
// and the reading of number arguments.
#pragma once

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tn_program {

// Set by SIGINT, SIGTERM and SIGHUP (catch_stop) and by SIGUSR1 (catch_dump); read by the
// program's loop, which ends as it does at its end: a closed terminal loses nothing.
inline volatile sig_atomic_t g_stop = 0;
inline volatile sig_atomic_t g_dump = 0;

inline void catch_stop()
{
    signal(SIGINT, [](int) { g_stop = 1; });
    signal(SIGTERM, [](int) { g_stop = 1; });
    signal(SIGHUP, [](int) { g_stop = 1; });
}

inline void catch_dump()
{
    signal(SIGUSR1, [](int) { g_dump = 1; });
}

// A whole number (decimal, 0x hexadecimal or 0 octal) of at most `max`, nothing after it.
inline bool parse_number(const char *text, unsigned long max, unsigned long *out)
{
    if (!text || !*text)
        return false;
    char *end = nullptr;
    unsigned long v = strtoul(text, &end, 0);
    if (*end != '\0' || v > max)
        return false;
    *out = v;
    return true;
}

// "MIN-MAX": two such numbers, the first not above the second.
inline bool parse_range(const char *text, unsigned long max, unsigned long *low, unsigned long *high)
{
    const char *dash = text ? strchr(text, '-') : nullptr;
    if (!dash)
        return false;
    return parse_number(std::string(text, static_cast<size_t>(dash - text)).c_str(), max, low) &&
           parse_number(dash + 1, max, high) && *low <= *high;
}

} // namespace tn_program
