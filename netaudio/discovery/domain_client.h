// Domain ids and domain clients. A domain id is 16 bytes; all 0xFF names the ad-hoc network.
//
// A library client that can work in a managed domain registers a domain client with the
// environment's domain handler (the environment's domain hook; an embedding application supplies
// it). The handler gives each client an id, its current domain, a state word, a token, and the
// transport of the client's message channel, through which the client exchanges typed-record
// messages with the domain server. Without a handler the client reports the ad-hoc domain with
// flags 3 and state word 3, and every request to the handler answers NOTCONN.
//
// A handler announces a change by walking its clients (domain_handler_announce): each client's
// token and state are refreshed from the handler, its domain is re-read from the handler when no
// domain was given to it explicitly, and it receives a change event of the announced kind. While
// the handler walks its list a deleted client is only marked and is freed when the walk ends.
#pragma once

#include <cstdint>

#include "netaudio/messaging/tlv_message.h"
#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_list.h"

struct qnb_env;

enum { DOMAIN_ID_SIZE = 16 };

struct domain_info {
    uint8_t id[DOMAIN_ID_SIZE];
    uint32_t flags;
};

// Kinds of change event: 0 before and 1 after a change of domain id; 2 and 3 raised by the
// handler (its connection or domain state changed) with the client's current domain.
enum {
    DOMAIN_EVENT_BEFORE = 0,
    DOMAIN_EVENT_AFTER = 1,
    DOMAIN_EVENT_STATE = 2,
    DOMAIN_EVENT_DOMAIN = 3
};

// A change notification handed to a client's change callback.
struct domain_event {
    uint32_t phase;
    domain_info info;
};

struct domain_handler;
struct domain_client;

typedef void (*domain_change_fn)(domain_client *client, void *context, const domain_event *event);
// Messages from the domain server reach the client's owner through its channel.
typedef tlv_receive_fn domain_receive_fn;

// The handler, supplied by the application. Every operation may be null.
struct domain_handler {
    void (*current_domain)(void *user, domain_info *out);
    qnb_list clients;
    uint16_t reserved_id; // never given to a client
    uint16_t next_id;
    void *user_data;
    uint32_t (*state)(void *user);
    // Fills the transport of a new client's channel; false: the client gets no channel.
    bool (*channel)(void *user, domain_client *client, tlv_transport *out);
    qnb_error (*request)(void *user, uint32_t code, void *data);
    uintptr_t (*token)(void *user);
    uint32_t iterating; // depth of walks over the client list
    uint8_t ids_in_use[0x10000 / 8]; // one bit per id held by a registered client
};

struct domain_client {
    domain_handler *handler; // or none
    qnb_list_node node;      // in the handler's client list
    uint32_t state;          // 3 without a handler
    uint16_t id;
    void *context;
    tlv_channel *channel; // when the handler gives a transport
    uint16_t flags;       // bit 0: no domain info given explicitly
    uint8_t domain_id[DOMAIN_ID_SIZE];
    uint32_t domain_flags;
    uintptr_t handler_token;
    domain_change_fn change_callback;
    domain_receive_fn receive_callback;
    bool enabled;
    bool changing;
    bool delete_pending;
};

// -1, 0 or 1, comparing byte by byte as unsigned values.
int domain_id_compare(const uint8_t *a, const uint8_t *b);
bool domain_id_is_adhoc(const uint8_t *id);
bool domain_id_is_zero(const uint8_t *id);
void domain_id_set_adhoc(uint8_t *id);

// A new client (zeroed). With a handler: state word, token and current domain from the handler
// (3, 0 and the ad-hoc id with flags 3 for missing operations), flags 1, an id allocated and the
// client registered; a channel is created when the handler gives a transport. Null when no id is
// free, memory runs out or the channel cannot be created. Without a handler: state word 3, the
// ad-hoc id, domain flags 3, flags 0.
domain_client *domain_client_new(domain_handler *handler, void *context, domain_change_fn change,
                                 domain_receive_fn receive);
// While the handler walks its clients the client is only marked; it is freed when the walk ends.
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

// Object getters.
uintptr_t object_get_token(const domain_client *client);
void *object_get_context(const domain_client *client);
tlv_channel *object_get_list(const domain_client *client); // the message channel
domain_handler *object_get_owner(const qnb_env *env);      // the environment's domain handler
qnb_error domain_event_get_id(const domain_event *event, uint8_t *out);
// The environment a module object was created with (a browse object, the routing container, a
// client's domain part...: each keeps it in its `env` field); null for none. Clients whose
// structure is private declare their own beside their interface (cmm_client.h).
template <typename Object>
qnb_env *object_get_env(const Object *object)
{
    return object ? object->env : nullptr;
}

// The handler's walk: refreshes every client's token and state, re-reads the domain of clients
// that were given none (domain_client_set_info(c, NULL)) and raises a change event of `kind`
// (DOMAIN_EVENT_STATE or DOMAIN_EVENT_DOMAIN) at each enabled client. Clients deleted meanwhile
// are skipped and freed at the end. QNB_ERR_INVALIDPARAMETER for another kind.
qnb_error domain_handler_announce(domain_handler *handler, uint32_t kind);
