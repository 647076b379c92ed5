// The control-and-monitoring client's object, shared by the client and its local link only.
#pragma once

#include "netaudio/conmon/conmon_channel.h"
#include "netaudio/conmon/conmon_client.h"
#include "netaudio/conmon/conmon_client_local.h"
#include "netaudio/platform/qnb_interface.h"

enum { CONMON_DOMAIN_UNKNOWN = 0, CONMON_DOMAIN_ADHOC = 1, CONMON_DOMAIN_MANAGED = 2 };

struct conmon_client {
    qnb_env *env;
    conmon_client_config config;
    conmon_client_local *link;
    conmon_channel_set *channels;

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
    uint32_t change_mask;

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
