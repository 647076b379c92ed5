// The library's one layer over the DNS-SD client interface. Every browser goes through it, so the
// behaviour of the backend (Avahi's compatibility library in production, a scripted fake in the
// unit tests) is evened out here and nowhere else:
// - a browse reports each instance once: repeated adds of the same instance on the same interface
//   (one per IP protocol) are folded, and its removal is reported when the last of them goes;
// - replies never carry null texts, and service types, domains and full names end with a dot;
// - record queries pass no flags (the backend refuses any);
// - a reconfirmation never reaches the backend (it does not support one);
// - TXT keys are matched without regard to case;
// - a reference may be deallocated from inside its own callback.
// Each reference has one descriptor; the owner watches it and calls wt_dnssd_process_result when
// it is readable. Callbacks run only inside that call, on the caller's thread.
#pragma once

#include <cstdint>

struct wt_dnssd_ref;

enum {
    WT_DNSSD_FLAG_MORE_COMING = 0x1,
    WT_DNSSD_FLAG_ADD = 0x2
};

// DNS-SD error values the layer itself produces (same numbers as the published interface).
enum {
    WT_DNSSD_ERR_NONE = 0,
    WT_DNSSD_ERR_UNKNOWN = -65537,
    WT_DNSSD_ERR_NOMEMORY = -65539,
    WT_DNSSD_ERR_BADPARAM = -65540
};

// Size of a buffer for a full service name (escaped instance, type and domain, trailing dot).
enum { WT_DNSSD_FULL_NAME_SIZE = 1006 };

enum { WT_DNSSD_TYPE_A = 1, WT_DNSSD_TYPE_PTR = 12, WT_DNSSD_CLASS_IN = 1 };

typedef void (*wt_dnssd_browse_reply)(wt_dnssd_ref *ref, uint32_t flags, uint32_t interface_index,
                                      int32_t error, const char *name, const char *type,
                                      const char *domain, void *context);
// `port` is in network order.
typedef void (*wt_dnssd_resolve_reply)(wt_dnssd_ref *ref, uint32_t flags, uint32_t interface_index,
                                       int32_t error, const char *full_name, const char *host_target,
                                       uint16_t port, uint16_t txt_length, const unsigned char *txt,
                                       void *context);
typedef void (*wt_dnssd_query_reply)(wt_dnssd_ref *ref, uint32_t flags, uint32_t interface_index,
                                     int32_t error, const char *full_name, uint16_t rrtype,
                                     uint16_t rrclass, uint16_t rdata_length, const void *rdata,
                                     uint32_t ttl, void *context);

// Each returns 0 and a reference, or a DNS-SD error and no reference.
int32_t wt_dnssd_browse(wt_dnssd_ref **out, uint32_t flags, uint32_t interface_index, const char *type,
                        const char *domain, wt_dnssd_browse_reply reply, void *context);
int32_t wt_dnssd_resolve(wt_dnssd_ref **out, uint32_t flags, uint32_t interface_index, const char *name,
                         const char *type, const char *domain, wt_dnssd_resolve_reply reply, void *context);
int32_t wt_dnssd_query_record(wt_dnssd_ref **out, uint32_t flags, uint32_t interface_index,
                              const char *full_name, uint16_t rrtype, uint16_t rrclass,
                              wt_dnssd_query_reply reply, void *context);

// The reference's descriptor (-1 for none).
int wt_dnssd_socket(const wt_dnssd_ref *ref);
// Runs the reference's pending callbacks. `socket` is not used. Returns the backend's result.
int32_t wt_dnssd_process_result(int socket, wt_dnssd_ref *ref);
// Ends the operation and closes its descriptor; no callback follows. Safe from inside the
// reference's own callback; null is ignored.
void wt_dnssd_deallocate(wt_dnssd_ref *ref);

// Asks for a record to be checked again. The backend offers no such operation, so nothing is
// sent; an observer (test tooling) may watch the requests.
int32_t wt_dnssd_reconfirm_record(uint32_t flags, uint32_t interface_index, const char *full_name,
                                  uint16_t rrtype, uint16_t rrclass, uint16_t rdata_length,
                                  const void *rdata);
typedef void (*wt_dnssd_reconfirm_observer)(uint32_t interface_index, const char *full_name,
                                            uint16_t rrtype, uint16_t rrclass, void *context);
void wt_dnssd_set_reconfirm_observer(wt_dnssd_reconfirm_observer observer, void *context);

// The escaped full name "instance.type.domain." into a WT_DNSSD_FULL_NAME_SIZE buffer. 0 on
// success, -1 when it cannot be built.
int wt_dnssd_construct_full_name(char *buffer, const char *name, const char *type, const char *domain);

// TXT lookups (keys compared without regard to case; the first entry of a key counts). The value
// pointer is not terminated; null when the key is absent or has no '='.
const void *wt_dnssd_txt_value(uint16_t txt_length, const void *txt, const char *key, uint8_t *value_length);
bool wt_dnssd_txt_contains_key(uint16_t txt_length, const void *txt, const char *key);
