// Domain ids and domain clients. A domain id is 16 bytes; all 0xFF names the ad-hoc network.
//
// A library client that can work in a managed domain registers a domain client with the
// environment's domain handler. Without a handler (the only case in this system) the client
// reports the ad-hoc domain with flags 3 and state word 3, and every request to the handler
// answers NOTCONN. The handler side (client list, ids, message channels) and the domain request
// client are not part of this module yet.
#pragma once

#include <cstdint>

#include "netaudio/platform/qnb_error.h"

enum { DOMAIN_ID_SIZE = 16 };

struct domain_info {
    uint8_t id[DOMAIN_ID_SIZE];
    uint32_t flags;
};

// A change notification handed to a client's change callback: phase 0 before, 1 after.
struct domain_event {
    uint32_t phase;
    domain_info info;
};

struct domain_handler;
struct domain_client;

typedef void (*domain_change_fn)(domain_client *client, void *context, const domain_event *event);
typedef void (*domain_receive_fn)(domain_client *client, void *context, const void *data, uint32_t size);

struct domain_client {
    domain_handler *handler; // none in this system
    uint32_t state;          // 3 without a handler
    uint16_t id;
    void *context;
    uint16_t flags; // bit 0: no domain info given explicitly
    uint8_t domain_id[DOMAIN_ID_SIZE];
    uint32_t domain_flags;
    uintptr_t handler_token;
    domain_change_fn change_callback;
    domain_receive_fn receive_callback;
    bool enabled;
    bool changing;
};

// -1, 0 or 1, comparing byte by byte as unsigned values.
int domain_id_compare(const uint8_t *a, const uint8_t *b);
bool domain_id_is_adhoc(const uint8_t *id);
bool domain_id_is_zero(const uint8_t *id);
void domain_id_set_adhoc(uint8_t *id);

// A new client (zeroed). Without a handler: state word 3, the ad-hoc id, domain flags 3, flags 0.
// A handler is not supported yet: null is returned for one.
domain_client *domain_client_new(domain_handler *handler, void *context, domain_change_fn change,
                                 domain_receive_fn receive);
void domain_client_delete(domain_client *client);
// With info: clears flag bit 0 and applies it (the ad-hoc id is refused with NOTSUPPORTED);
// without: sets bit 0 and applies the handler's current domain (ad hoc without a handler).
// Returns 0 when nothing changed, 1 when the domain changed, or an error.
qnb_error domain_client_set_info(domain_client *client, const domain_info *info);
qnb_error domain_client_set_enabled(domain_client *client, bool enabled);
qnb_error domain_client_get_id(const domain_client *client, uint8_t *out);
uint32_t domain_client_get_flags(const domain_client *client);
uint32_t domain_client_get_state(const domain_client *client);
bool domain_client_is_changing(const domain_client *client);
// The handler's request operation; NOTCONN without one.
qnb_error domain_client_call_handler(domain_client *client, uint32_t code, void *data);
