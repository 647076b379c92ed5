// A scripted stand-in for the DNS-SD client library: the unit-test programs link these
// DNSService* functions instead of the real backend, so no daemon is needed.
//
// Like the real library, every reference has its own descriptor (one end of a pipe) that becomes
// readable when a reply is queued, callbacks run only inside DNSServiceProcessResult, and a
// reference may be deallocated from inside its own callback. Replies use the backend's forms (types
// and domains without a trailing dot). A test scripts what the "network" does: services appear and
// vanish, resolves are answered, stay silent or fail, and calls can be made to fail.
//
// Misuse (a call on a reference that does not exist or was deallocated) is reported as a test
// failure. Thread-safe: a worker thread may process while the test thread scripts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dnssd_fake {

struct service {
    std::string type;          // "_netaudio-arc._udp" (a trailing dot is ignored)
    std::string name;          // instance name
    uint32_t interface_index;  // where it is advertised
    std::string host;          // host target, "host.local"
    uint16_t port;             // host order
    std::string txt;           // raw TXT bytes (see txt())
};

// Builds TXT bytes from entries such as "key=value" or "key".
std::string txt(const std::vector<std::string> &entries);

enum class resolve_mode { answer, silent, fail };

struct resolve_request {
    std::string name;
    std::string type;
    uint32_t interface_index;
};

// Forgets every service, reference and setting (a reference still held by code under test becomes
// unknown). Call in SetUp.
void reset();

// Publishes a service: every live browse of its type gets an add, and later browses see it at once.
void announce(const service &s);
// Withdraws it: browses of its type get a removal.
void withdraw(const std::string &type, const std::string &name, uint32_t interface_index);
// An add or removal on the browses of `type` without touching the registry (repeats, protocol
// doubles, stray removals).
void browse_reply(const std::string &type, const std::string &name, uint32_t interface_index, bool add);
// Queues an error reply (with null texts, as the backend sends them) on every browse of `type`.
void browse_error(const std::string &type, int32_t error);

// How new resolves are treated: answered from the registry (default), never answered, or
// answered with `error`.
void set_resolve_mode(resolve_mode mode, int32_t error = -65537);
// Answers every live resolve of this instance, as the registry holds it, from `interface_index`
// (0: the service's own). Returns the number answered.
int answer_resolves(const std::string &type, const std::string &name, uint32_t interface_index = 0);
// Answers every live record query of `full_name` with an A record.
int answer_queries(const std::string &full_name, uint32_t interface_index, uint32_t address_network_order);

// A reply shaped by the test on every live record query of `full_name`: flags (add, more coming),
// error, record type and record data as given. Returns the number answered.
int query_reply(const std::string &full_name, uint32_t flags, uint32_t interface_index, int32_t error,
                uint16_t rrtype, const std::string &rdata);
size_t live_queries();
// The next DNSServiceQueryRecord fails with `error`.
void fail_next_query(int32_t error);

// The next DNSServiceBrowse / DNSServiceResolve / DNSServiceProcessResult fails with `error`.
void fail_next_browse(int32_t error);
void fail_next_resolve(int32_t error);
void fail_next_process(int32_t error);

size_t live_references();
size_t live_browses();
std::vector<resolve_request> live_resolves();
// Descriptors of the live references.
std::vector<int> live_sockets();
size_t references_created();
size_t reconfirm_calls();
uint32_t last_query_flags();

} // namespace dnssd_fake
