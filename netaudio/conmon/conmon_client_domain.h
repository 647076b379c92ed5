// The managed-domain part of the control-and-monitoring client: when the PC belongs to a managed
// domain, registrations, subscriptions and control messages go to the managed-domain server as
// typed-record messages (tlv_message.h) through a domain client of the environment's domain
// handler, and target devices are found by device lookups in the domain (one domain request per
// device name, domain_requests.h).
//
// The part runs on the environment's event loop: it is created only for an environment that has
// an event loop and a domain handler (QNB_ERR_NOTSUPPORTED otherwise). It borrows the client's
// request slots (kind 0, keyed by the typed-record sequence number), its channel-message handlers
// and its remote-device table 1, and reaches the local server through the client's link only for
// CLEAR_REMOTE. Single-threaded: everything runs on the loop's thread.
//
// Control messages: the target is looked up once per name. While its lookup is unresolved a
// message waits in the pending list until the lookup resolves (it is then sent) or its deadline
// passes (the caller's time-out, 2 s when none is given), when it fails with QNB_ERR_NOTFOUND. A
// change of domain fails every pending message with QNB_ERR_NOTFOUND and drops every lookup. A
// send that fails while the processing timer runs completes its slot with the send's error.
//
// Typed records of this part (every u16/u32 big-endian; the value of each record is {u16
// sequence number, u16 status}; answers are response records of the same type carrying the
// request's sequence number and a status):
//
//   0x2002 control message to a device (request). Body (8 bytes):
//            0 u16 offset of the target device name (text)
//            2 u16 offset of the channel message (24-byte head and body)
//            4 u16 length of the channel message
//            6 u16 0
//          Answer: status only.
//   0x2010 register for monitoring messages (request; tlv_msg_add_named_record):
//            a = channel type, flag = register (1) / deregister (0), c = class, d = port,
//            no text, id = the client's domain id, value = the configured group address (channel
//            type 7; its four bytes in network order; else 0). Answer: status only.
//   0x2011 subscribe / unsubscribe (request; tlv_msg_add_named_record):
//            a = channel type, flag = subscribe (1) / unsubscribe (0), c = port, d = 96 (the
//            most devices the client keeps), text = device name, id = domain id, value = 0.
//          Answer: status; with status 0 it may carry the device's subscription record (below).
//   0x2012 hello (request): body of four u32 (tlv_msg_add_4_u32) holding the domain id as it lies
//          in memory, all zero for the ad-hoc id. Answer: status only.
//   0x2013 subscription record pushed by the server (request from the server; answered with
//          status 0). The subscription record of 0x2011 answers and 0x2013 (tlv_parse_0x2011):
//            values[0] channel type, values[1] instance id, values[2] subscription status,
//            part = device name (text), id = device id (8 bytes) then u16 process number,
//            values2 = the two trailing values, flags bit 0: device id present.
//   0x2003 (status) and 0x2007 (named) channel messages from the domain (requests from the server;
//          tlv_parse_0x2003): first = channel type, first part = the channel message,
//          second = flags (bits 0-1: the sender's domain kind, 3 managed, 2 other; bit 2: an
//          acknowledgement is wanted; bit 3: class 0, from the local device), second part = the
//          sender's device name (0x2007). Records from a sender of the wrong domain kind are
//          refused with status 2.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/conmon/conmon_client.h"
#include "netaudio/discovery/domain_client.h"
#include "netaudio/discovery/domain_requests.h"
#include "netaudio/messaging/tlv_message.h"
#include "netaudio/platform/qnb_list.h"
#include "netaudio/platform/qnb_loop.h"

enum {
    CONMON_DOMAIN_RECORD_CONTROL = 0x2002,
    CONMON_DOMAIN_RECORD_STATUS = 0x2003,
    CONMON_DOMAIN_RECORD_NAMED = 0x2007,
    CONMON_DOMAIN_RECORD_REGISTER = 0x2010,
    CONMON_DOMAIN_RECORD_SUBSCRIBE = 0x2011,
    CONMON_DOMAIN_RECORD_HELLO = 0x2012,
    CONMON_DOMAIN_RECORD_SUBSCRIPTION = 0x2013,
    CONMON_DOMAIN_REFUSED_STATUS = 2,
    CONMON_DOMAIN_FLAG_KIND_MASK = 3,
    CONMON_DOMAIN_FLAG_ACK = 4,
    CONMON_DOMAIN_FLAG_LOCAL = 8,
    CONMON_DOMAIN_HELLO_INTERVAL = 2,    // seconds
    CONMON_DOMAIN_CONTROL_TIMEOUT = 2000 // milliseconds, when the caller gives none
};

// Bits of the change mask (conmon_client_domain_take_changes).
enum {
    CONMON_DOMAIN_CHANGE_DOMAIN = 0x02,
    CONMON_DOMAIN_CHANGE_HANDLER = 0x04,
    CONMON_DOMAIN_CHANGE_CONNECTED = 0x10,
    CONMON_DOMAIN_CHANGE_READY = 0x20,
    CONMON_DOMAIN_CHANGE_MAX_BODY = 0x40
};

// Status of an answer as a library error: 0 -> 0, 2 NOTSUPPORTED, 3 VERSION, 4 and 5
// INVALIDDATA, 6 POLICY, other FAULT.
qnb_error conmon_client_domain_status_error(uint16_t status);
// Status of a failed device lookup: 2 and 3 INVALIDPARAMETER, 5 INVALIDDATA, 6 POLICY, other SYSTEM.
qnb_error conmon_client_domain_lookup_error(uint16_t status);

struct conmon_client_domain;

// A device lookup: one domain request for the device's name.
struct conmon_domain_lookup {
    qnb_list_node node;
    conmon_client_domain *owner;
    char name[TLV_NAME_SIZE];
    uint32_t request_id; // 0: no query outstanding
    bool resolved;
    uint16_t device_flags; // of the device record that resolved it
    bool repeat;           // run the processing timer at the next answer
};

// A control message waiting for its lookup.
struct conmon_domain_pending {
    qnb_list_node node;
    conmon_domain_lookup *lookup;
    uint8_t message[CONMON_CHANNEL_PACKET_SIZE]; // channel message: head and body
    uint16_t message_length;
    conmon_request *slot;
    uint32_t slot_generation;
    qnb_timeval deadline;
    uint32_t pass; // processing pass that has handled it
};

struct conmon_client_domain {
    qnb_env *env;
    conmon_client *client;
    domain_client *domain;
    domain_requests *lookups_client;
    qnb_list lookups;
    qnb_list pending;
    qnb_timer *processing_timer;
    qnb_timer *hello_timer;
    uint16_t next_seqnum;         // typed-record requests: from 1, never 0
    uint16_t next_head_seqnum;    // channel-message heads: from 1, never 0
    uint16_t hello_seqnum;        // the outstanding hello; 0: none
    uint32_t pass;
};

// Creates the managed part of `client` on `env` (its event loop and domain handler): registers a
// domain client and takes the current domain. QNB_ERR_NOTSUPPORTED without an event loop or a
// domain handler; QNB_ERR_NOMEMORY.
qnb_error conmon_client_domain_new(conmon_client *client, qnb_env *env, conmon_client_domain **out);
// Fails nothing: pending messages are freed with their slots, without callbacks. Not from inside a
// callback of the part.
void conmon_client_domain_delete(conmon_client_domain *d);

// True while the client's domain is a managed one (neither the ad-hoc id nor all zero).
bool conmon_client_domain_is_managed(const conmon_client_domain *d);
// The client's change bits collected since the last call, then cleared.
uint32_t conmon_client_domain_take_changes(conmon_client_domain *d);

// Registration for monitoring messages of (channel type, class) in the domain (0x2010). Channel
// type 7 needs the configured group address (QNB_ERR_NOTSUPPORTED without one).
qnb_error conmon_client_domain_register_monitoring(conmon_client_domain *d, conmon_request_fn callback,
                                                   conmon_request **out_request, uint16_t channel_type,
                                                   uint16_t class_, bool registering);
// Subscription to (or unsubscription from) a device's messages of a channel type (0x2011).
qnb_error conmon_client_domain_subscribe(conmon_client_domain *d, conmon_request_fn callback,
                                         conmon_request **out_request, uint16_t channel_type,
                                         const char *device_name, bool subscribe);
// A control message {message type, vendor id, body} to the device named `target`, which must be a
// valid device name (QNB_ERR_INVALIDPARAMETER). `timeout_ms` 0 waits 2 s for the lookup.
// QNB_ERR_INVALIDSTATE while the domain is all zero or is changing (from the callbacks of the
// messages a change fails).
qnb_error conmon_client_domain_send_control_message(conmon_client_domain *d, conmon_request_fn callback,
                                                    conmon_request **out_request, const char *target,
                                                    uint16_t message_type, const uint8_t *vendor_id,
                                                    const void *body, size_t body_length, unsigned timeout_ms);
// Frees a slot of this part without calling its callback (a pending message goes with it).
void conmon_client_domain_release_request(conmon_client_domain *d, conmon_request *request);

// Counts, for the owner's inspection.
unsigned conmon_client_domain_pending_count(const conmon_client_domain *d);
unsigned conmon_client_domain_lookup_count(const conmon_client_domain *d);
