#include "testnet/tn_dnssd.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>

namespace {

std::mutex g_lock;
tn_dnssd_library g_library;

} // namespace

const tn_dnssd_library *tn_dnssd_load(void)
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_library.tried) {
        g_library.tried = true;
        setenv("AVAHI_COMPAT_NOWARN", "1", 0);
        void *h = dlopen("libdns_sd.so.1", RTLD_NOW | RTLD_LOCAL);
        if (h) {
            g_library.register_service =
                reinterpret_cast<decltype(&DNSServiceRegister)>(dlsym(h, "DNSServiceRegister"));
            g_library.sock_fd = reinterpret_cast<decltype(&DNSServiceRefSockFD)>(dlsym(h, "DNSServiceRefSockFD"));
            g_library.process_result =
                reinterpret_cast<decltype(&DNSServiceProcessResult)>(dlsym(h, "DNSServiceProcessResult"));
            g_library.deallocate =
                reinterpret_cast<decltype(&DNSServiceRefDeallocate)>(dlsym(h, "DNSServiceRefDeallocate"));
            if (g_library.register_service && g_library.sock_fd && g_library.process_result && g_library.deallocate)
                g_library.handle = h;
            else
                dlclose(h);
        }
    }
    return g_library.handle ? &g_library : nullptr;
}

const tn_dnssd_library *tn_dnssd_loaded(void)
{
    std::lock_guard<std::mutex> lock(g_lock);
    return g_library.handle ? &g_library : nullptr;
}
