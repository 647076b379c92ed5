// The domain request client: domain requests (record 0x2009) sent to the domain server through a
// domain client's channel, their cancellation (0x200A) and their results (0x200B).
//
// A pending request has the id (domain client id << 16) | counter. The server answers a request
// with results, each may carry a device record (handed to the result callback) and the last one
// is final (the request then ends with done reason 0); a status reply ends it with reason 3; a
// cancel by the client with reason 2. Every message sent takes the next request seqnum (from 1,
// skipping 0). A request whose send failed is removed at once and the error returned.
//
// The mode of a request: DOMAIN_REQUEST_MODE_BROWSE asks for every device of the domain, kept up
// to date until cancelled; DOMAIN_REQUEST_MODE_LOOKUP asks for the one device that the name part
// names.
#pragma once

#include <cstdint>

#include "netaudio/discovery/domain_client.h"
#include "netaudio/messaging/tlv_message.h"
#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_list.h"

enum {
    DOMAIN_REQUEST_MODE_BROWSE = 0,
    DOMAIN_REQUEST_MODE_LOOKUP = 1
};

// Done-callback reasons.
enum {
    DOMAIN_DONE_COMPLETED = 0,
    DOMAIN_DONE_CANCELLED = 2,
    DOMAIN_DONE_STATUS = 3
};

// Status values of a response to a result from the server.
enum {
    DOMAIN_STATUS_OK = 0,
    DOMAIN_STATUS_FAILED = 1,
    DOMAIN_STATUS_UNSUPPORTED = 2,
    DOMAIN_STATUS_INVALID = 5
};

typedef void (*domain_result_fn)(void *user, uint32_t request_id, const tlv_device_record *record);
typedef void (*domain_done_fn)(void *user, uint32_t request_id, uint32_t reason, uint16_t status);

struct domain_request {
    qnb_list_node node;
    uint32_t request_id;
    domain_result_fn result_callback;
    void *user_data;
    domain_done_fn done_callback;
    uint16_t status;
    uint16_t request_seqnum;
};

// Messages are built in the domain client's channel buffer.
struct domain_requests {
    void *owner;
    domain_client *client;
    uint16_t next_seqnum;
    uint16_t counter;
    qnb_list pending;
};

qnb_error domain_requests_new(void *owner, domain_client *client, domain_requests **out);
// Cancels every pending request (without callbacks) and frees the client.
void domain_requests_delete(domain_requests *client);

// Creates a pending request, writes its id into `request` and sends it. QNB_ERR_NOTCONN when the
// domain client has no channel; QNB_ERR_NOBUFS when every request id is pending.
qnb_error domain_requests_add(domain_requests *client, domain_result_fn result, void *user, domain_done_fn done,
                              tlv_domain_request *request);
// Sends the cancel, removes the request and calls its done callback with reason 2; returns the
// send's result. QNB_ERR_NOTFOUND when no request has the id.
qnb_error domain_requests_cancel(domain_requests *client, uint32_t request_id);
// Cancels and frees every pending request without callbacks; returns the first send error.
qnb_error domain_requests_cancel_all(domain_requests *client);
qnb_error domain_requests_get_status(const domain_requests *client, uint32_t request_id, uint16_t *out);
uint32_t domain_requests_count(const domain_requests *client);

// A message from the domain server: results and status replies of our requests; a request from the
// server is answered with a response record carrying the status.
qnb_error domain_requests_handle_message(domain_requests *client, tlv_transaction *transaction);
