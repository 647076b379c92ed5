// The control-and-monitoring client's object, shared by the client, its local link and its
// managed-domain part only.
#pragma once

#include "netaudio/conmon/conmon_channel.h"
#include "netaudio/conmon/conmon_client.h"
#include "netaudio/conmon/conmon_client_local.h"
#include "netaudio/platform/qnb_interface.h"

struct conmon_client_domain;
struct domain_client;
struct qnb_timer;

enum { CONMON_DOMAIN_UNKNOWN = 0, CONMON_DOMAIN_ADHOC = 1, CONMON_DOMAIN_MANAGED = 2 };

struct conmon_client {
    qnb_env *env;
    conmon_client_config config;
    conmon_client_local *link;
    conmon_channel_set *channels;
    conmon_client_domain *domain; // the managed-domain part: only with an event loop and a domain handler
    qnb_timer *request_timer;     // event-loop mode: the time-outs of local requests

    // Connection data from the server's Connect response.
    conmon_connection_data connection;
    conmon_source_id server_id; // device id and process of the server's device
    qnb_interface interfaces[CONMON_MAX_NETWORKS];

    uint8_t send_buffer[CONMON_LOCAL_BUFFER_SIZE];
    uint8_t receive_buffer[CONMON_LOCAL_BUFFER_SIZE];

    conmon_remote_device_info *table1;
    conmon_remote_device_info *table2;

    conmon_request *requests;
    unsigned request_count;
    unsigned requests_used;
    unsigned request_next;

    int global_subscription[CONMON_CHANNEL_TYPES];
    void *context;
    conmon_client_fn sockets_changed;
    conmon_client_fn networks_changed;
    conmon_client_fn device_name_changed;
    conmon_client_fn dns_domain_name_changed;
    conmon_subscriptions_fn subscriptions;
    conmon_message_handler_fn handlers[CONMON_CHANNEL_TYPES][2];

    int tx_metering_enabled;
    int domain_mode;
    uint8_t domain_id[16];
    size_t max_control_body;
    int connected;
    int ready;
    uint32_t change_mask; // CONMON_DOMAIN_CHANGE_* bits collected since they were last taken

    // While a named channel message is dispatched: its sender.
    const char *named_sender;
    conmon_source_id named_source;
};

// Used by the link.
conmon_request *conmon_client_take_request(conmon_client *client);
void conmon_client_free_request(conmon_client *client, conmon_request *slot);
void conmon_client_complete_request(conmon_client *client, conmon_request *slot, qnb_error result);
qnb_error conmon_client_prepare(conmon_client *client);
void conmon_client_reset_connection(conmon_client *client);
void conmon_client_update_connection_flags(conmon_client *client);
void conmon_client_on_connected(conmon_client *client, const conmon_connection_data *data);
void conmon_client_fire_sockets_changed(conmon_client *client);
// Reads what waits in the link's socket, a bounded number of datagrams, and handles it (both
// socket modes).
qnb_error conmon_client_read_local(conmon_client *client);
// Event-loop mode: arms the request timer for the earliest deadline of a local request.
void conmon_client_rearm_request_timer(conmon_client *client);

// Used by the managed-domain part.
// Recomputes the domain mode (from `domain`; none: the mode stays), the largest control body and
// the connection flags ("ready" follows the domain handler's state in managed mode), collecting
// the change bits.
void conmon_client_recompute(conmon_client *client, const domain_client *domain);
// Tells the channel set whether the client is ad hoc, and enables the serial and vendor-broadcast
// channels exactly then.
void conmon_client_apply_domain_to_channels(conmon_client *client);
// Forgets the global subscriptions, the class-1 handlers of channel types 1 to 8 and table 1.
void conmon_client_clear_adhoc_state(conmon_client *client);
// The table-1 entry of a subscription {instance id, channel type, device name}: the existing one,
// else a new one (`created`), else null when the table is full.
conmon_remote_device_info *conmon_client_table1_entry(conmon_client *client, uint16_t id, uint16_t channel_type,
                                                      const char *name, bool *created);
// Sets (`id` given) or clears an entry's device id.
void conmon_remote_set_device_id(conmon_remote_device_info *entry, const uint8_t *id, uint16_t process);

const char *conmon_error_text(qnb_error e);
