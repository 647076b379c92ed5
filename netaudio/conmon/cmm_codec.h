// Records and body trees of the configuration-service protocol: opcodes, statuses, the cached
// records (options, state, configuration, processes) with their accessors, and the codec between
// them and the offset-list trees in a request message body.
//
// Every node of a tree is an offset list (u16 count, then count u16 items); an item is a value or
// the offset of a child, counted from the body start. The root list lies at body offset 0 and a
// writer puts the children after it in item order; readers follow offsets and never depend on the
// order. Narrow text is NUL-terminated and padded to an even length, wide text one big-endian u32
// per UTF-16 unit ending with a 0 unit, a MAC address 6 raw bytes, a u32 4-byte aligned.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/messaging/wgcp_message.h"
#include "netaudio/platform/qnb_error.h"

enum {
    CMM_PROTOCOL = 0x1001,
    CMM_DEFAULT_PORT = 8850
};

// Opcodes.
enum {
    CMM_OPCODE_STATE_QUERY = 1,   // request with the client info; it is the connect request
    CMM_OPCODE_REFRESH = 2,       // request without body: the disconnect
    CMM_OPCODE_OPTIONS = 256,     // notification: options tree
    CMM_OPCODE_STATE = 257,       // notification: state tree
    CMM_OPCODE_SET_CONFIG = 272   // request: set-config tree; response: state tree
};

// Result statuses of the service beyond the container's (wgcp_message.h).
enum {
    CMM_STATUS_INVALID_API = 256,
    CMM_STATUS_INVALID_DATA = 257,
    CMM_STATUS_INVALID_STATE = 258,
    CMM_STATUS_SYSTEM_ERROR = 259
};

// State status values.
enum {
    CMM_SYSTEM_UNKNOWN = 0,
    CMM_SYSTEM_READY = 1,
    CMM_SYSTEM_CHANGING = 2,
    CMM_SYSTEM_INVALID_CONFIG = 3,
    CMM_SYSTEM_OPTIONS_CHANGED = 4
};

// Change flags passed to the changed callback.
enum {
    CMM_CHANGED_REQUEST = 0x01,    // the outstanding request ended
    CMM_CHANGED_CONNECTION = 0x02, // connection state changed
    CMM_CHANGED_LOCK = 0x04,       // the client's own lock flag changed
    CMM_CHANGED_OPTIONS = 0x08,
    CMM_CHANGED_STATE = 0x10
};

// Connection states.
enum {
    CMM_CONNECTION_CLOSED = 0,
    CMM_CONNECTION_CONNECTING = 1,
    CMM_CONNECTION_CONNECTED = 2
};

enum {
    CMM_MAX_INTERFACES = 16,
    CMM_MAX_CONFIG_INTERFACES = 2,
    CMM_MAX_PROCESSES = 16,
    CMM_INTERFACE_NAME_UNITS = 64, // 63 kept + terminator
    CMM_DEVICE_NAME_SIZE = 32,     // 31 kept + terminator
    CMM_PROCESS_NAME_SIZE = 64,    // 63 kept + terminator
    CMM_CLIENT_NAME_SIZE = 64
};

// Set-config flags.
enum {
    CMM_SET_CONFIG = 1, // a configuration follows
    CMM_SET_LOCK = 2    // a lock value follows
};

// Cached records (host order in memory).
struct cmm_interface {
    char16_t name[CMM_INTERFACE_NAME_UNITS]; // terminated
    uint8_t mac[6];
};

struct cmm_interface_list {
    uint16_t count;
    cmm_interface interfaces[CMM_MAX_INTERFACES];
};

struct cmm_system_config {
    uint16_t count;
    cmm_interface interfaces[CMM_MAX_CONFIG_INTERFACES];
};

struct cmm_process {
    char name[CMM_PROCESS_NAME_SIZE]; // terminated
    uint32_t pid;
    uint32_t lock; // 0 or 1
};

struct cmm_state {
    uint16_t status;
    char device_name[CMM_DEVICE_NAME_SIZE]; // terminated
    cmm_system_config current;
    cmm_system_config pending;
    uint16_t process_count;
    cmm_process processes[CMM_MAX_PROCESSES];
};

// What cmm_client_set_system_config sends.
struct cmm_set_config {
    uint32_t flags; // CMM_SET_CONFIG, CMM_SET_LOCK
    cmm_system_config config;
    uint32_t lock; // 1 when the lock is wanted
};

// The client's own identity towards the service.
struct cmm_client_info {
    char name[CMM_CLIENT_NAME_SIZE];
    uint32_t pid;
    uint32_t lock;
};

// Version information of the server, taken from its answer to the connect request.
struct cmm_server_version {
    bool valid;
    uint8_t bytes[2];
    uint16_t word;
    uint16_t extra;
};

// ---------------------------------------------------------------------------------------------
// Record accessors

// Current configuration, null when the status is Unknown; pending configuration, null unless the
// status is Changing.
const cmm_system_config *cmm_state_get_current_config(const cmm_state *state);
const cmm_system_config *cmm_state_get_pending_config(const cmm_state *state);
unsigned cmm_state_get_process_count(const cmm_state *state);
const cmm_process *cmm_state_get_process(const cmm_state *state, unsigned index);
uint32_t cmm_process_get_lock(const cmm_process *process);
unsigned cmm_config_get_interface_count(const cmm_system_config *config);
const cmm_interface *cmm_config_get_interface(const cmm_system_config *config, unsigned index);
unsigned cmm_interfaces_get_count(const cmm_interface_list *list);
const cmm_interface *cmm_interfaces_get(const cmm_interface_list *list, unsigned index);
const uint8_t *cmm_interface_get_mac(const cmm_interface *entry);
// The options entry whose wide name equals `name` exactly, or null.
const cmm_interface *cmm_interfaces_find_by_name(const cmm_interface_list *list, const char16_t *name);
void cmm_config_clear_interfaces(cmm_system_config *config);
// Adds the options entry with `mac`: QNB_ERR_INVALIDPARAMETER when the configuration is full,
// QNB_ERR_INVALIDDATA when no entry has that MAC.
qnb_error cmm_config_add_interface_by_mac(cmm_system_config *config, const cmm_interface_list *options,
                                          const uint8_t mac[6]);

// Names of state status values ("???" for others) and of response statuses.
const char *cmm_system_status_name(uint16_t status);
const char *cmm_response_status_name(uint16_t status);
// A response status as a library error.
qnb_error cmm_status_to_error(uint16_t status);

// ---------------------------------------------------------------------------------------------
// Codec: the body trees inside a container (offsets from the body start, root list at 0).

qnb_error cmm_encode_client_info(wgcp_message *m, const cmm_client_info *info);
qnb_error cmm_encode_options(wgcp_message *m, const cmm_interface_list *options);
// Options with any number of entries (a service may know more than a client keeps).
qnb_error cmm_encode_options_entries(wgcp_message *m, const cmm_interface *entries, unsigned count);
qnb_error cmm_encode_state(wgcp_message *m, const cmm_state *state);
qnb_error cmm_encode_set_config(wgcp_message *m, const cmm_set_config *record);
// The four values of the root list of the answer to the connect request.
qnb_error cmm_encode_server_version(wgcp_message *m, const cmm_server_version *version);

// Parsers fill `out` completely (zero-filled first) or return an error: QNB_ERR_NODATA for a list
// shorter than required or a missing interface list, QNB_ERR_INVALIDPARAMETER for a field outside
// the body.
qnb_error cmm_decode_client_info(wgcp_message *m, cmm_client_info *out);
qnb_error cmm_decode_options(wgcp_message *m, cmm_interface_list *out);
qnb_error cmm_decode_state(wgcp_message *m, cmm_state *out);
qnb_error cmm_decode_set_config(wgcp_message *m, cmm_set_config *out);
qnb_error cmm_decode_server_version(wgcp_message *m, cmm_server_version *out);

// Field-by-field equality of cached records.
bool cmm_interface_list_equal(const cmm_interface_list *a, const cmm_interface_list *b);
bool cmm_state_equal(const cmm_state *a, const cmm_state *b);
bool cmm_config_equal(const cmm_system_config *a, const cmm_system_config *b);
