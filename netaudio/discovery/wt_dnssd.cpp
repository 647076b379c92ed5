#include "netaudio/discovery/wt_dnssd.h"

#include "netaudio/discovery/wt_txt.h"

#include <dns_sd.h>

#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>

namespace {

enum ref_kind { kind_browse, kind_resolve, kind_query };

} // namespace

struct wt_dnssd_ref {
    DNSServiceRef sd = nullptr;
    ref_kind kind = kind_browse;
    wt_dnssd_browse_reply browse_reply = nullptr;
    wt_dnssd_resolve_reply resolve_reply = nullptr;
    wt_dnssd_query_reply query_reply = nullptr;
    void *context = nullptr;
    // Nesting of wt_dnssd_process_result; a deallocation inside it is completed on the way out.
    int dispatch_depth = 0;
    bool deallocated = false;
    // Browse: how many adds of each instance are outstanding (one per IP protocol).
    std::map<std::string, unsigned> instances;
};

namespace {

std::string with_trailing_dot(const char *text)
{
    std::string s = text != nullptr ? text : "";
    if (!s.empty() && s.back() != '.') {
        s += '.';
    }
    return s;
}

const char *or_empty(const char *text)
{
    return text != nullptr ? text : "";
}

void DNSSD_API browse_trampoline(DNSServiceRef, DNSServiceFlags flags, uint32_t interface_index,
                                 DNSServiceErrorType error, const char *name, const char *type,
                                 const char *domain, void *context)
{
    wt_dnssd_ref *ref = static_cast<wt_dnssd_ref *>(context);
    if (ref->deallocated) {
        return;
    }
    std::string full_type = with_trailing_dot(type);
    std::string full_domain = with_trailing_dot(domain);
    if (error == kDNSServiceErr_NoError) {
        std::string key;
        try {
            key = std::to_string(interface_index);
            key += '\0';
            key += or_empty(name);
            key += '\0';
            key += full_type;
            key += '\0';
            key += full_domain;
            if ((flags & kDNSServiceFlagsAdd) != 0) {
                if (ref->instances[key]++ != 0) {
                    return; // the same instance seen again over another protocol
                }
            } else {
                auto it = ref->instances.find(key);
                if (it != ref->instances.end()) {
                    if (--it->second != 0) {
                        return; // still advertised over another protocol
                    }
                    ref->instances.erase(it);
                }
            }
        } catch (const std::bad_alloc &) {
            // Without the bookkeeping the reply is passed on unfolded.
        }
    }
    ref->browse_reply(ref, flags, interface_index, error, or_empty(name), full_type.c_str(),
                      full_domain.c_str(), ref->context);
}

void DNSSD_API resolve_trampoline(DNSServiceRef, DNSServiceFlags flags, uint32_t interface_index,
                                  DNSServiceErrorType error, const char *full_name, const char *host_target,
                                  uint16_t port, uint16_t txt_length, const unsigned char *txt, void *context)
{
    wt_dnssd_ref *ref = static_cast<wt_dnssd_ref *>(context);
    if (ref->deallocated) {
        return;
    }
    std::string name = with_trailing_dot(full_name);
    if (txt == nullptr) {
        txt_length = 0;
    }
    ref->resolve_reply(ref, flags, interface_index, error, name.c_str(), or_empty(host_target), port,
                       txt_length, txt, ref->context);
}

void DNSSD_API query_trampoline(DNSServiceRef, DNSServiceFlags flags, uint32_t interface_index,
                                DNSServiceErrorType error, const char *full_name, uint16_t rrtype,
                                uint16_t rrclass, uint16_t rdata_length, const void *rdata, uint32_t ttl,
                                void *context)
{
    wt_dnssd_ref *ref = static_cast<wt_dnssd_ref *>(context);
    if (ref->deallocated) {
        return;
    }
    std::string name = with_trailing_dot(full_name);
    if (rdata == nullptr) {
        rdata_length = 0;
    }
    ref->query_reply(ref, flags, interface_index, error, name.c_str(), rrtype, rrclass, rdata_length, rdata,
                     ttl, ref->context);
}

struct observer_slot {
    std::mutex lock;
    wt_dnssd_reconfirm_observer observer = nullptr;
    void *context = nullptr;
};

observer_slot &reconfirm_slot()
{
    static observer_slot slot;
    return slot;
}

wt_dnssd_ref *new_ref(ref_kind kind, void *context)
{
    wt_dnssd_ref *ref = new (std::nothrow) wt_dnssd_ref;
    if (ref != nullptr) {
        ref->kind = kind;
        ref->context = context;
    }
    return ref;
}

} // namespace

int32_t wt_dnssd_browse(wt_dnssd_ref **out, uint32_t flags, uint32_t interface_index, const char *type,
                        const char *domain, wt_dnssd_browse_reply reply, void *context)
{
    if (out == nullptr || type == nullptr || reply == nullptr) {
        return WT_DNSSD_ERR_BADPARAM;
    }
    *out = nullptr;
    wt_dnssd_ref *ref = new_ref(kind_browse, context);
    if (ref == nullptr) {
        return WT_DNSSD_ERR_NOMEMORY;
    }
    ref->browse_reply = reply;
    DNSServiceErrorType err = DNSServiceBrowse(&ref->sd, flags, interface_index, type, domain, browse_trampoline, ref);
    if (err != kDNSServiceErr_NoError || ref->sd == nullptr) {
        delete ref;
        return err != kDNSServiceErr_NoError ? err : WT_DNSSD_ERR_UNKNOWN;
    }
    *out = ref;
    return WT_DNSSD_ERR_NONE;
}

int32_t wt_dnssd_resolve(wt_dnssd_ref **out, uint32_t flags, uint32_t interface_index, const char *name,
                         const char *type, const char *domain, wt_dnssd_resolve_reply reply, void *context)
{
    if (out == nullptr || name == nullptr || type == nullptr || domain == nullptr || reply == nullptr) {
        return WT_DNSSD_ERR_BADPARAM;
    }
    *out = nullptr;
    wt_dnssd_ref *ref = new_ref(kind_resolve, context);
    if (ref == nullptr) {
        return WT_DNSSD_ERR_NOMEMORY;
    }
    ref->resolve_reply = reply;
    DNSServiceErrorType err =
        DNSServiceResolve(&ref->sd, flags, interface_index, name, type, domain, resolve_trampoline, ref);
    if (err != kDNSServiceErr_NoError || ref->sd == nullptr) {
        delete ref;
        return err != kDNSServiceErr_NoError ? err : WT_DNSSD_ERR_UNKNOWN;
    }
    *out = ref;
    return WT_DNSSD_ERR_NONE;
}

int32_t wt_dnssd_query_record(wt_dnssd_ref **out, uint32_t flags, uint32_t interface_index,
                              const char *full_name, uint16_t rrtype, uint16_t rrclass,
                              wt_dnssd_query_reply reply, void *context)
{
    (void)flags; // the backend refuses every flag of a record query
    if (out == nullptr || full_name == nullptr || reply == nullptr) {
        return WT_DNSSD_ERR_BADPARAM;
    }
    *out = nullptr;
    wt_dnssd_ref *ref = new_ref(kind_query, context);
    if (ref == nullptr) {
        return WT_DNSSD_ERR_NOMEMORY;
    }
    ref->query_reply = reply;
    DNSServiceErrorType err =
        DNSServiceQueryRecord(&ref->sd, 0, interface_index, full_name, rrtype, rrclass, query_trampoline, ref);
    if (err != kDNSServiceErr_NoError || ref->sd == nullptr) {
        delete ref;
        return err != kDNSServiceErr_NoError ? err : WT_DNSSD_ERR_UNKNOWN;
    }
    *out = ref;
    return WT_DNSSD_ERR_NONE;
}

int wt_dnssd_socket(const wt_dnssd_ref *ref)
{
    if (ref == nullptr || ref->deallocated || ref->sd == nullptr) {
        return -1;
    }
    return DNSServiceRefSockFD(ref->sd);
}

int32_t wt_dnssd_process_result(int socket, wt_dnssd_ref *ref)
{
    (void)socket;
    if (ref == nullptr || ref->deallocated || ref->sd == nullptr) {
        return WT_DNSSD_ERR_BADPARAM;
    }
    ref->dispatch_depth++;
    DNSServiceErrorType err = DNSServiceProcessResult(ref->sd);
    ref->dispatch_depth--;
    if (ref->deallocated && ref->dispatch_depth == 0) {
        delete ref;
    }
    return err;
}

void wt_dnssd_deallocate(wt_dnssd_ref *ref)
{
    if (ref == nullptr || ref->deallocated) {
        return;
    }
    ref->deallocated = true;
    DNSServiceRef sd = ref->sd;
    ref->sd = nullptr;
    if (sd != nullptr) {
        DNSServiceRefDeallocate(sd);
    }
    if (ref->dispatch_depth == 0) {
        delete ref;
    }
}

int32_t wt_dnssd_reconfirm_record(uint32_t flags, uint32_t interface_index, const char *full_name,
                                  uint16_t rrtype, uint16_t rrclass, uint16_t rdata_length, const void *rdata)
{
    (void)flags;
    (void)rdata_length;
    (void)rdata;
    observer_slot &slot = reconfirm_slot();
    wt_dnssd_reconfirm_observer observer;
    void *context;
    {
        std::lock_guard<std::mutex> guard(slot.lock);
        observer = slot.observer;
        context = slot.context;
    }
    if (observer != nullptr) {
        observer(interface_index, or_empty(full_name), rrtype, rrclass, context);
    }
    return WT_DNSSD_ERR_NONE;
}

void wt_dnssd_set_reconfirm_observer(wt_dnssd_reconfirm_observer observer, void *context)
{
    observer_slot &slot = reconfirm_slot();
    std::lock_guard<std::mutex> guard(slot.lock);
    slot.observer = observer;
    slot.context = context;
}

int wt_dnssd_construct_full_name(char *buffer, const char *name, const char *type, const char *domain)
{
    if (buffer == nullptr || type == nullptr) {
        return -1;
    }
    buffer[0] = '\0';
    char built[kDNSServiceMaxDomainName + 1];
    std::memset(built, 0, sizeof built);
    if (DNSServiceConstructFullName(built, name, type, domain) != 0) {
        return -1;
    }
    size_t length = strnlen(built, kDNSServiceMaxDomainName);
    if (length == kDNSServiceMaxDomainName) {
        return -1;
    }
    if (length > 0 && built[length - 1] != '.') {
        if (length + 2 > WT_DNSSD_FULL_NAME_SIZE) {
            return -1;
        }
        built[length++] = '.';
    }
    std::memcpy(buffer, built, length);
    buffer[length] = '\0';
    return 0;
}

const void *wt_dnssd_txt_value(uint16_t txt_length, const void *txt, const char *key, uint8_t *value_length)
{
    const uint8_t *value = nullptr;
    uint8_t length = 0;
    if (!wt_txt_find(txt, txt_length, key, &value, &length)) {
        value = nullptr;
        length = 0;
    }
    if (value_length != nullptr) {
        *value_length = length;
    }
    return value;
}

bool wt_dnssd_txt_contains_key(uint16_t txt_length, const void *txt, const char *key)
{
    return wt_txt_find(txt, txt_length, key, nullptr, nullptr);
}
