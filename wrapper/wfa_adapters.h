// IPv4 addresses of the PC's network adapters, matched to interfaces by MAC address, for the
// interface list the program shows.
#pragma once

#include <list>
#include <string>

struct ifaddrs;

// One IP text per MAC text, in order: the first IPv4 address of the first adapter with that MAC
// ("%02X:%02X:..." as the list carries it) that has one, or an empty text when no adapter matches,
// none of them has an IPv4 address, or the adapters cannot be read.
std::list<std::string> wfa_adapter_ips(const std::list<std::string> &macs);

// The adapters' source: getifaddrs/freeifaddrs by default; tests give their own (null restores).
typedef int (*wfa_getifaddrs_fn)(struct ifaddrs **out);
typedef void (*wfa_freeifaddrs_fn)(struct ifaddrs *list);
void wfa_adapters_set_source(wfa_getifaddrs_fn get, wfa_freeifaddrs_fn release);
