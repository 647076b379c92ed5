// The DNS-SD client library of the simulated installation's publications, loaded when first
// needed, so that the programs that link a stand-in of it (the unit tests) are not tied to the
// real one. Shared by the routing devices and the installation.
#pragma once

#include <dns_sd.h>

struct tn_dnssd_library {
    bool tried;
    void *handle;
    decltype(&DNSServiceRegister) register_service;
    decltype(&DNSServiceRefSockFD) sock_fd;
    decltype(&DNSServiceProcessResult) process_result;
    decltype(&DNSServiceRefDeallocate) deallocate;
};

// The library, loaded on the first call (from any thread); null when it cannot be loaded.
const tn_dnssd_library *tn_dnssd_load(void);
// The library when an earlier call loaded it, without trying; else null.
const tn_dnssd_library *tn_dnssd_loaded(void);
