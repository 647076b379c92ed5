#include "tests/support/dnssd_fake.h"

#include <arpa/inet.h>
#include <dns_sd.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>

namespace {

enum ref_kind { kind_browse, kind_resolve, kind_query };

struct reply {
    DNSServiceFlags flags = 0;
    uint32_t interface_index = 0;
    DNSServiceErrorType error = 0;
    bool null_texts = false;
    std::string name, type, domain, host, txt;
    uint16_t port = 0; // network order
    uint16_t rrtype = 0, rrclass = 0;
    uint32_t address = 0;
    bool raw_rdata = false; // rdata below instead of the address
    std::string rdata;
};

std::string strip_dot(const std::string &s)
{
    if (!s.empty() && s.back() == '.') {
        return s.substr(0, s.size() - 1);
    }
    return s;
}

} // namespace

struct _DNSServiceRef_t {
    ref_kind kind;
    uint32_t interface_index = 0;
    std::string name, type, domain;
    DNSServiceBrowseReply browse_cb = nullptr;
    DNSServiceResolveReply resolve_cb = nullptr;
    DNSServiceQueryRecordReply query_cb = nullptr;
    void *context = nullptr;
    int fds[2] = {-1, -1};
    std::deque<reply> queue;
    int dispatch = 0;
    bool dead = false;
};

namespace {

struct state {
    std::mutex lock;
    std::set<DNSServiceRef> refs; // allocated, possibly dead while dispatching
    std::vector<dnssd_fake::service> registry;
    dnssd_fake::resolve_mode mode = dnssd_fake::resolve_mode::answer;
    int32_t resolve_error = kDNSServiceErr_Unknown;
    int32_t next_browse_error = 0, next_resolve_error = 0, next_process_error = 0, next_query_error = 0;
    size_t created = 0, reconfirms = 0;
    uint32_t query_flags = 0;
};

state &st()
{
    static state s;
    return s;
}

void signal_ref(DNSServiceRef ref)
{
    char byte = 1;
    ssize_t n = write(ref->fds[1], &byte, 1);
    (void)n; // a full pipe is already readable
}

void queue_reply(DNSServiceRef ref, reply r)
{
    ref->queue.push_back(std::move(r));
    signal_ref(ref);
}

bool usable(state &s, DNSServiceRef ref, const char *what)
{
    if (s.refs.count(ref) == 0 || ref->dead) {
        ADD_FAILURE() << what << " on a reference that does not exist or was deallocated";
        return false;
    }
    return true;
}

DNSServiceRef new_ref(ref_kind kind)
{
    DNSServiceRef ref = new _DNSServiceRef_t;
    ref->kind = kind;
    if (pipe2(ref->fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        delete ref;
        return nullptr;
    }
    return ref;
}

// A new reference of `kind` among the live ones; the call fails instead with the error the test
// set for the next such call (used up by it), or with kDNSServiceErr_Unknown.
DNSServiceErrorType open_ref(state &s, DNSServiceErrorType &next_error, ref_kind kind, DNSServiceRef *out)
{
    if (next_error != 0) {
        DNSServiceErrorType err = next_error;
        next_error = 0;
        return err;
    }
    DNSServiceRef ref = new_ref(kind);
    if (ref == nullptr) {
        return kDNSServiceErr_Unknown;
    }
    s.refs.insert(ref);
    s.created++;
    *out = ref;
    return kDNSServiceErr_NoError;
}

size_t live_of_kind(ref_kind kind)
{
    state &s = st();
    std::lock_guard<std::mutex> guard(s.lock);
    size_t n = 0;
    for (DNSServiceRef ref : s.refs) {
        n += !ref->dead && ref->kind == kind ? 1 : 0;
    }
    return n;
}

void free_ref(DNSServiceRef ref)
{
    for (int &fd : ref->fds) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
    delete ref;
}

reply browse_reply_for(const std::string &name, const std::string &type, uint32_t interface_index, bool add)
{
    reply r;
    r.flags = add ? kDNSServiceFlagsAdd : 0;
    r.interface_index = interface_index;
    r.name = name;
    r.type = strip_dot(type);
    r.domain = "local";
    return r;
}

reply resolve_reply_for(const dnssd_fake::service &svc, uint32_t interface_index)
{
    reply r;
    r.interface_index = interface_index != 0 ? interface_index : svc.interface_index;
    r.name = svc.name + "." + strip_dot(svc.type) + ".local";
    r.host = svc.host;
    r.port = htons(svc.port);
    r.txt = svc.txt;
    return r;
}

void queue_browse_all(state &s, const std::string &type, const reply &r)
{
    for (DNSServiceRef ref : s.refs) {
        if (!ref->dead && ref->kind == kind_browse && strip_dot(ref->type) == strip_dot(type)) {
            queue_reply(ref, r);
        }
    }
}

} // namespace

namespace dnssd_fake {

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

void reset()
{
    state &s = st();
    std::lock_guard<std::mutex> guard(s.lock);
    for (DNSServiceRef ref : s.refs) {
        if (ref->dispatch == 0) {
            free_ref(ref);
        } else {
            ref->dead = true; // freed when its dispatch ends
        }
    }
    s.refs.clear();
    s.registry.clear();
    s.mode = resolve_mode::answer;
    s.resolve_error = kDNSServiceErr_Unknown;
    s.next_browse_error = s.next_resolve_error = s.next_process_error = s.next_query_error = 0;
    s.created = s.reconfirms = 0;
    s.query_flags = 0;
}

void announce(const service &svc)
{
    state &s = st();
    std::lock_guard<std::mutex> guard(s.lock);
    s.registry.push_back(svc);
    queue_browse_all(s, svc.type, browse_reply_for(svc.name, svc.type, svc.interface_index, true));
}

void withdraw(const std::string &type, const std::string &name, uint32_t interface_index)
{
    state &s = st();
    std::lock_guard<std::mutex> guard(s.lock);
    for (auto it = s.registry.begin(); it != s.registry.end(); ++it) {
        if (strip_dot(it->type) == strip_dot(type) && it->name == name && it->interface_index == interface_index) {
            s.registry.erase(it);
            break;
        }
    }
    queue_browse_all(s, type, browse_reply_for(name, type, interface_index, false));
}

void browse_reply(const std::string &type, const std::string &name, uint32_t interface_index, bool add)
{
    state &s = st();
    std::lock_guard<std::mutex> guard(s.lock);
    queue_browse_all(s, type, browse_reply_for(name, type, interface_index, add));
}

void browse_error(const std::string &type, int32_t error)
{
    state &s = st();
    std::lock_guard<std::mutex> guard(s.lock);
    reply r;
    r.error = error;
    r.null_texts = true;
    queue_browse_all(s, type, r);
}

void set_resolve_mode(resolve_mode mode, int32_t error)
{
    state &s = st();
    std::lock_guard<std::mutex> guard(s.lock);
    s.mode = mode;
    s.resolve_error = error;
}

int answer_resolves(const std::string &type, const std::string &name, uint32_t interface_index)
{
    state &s = st();
    std::lock_guard<std::mutex> guard(s.lock);
    const service *svc = nullptr;
    for (const service &candidate : s.registry) {
        if (strip_dot(candidate.type) == strip_dot(type) && candidate.name == name) {
            svc = &candidate;
            break;
        }
    }
    if (svc == nullptr) {
        ADD_FAILURE() << "answer_resolves: " << name << " is not announced";
        return 0;
    }
    int answered = 0;
    for (DNSServiceRef ref : s.refs) {
        if (!ref->dead && ref->kind == kind_resolve && ref->name == name && strip_dot(ref->type) == strip_dot(type)) {
            queue_reply(ref, resolve_reply_for(*svc, interface_index));
            answered++;
        }
    }
    return answered;
}

int answer_queries(const std::string &full_name, uint32_t interface_index, uint32_t address_network_order)
{
    state &s = st();
    std::lock_guard<std::mutex> guard(s.lock);
    int answered = 0;
    for (DNSServiceRef ref : s.refs) {
        if (!ref->dead && ref->kind == kind_query && strip_dot(ref->name) == strip_dot(full_name)) {
            reply r;
            r.flags = kDNSServiceFlagsAdd;
            r.interface_index = interface_index;
            r.name = strip_dot(full_name);
            r.rrtype = 1;
            r.rrclass = 1;
            r.address = address_network_order;
            queue_reply(ref, r);
            answered++;
        }
    }
    return answered;
}

int query_reply(const std::string &full_name, uint32_t flags, uint32_t interface_index, int32_t error,
                uint16_t rrtype, const std::string &rdata)
{
    state &s = st();
    std::lock_guard<std::mutex> guard(s.lock);
    int answered = 0;
    for (DNSServiceRef ref : s.refs) {
        if (!ref->dead && ref->kind == kind_query && strip_dot(ref->name) == strip_dot(full_name)) {
            reply r;
            r.flags = flags;
            r.interface_index = interface_index;
            r.error = error;
            r.name = strip_dot(full_name);
            r.rrtype = rrtype;
            r.rrclass = 1;
            r.raw_rdata = true;
            r.rdata = rdata;
            queue_reply(ref, r);
            answered++;
        }
    }
    return answered;
}

size_t live_queries()
{
    return live_of_kind(kind_query);
}

void fail_next_query(int32_t error)
{
    std::lock_guard<std::mutex> guard(st().lock);
    st().next_query_error = error;
}

void fail_next_browse(int32_t error)
{
    std::lock_guard<std::mutex> guard(st().lock);
    st().next_browse_error = error;
}

void fail_next_resolve(int32_t error)
{
    std::lock_guard<std::mutex> guard(st().lock);
    st().next_resolve_error = error;
}

void fail_next_process(int32_t error)
{
    std::lock_guard<std::mutex> guard(st().lock);
    st().next_process_error = error;
}

size_t live_references()
{
    state &s = st();
    std::lock_guard<std::mutex> guard(s.lock);
    size_t n = 0;
    for (DNSServiceRef ref : s.refs) {
        n += ref->dead ? 0 : 1;
    }
    return n;
}

size_t live_browses()
{
    return live_of_kind(kind_browse);
}

std::vector<resolve_request> live_resolves()
{
    state &s = st();
    std::lock_guard<std::mutex> guard(s.lock);
    std::vector<resolve_request> out;
    for (DNSServiceRef ref : s.refs) {
        if (!ref->dead && ref->kind == kind_resolve) {
            out.push_back({ref->name, ref->type, ref->interface_index});
        }
    }
    return out;
}

std::vector<int> live_sockets()
{
    state &s = st();
    std::lock_guard<std::mutex> guard(s.lock);
    std::vector<int> out;
    for (DNSServiceRef ref : s.refs) {
        if (!ref->dead) {
            out.push_back(ref->fds[0]);
        }
    }
    return out;
}

size_t references_created()
{
    std::lock_guard<std::mutex> guard(st().lock);
    return st().created;
}

size_t reconfirm_calls()
{
    std::lock_guard<std::mutex> guard(st().lock);
    return st().reconfirms;
}

uint32_t last_query_flags()
{
    std::lock_guard<std::mutex> guard(st().lock);
    return st().query_flags;
}

} // namespace dnssd_fake

// ---- the DNS-SD client functions ----

DNSServiceErrorType DNSSD_API DNSServiceBrowse(DNSServiceRef *sdRef, DNSServiceFlags, uint32_t interfaceIndex,
                                               const char *regtype, const char *domain,
                                               DNSServiceBrowseReply callBack, void *context)
{
    state &s = st();
    std::lock_guard<std::mutex> guard(s.lock);
    if (sdRef == nullptr || regtype == nullptr || callBack == nullptr) {
        return kDNSServiceErr_BadParam;
    }
    DNSServiceRef ref = nullptr;
    DNSServiceErrorType err = open_ref(s, s.next_browse_error, kind_browse, &ref);
    if (err != kDNSServiceErr_NoError) {
        return err;
    }
    ref->interface_index = interfaceIndex;
    ref->type = regtype;
    ref->domain = domain != nullptr ? domain : "local";
    ref->browse_cb = callBack;
    ref->context = context;
    for (const dnssd_fake::service &svc : s.registry) {
        if (strip_dot(svc.type) == strip_dot(ref->type)) {
            queue_reply(ref, browse_reply_for(svc.name, svc.type, svc.interface_index, true));
        }
    }
    *sdRef = ref;
    return kDNSServiceErr_NoError;
}

DNSServiceErrorType DNSSD_API DNSServiceResolve(DNSServiceRef *sdRef, DNSServiceFlags, uint32_t interfaceIndex,
                                                const char *name, const char *regtype, const char *domain,
                                                DNSServiceResolveReply callBack, void *context)
{
    state &s = st();
    std::lock_guard<std::mutex> guard(s.lock);
    if (sdRef == nullptr || name == nullptr || regtype == nullptr || domain == nullptr || callBack == nullptr) {
        return kDNSServiceErr_BadParam;
    }
    DNSServiceRef ref = nullptr;
    DNSServiceErrorType err = open_ref(s, s.next_resolve_error, kind_resolve, &ref);
    if (err != kDNSServiceErr_NoError) {
        return err;
    }
    ref->interface_index = interfaceIndex;
    ref->name = name;
    ref->type = regtype;
    ref->domain = domain;
    ref->resolve_cb = callBack;
    ref->context = context;
    if (s.mode == dnssd_fake::resolve_mode::fail) {
        reply r;
        r.error = s.resolve_error;
        r.null_texts = true;
        queue_reply(ref, r);
    } else if (s.mode == dnssd_fake::resolve_mode::answer) {
        for (const dnssd_fake::service &svc : s.registry) {
            if (svc.name == ref->name && strip_dot(svc.type) == strip_dot(ref->type) &&
                (interfaceIndex == 0 || interfaceIndex == svc.interface_index)) {
                queue_reply(ref, resolve_reply_for(svc, 0));
                break;
            }
        }
    }
    *sdRef = ref;
    return kDNSServiceErr_NoError;
}

DNSServiceErrorType DNSSD_API DNSServiceQueryRecord(DNSServiceRef *sdRef, DNSServiceFlags flags,
                                                    uint32_t interfaceIndex, const char *fullname, uint16_t,
                                                    uint16_t, DNSServiceQueryRecordReply callBack, void *context)
{
    state &s = st();
    std::lock_guard<std::mutex> guard(s.lock);
    s.query_flags = flags;
    if (flags != 0) {
        return kDNSServiceErr_Unsupported; // as the production backend does
    }
    if (sdRef == nullptr || fullname == nullptr || callBack == nullptr) {
        return kDNSServiceErr_BadParam;
    }
    DNSServiceRef ref = nullptr;
    DNSServiceErrorType err = open_ref(s, s.next_query_error, kind_query, &ref);
    if (err != kDNSServiceErr_NoError) {
        return err;
    }
    ref->interface_index = interfaceIndex;
    ref->name = fullname;
    ref->query_cb = callBack;
    ref->context = context;
    *sdRef = ref;
    return kDNSServiceErr_NoError;
}

DNSServiceErrorType DNSSD_API DNSServiceReconfirmRecord(DNSServiceFlags, uint32_t, const char *, uint16_t,
                                                        uint16_t, uint16_t, const void *)
{
    std::lock_guard<std::mutex> guard(st().lock);
    st().reconfirms++;
    return kDNSServiceErr_Unsupported;
}

int DNSSD_API DNSServiceRefSockFD(DNSServiceRef sdRef)
{
    state &s = st();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!usable(s, sdRef, "DNSServiceRefSockFD")) {
        return -1;
    }
    return sdRef->fds[0];
}

DNSServiceErrorType DNSSD_API DNSServiceProcessResult(DNSServiceRef sdRef)
{
    state &s = st();
    std::unique_lock<std::mutex> guard(s.lock);
    if (!usable(s, sdRef, "DNSServiceProcessResult")) {
        return kDNSServiceErr_BadReference;
    }
    if (s.next_process_error != 0) {
        DNSServiceErrorType err = s.next_process_error;
        s.next_process_error = 0;
        return err;
    }
    char drain[64];
    while (read(sdRef->fds[0], drain, sizeof drain) > 0) {
    }
    sdRef->dispatch++;
    while (!sdRef->dead && !sdRef->queue.empty()) {
        reply r = std::move(sdRef->queue.front());
        sdRef->queue.pop_front();
        guard.unlock();
        const char *name = r.null_texts ? nullptr : r.name.c_str();
        switch (sdRef->kind) {
        case kind_browse:
            sdRef->browse_cb(sdRef, r.flags, r.interface_index, r.error, name,
                             r.null_texts ? nullptr : r.type.c_str(), r.null_texts ? nullptr : r.domain.c_str(),
                             sdRef->context);
            break;
        case kind_resolve:
            sdRef->resolve_cb(sdRef, r.flags, r.interface_index, r.error, name,
                              r.null_texts ? nullptr : r.host.c_str(), r.port,
                              static_cast<uint16_t>(r.txt.size()),
                              reinterpret_cast<const unsigned char *>(r.txt.data()), sdRef->context);
            break;
        case kind_query:
            if (r.raw_rdata) {
                sdRef->query_cb(sdRef, r.flags, r.interface_index, r.error, name, r.rrtype, r.rrclass,
                                static_cast<uint16_t>(r.rdata.size()), r.rdata.data(), 120, sdRef->context);
            } else {
                sdRef->query_cb(sdRef, r.flags, r.interface_index, r.error, name, r.rrtype, r.rrclass,
                                sizeof r.address, &r.address, 120, sdRef->context);
            }
            break;
        }
        guard.lock();
    }
    sdRef->dispatch--;
    if (sdRef->dead && sdRef->dispatch == 0) {
        s.refs.erase(sdRef);
        free_ref(sdRef);
    }
    return kDNSServiceErr_NoError;
}

void DNSSD_API DNSServiceRefDeallocate(DNSServiceRef sdRef)
{
    state &s = st();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!usable(s, sdRef, "DNSServiceRefDeallocate")) {
        return;
    }
    sdRef->dead = true;
    sdRef->queue.clear();
    if (sdRef->dispatch == 0) {
        s.refs.erase(sdRef);
        free_ref(sdRef);
    } else {
        // Inside its own callback: the descriptor closes now, the record when the dispatch ends.
        for (int &fd : sdRef->fds) {
            close(fd);
            fd = -1;
        }
    }
}

int DNSSD_API DNSServiceConstructFullName(char *fullName, const char *service, const char *regtype,
                                          const char *domain)
{
    if (fullName == nullptr || regtype == nullptr) {
        return -1;
    }
    std::string out;
    if (service != nullptr) {
        for (const char *p = service; *p != '\0'; p++) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c == '.' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < ' ' || c == 0x7F) {
                char escaped[5];
                std::snprintf(escaped, sizeof escaped, "\\%03u", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
        out += '.';
    }
    out += strip_dot(regtype);
    out += '.';
    out += strip_dot(domain != nullptr ? domain : "local");
    if (out.size() >= kDNSServiceMaxDomainName) {
        return -1;
    }
    std::memcpy(fullName, out.c_str(), out.size() + 1);
    return 0;
}
