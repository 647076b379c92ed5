#include "tests/integration/avahi_support.h"

#include <arpa/inet.h>

namespace qz_integration {

std::string txt(const std::vector<std::string> &entries)
{
    std::string out;
    for (const std::string &e : entries) {
        size_t n = e.size() > 255 ? 255 : e.size();
        out += static_cast<char>(n);
        out += e.substr(0, n);
    }
    return out;
}

registration::registration(const std::string &name, const std::string &type, uint16_t port, const std::string &txt)
{
    DNSServiceErrorType err =
        DNSServiceRegister(&ref_, 0, 0, name.c_str(), type.c_str(), nullptr, nullptr, htons(port),
                           static_cast<uint16_t>(txt.size()), txt.empty() ? nullptr : txt.data(), on_registered, this);
    if (err != kDNSServiceErr_NoError) {
        ref_ = nullptr;
    }
}

registration::~registration()
{
    withdraw();
}

void registration::withdraw()
{
    if (ref_ != nullptr) {
        DNSServiceRefDeallocate(ref_);
        ref_ = nullptr;
    }
}

void registration::add_to(qnb_socket_set *set) const
{
    if (ref_ != nullptr) {
        qnb_socket_set_add(set, DNSServiceRefSockFD(ref_));
    }
}

void registration::process_if_ready(const qnb_socket_set *set)
{
    if (ref_ != nullptr && qnb_socket_set_is_member(set, DNSServiceRefSockFD(ref_))) {
        DNSServiceProcessResult(ref_);
    }
}

void DNSSD_API registration::on_registered(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType, const char *,
                                           const char *, const char *, void *)
{
}

} // namespace qz_integration
