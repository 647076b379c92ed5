// Helpers of the integration tests: services registered through the real DNS-SD client library.
#pragma once

#include <dns_sd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "netaudio/platform/qnb_socket_set.h"

namespace qz_integration {

// TXT bytes from entries such as "key=value".
std::string txt(const std::vector<std::string> &entries);

// A service registered on every interface in "local" until withdrawn or destroyed.
class registration {
public:
    registration(const std::string &name, const std::string &type, uint16_t port, const std::string &txt);
    ~registration();
    registration(const registration &) = delete;
    registration &operator=(const registration &) = delete;

    bool ok() const { return ref_ != nullptr; }
    void withdraw();
    void add_to(qnb_socket_set *set) const;
    void process_if_ready(const qnb_socket_set *set);

private:
    static void DNSSD_API on_registered(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType, const char *,
                                        const char *, const char *, void *);
    DNSServiceRef ref_ = nullptr;
};

} // namespace qz_integration
