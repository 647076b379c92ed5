#include "wrapper/wfa_adapters.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "wrapper/service/wfa_bytes.h"

namespace {

struct adapter_source {
    std::mutex lock;
    wfa_getifaddrs_fn get = ::getifaddrs;
    wfa_freeifaddrs_fn release = ::freeifaddrs;
};

adapter_source &source()
{
    static adapter_source s;
    return s;
}

struct adapter {
    std::string name;
    std::string mac; // empty when the adapter has no 6-byte hardware address
    std::string ip;  // first IPv4 address, empty when none
};

// The adapters in the order the list first names them.
bool read_adapters(std::vector<adapter> *out)
{
    wfa_getifaddrs_fn get;
    wfa_freeifaddrs_fn release;
    {
        adapter_source &s = source();
        std::lock_guard<std::mutex> lock(s.lock);
        get = s.get;
        release = s.release;
    }
    struct ifaddrs *list = nullptr;
    if (get(&list) != 0)
        return false;
    std::map<std::string, size_t> index;
    for (struct ifaddrs *it = list; it; it = it->ifa_next) {
        if (!it->ifa_name || !it->ifa_addr)
            continue;
        std::string name(it->ifa_name, strnlen(it->ifa_name, 256));
        auto found = index.find(name);
        if (found == index.end()) {
            found = index.emplace(name, out->size()).first;
            out->push_back(adapter{name, std::string(), std::string()});
        }
        adapter &a = (*out)[found->second];
        if (it->ifa_addr->sa_family == AF_PACKET) {
            struct sockaddr_ll ll;
            std::memcpy(&ll, it->ifa_addr, sizeof ll);
            if (ll.sll_halen == 6 && a.mac.empty())
                a.mac = wfa_mac_text(ll.sll_addr);
        } else if (it->ifa_addr->sa_family == AF_INET && a.ip.empty()) {
            struct sockaddr_in in;
            std::memcpy(&in, it->ifa_addr, sizeof in);
            char text[INET_ADDRSTRLEN] = {};
            if (inet_ntop(AF_INET, &in.sin_addr, text, sizeof text))
                a.ip = text;
        }
    }
    if (list && release)
        release(list);
    return true;
}

} // namespace

std::list<std::string> wfa_adapter_ips(const std::list<std::string> &macs)
{
    std::vector<adapter> adapters;
    if (!read_adapters(&adapters))
        adapters.clear();
    std::list<std::string> ips;
    for (const std::string &mac : macs) {
        std::string ip;
        for (const adapter &a : adapters) {
            if (!a.mac.empty() && a.mac == mac && !a.ip.empty()) {
                ip = a.ip;
                break;
            }
        }
        ips.push_back(ip);
    }
    return ips;
}

void wfa_adapters_set_source(wfa_getifaddrs_fn get, wfa_freeifaddrs_fn release)
{
    adapter_source &s = source();
    std::lock_guard<std::mutex> lock(s.lock);
    s.get = get ? get : ::getifaddrs;
    s.release = get ? release : ::freeifaddrs;
}
