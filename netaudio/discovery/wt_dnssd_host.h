// Host-address records: the IPv4 addresses of a named host as DNS-SD reports them. An A-record
// query on the host name adds and removes addresses per interface; each address is reference
// counted, listeners hear of every address added or removed, and the owner gets one "done"
// notification per batch of changes (after a reply that announces no more to come). Also the
// one-shot lookup of a host's address.
//
// Each record and each lookup has a DNS-SD reference of its own (the backend shares no
// connections), whose descriptor the environment's event loop (qnb_loop.h) watches; both need an
// environment with an event loop. Callbacks run inside the loop's pass, on its thread; a record or
// lookup may be released from inside its own callbacks.
//
// A reference that belongs to a shared connection keeps its end-of-batch callbacks in the
// connection's handler table instead: several users of the connection register (callback,
// context) pairs there for a reference, and the connection's owner watches the one descriptor.
#pragma once

#include <cstdint>

#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_list.h"
#include "netaudio/platform/qnb_socket.h"

struct qnb_env;
struct wt_dnssd_ref;
struct wt_dnssd_host;
struct wt_dnssd_host_addr;
struct wt_dnssd_host_listener;

// Change flags handed to the done callback.
enum {
    WT_DNSSD_HOST_ADDRESS_REMOVED = 1,
    WT_DNSSD_HOST_ADDRESS_ADDED = 2
};

// A DNS-SD reference with its place in the event loop and the callback to run once a batch of
// replies is complete.
typedef void (*wt_dnssd_handler_fn)(void *context);
typedef void (*wt_dnssd_handler_failed_fn)(void *owner, int32_t error);
struct wt_dnssd_handler;

// The handler table of a shared connection: two chains of blocks of 32 entries. Entries registered
// while the table is being walked go into the second chain, so that a walk never sees them; when
// the walk ends they move into free entries of the first chain (or their block is linked to its
// end). Empty blocks are freed, but only outside a walk.
enum { WT_DNSSD_TABLE_BLOCK_ENTRIES = 32 };
// Results of the table operations besides 0.
enum {
    WT_DNSSD_TABLE_NOMEMORY = -255, // no block for a new entry
    WT_DNSSD_TABLE_NOTFOUND = -246  // the pair is in neither chain / both chains are empty
};
struct wt_dnssd_table_entry {
    wt_dnssd_handler_fn callback; // null: free
    void *context;
    wt_dnssd_handler *handler;
};
struct wt_dnssd_table_block {
    uint32_t count; // entries in use
    wt_dnssd_table_block *next;
    wt_dnssd_table_entry entries[WT_DNSSD_TABLE_BLOCK_ENTRIES];
};
struct wt_dnssd_handler_table {
    wt_dnssd_table_block *chains[2];
    unsigned walking; // nesting of walks
};

void wt_dnssd_handler_table_init(wt_dnssd_handler_table *table);
// Frees every block. Not from inside a walk.
void wt_dnssd_handler_table_close(wt_dnssd_handler_table *table);
// Entries in use, in both chains.
unsigned wt_dnssd_handler_table_count(const wt_dnssd_handler_table *table);
// Blocks in chain 0 or 1.
unsigned wt_dnssd_handler_table_blocks(const wt_dnssd_handler_table *table, int chain);
// Tests only: the next `count` new blocks cannot be allocated.
void wt_dnssd_handler_table_fail_blocks_for_tests(unsigned count);

struct wt_dnssd_handler {
    qnb_env *env; // its event loop watches the reference (unless shared)
    wt_dnssd_ref *ref;
    bool shared; // part of a shared connection (never with this backend)
    wt_dnssd_handler_table *table; // the shared connection's table
    wt_dnssd_handler_fn callback; // unshared: the one pair, stored here
    void *callback_context;
    // Told when processing the reference fails (the descriptor is no longer watched then).
    wt_dnssd_handler_failed_fn failed;
    void *owner;
    bool *released; // set while the loop processes the reference
};

// Stops watching the handler's descriptor. QNB_ERR_INVALIDSTATE without an environment; nothing
// for a shared reference; the loop's error otherwise.
qnb_error wt_dnssd_remove_handler(wt_dnssd_handler *handler);
// Clears the callback (or the handler's table entries), removes the descriptor from the loop,
// deallocates the reference and zeroes the handler. Safe from inside the reference's own reply and
// from inside a walk of its table.
void wt_dnssd_handler_release(wt_dnssd_handler *handler);

// Registers (callback, context) to run once at the end of the reference's current batch of
// replies. Shared: a table entry, unless the handler has the pair already (WT_DNSSD_TABLE_NOMEMORY
// when no block can be added); unshared: the pair replaces the one stored in the handler.
// QNB_ERR_INVALIDPARAMETER for a missing handler or callback, or a shared one without a table.
int wt_dnssd_handler_add_callback(wt_dnssd_handler *handler, wt_dnssd_handler_fn callback, void *context);
// Removes one pair: WT_DNSSD_TABLE_NOTFOUND when the handler does not have it.
int wt_dnssd_handler_remove_callback(wt_dnssd_handler *handler, wt_dnssd_handler_fn callback, void *context);
// Removes every pair of the handler (from both chains of a shared one's table);
// WT_DNSSD_TABLE_NOTFOUND when both chains are empty.
int clear_nodes_for_service(wt_dnssd_handler *handler);
// The end of a batch: runs each pair registered for the handler once, taking it out first. A
// callback may register, remove or clear pairs and release handlers (this one included); pairs
// registered during the walk wait for the next batch, pairs removed before their turn do not run.
void wt_dnssd_handler_run_callbacks(wt_dnssd_handler *handler);

// ---------------------------------------------------------------------------------------------
// Host records

typedef void (*wt_dnssd_host_done_fn)(wt_dnssd_host *host, unsigned changes, void *context);
// `added` false: the address is about to go; it must not be kept past the call.
typedef void (*wt_dnssd_host_listener_fn)(wt_dnssd_host *host, const wt_dnssd_host_addr *address, bool added,
                                          void *context);

// Starts the A-record query of `name` ("host.local."), with one reference held by the caller.
// QNB_ERR_INVALIDPARAMETER for a missing name or out; QNB_ERR_NOTSUPPORTED without an event loop;
// QNB_ERR_DNSSDFAIL when the query cannot start; QNB_ERR_NOMEMORY.
qnb_error wt_dnssd_host_new(qnb_env *env, const char *name, wt_dnssd_host_done_fn done, void *context,
                            wt_dnssd_host **out);
// Gives the reference back; the last one ends the query and frees the record with its addresses
// (the listeners hear of each removal). Inside the done callback the release waits until the
// callback returns.
void wt_dnssd_host_release(wt_dnssd_host *host);
// A record whose query belongs to a shared connection: its done notification is registered in
// `table`, and its descriptor is not watched by the record; the connection's owner hands the
// reference to wt_dnssd_host_process when the connection is readable. Nothing in the library
// makes a shared connection (the backend offers none). Errors as wt_dnssd_host_new.
qnb_error wt_dnssd_host_new_shared(qnb_env *env, wt_dnssd_handler_table *table, const char *name,
                                   wt_dnssd_host_done_fn done, void *context, wt_dnssd_host **out);
// Runs the pending replies of a shared record's query (the record may be gone afterwards).
// QNB_ERR_INVALIDSTATE for an unshared record, QNB_ERR_DNSSDFAIL when processing fails.
qnb_error wt_dnssd_host_process(wt_dnssd_host *host);
const char *wt_dnssd_host_get_name(const wt_dnssd_host *host);
unsigned wt_dnssd_host_get_count(const wt_dnssd_host *host);
// The addresses, newest first.
const wt_dnssd_host_addr *wt_dnssd_host_first(const wt_dnssd_host *host);
const wt_dnssd_host_addr *wt_dnssd_host_addr_next(const wt_dnssd_host_addr *address);
// The entry of `address` (IPv4, network order); null when the host does not have it.
const wt_dnssd_host_addr *wt_dnssd_host_find(const wt_dnssd_host *host, uint32_t address);

qnb_error wt_dnssd_host_add_listener(wt_dnssd_host *host, wt_dnssd_host_listener_fn callback, void *context,
                                     wt_dnssd_host_listener **out);
// Silences the listener at once; it is freed when no notification is running.
qnb_error wt_dnssd_host_remove_listener(wt_dnssd_host *host, wt_dnssd_host_listener *listener);

// Addresses.
const qnb_sockaddr *wt_dnssd_host_addr_get(const wt_dnssd_host_addr *address);
unsigned wt_dnssd_host_addr_interface_count(const wt_dnssd_host_addr *address);
bool wt_dnssd_host_addr_on_interface(const wt_dnssd_host_addr *address, uint32_t interface_index);
// The first interface of an address also takes a reference; a new interface is added to its set.
void wt_dnssd_host_addr_retain(wt_dnssd_host_addr *address, uint32_t interface_index);
// Gives a reference back and frees the address at 0, unless it is still in its host's list (then
// it stays, with a warning: too many releases).
void wt_dnssd_host_addr_release(wt_dnssd_host_addr *address);

// ---------------------------------------------------------------------------------------------
// One-shot lookup

enum {
    WT_DNSSD_LOOKUP_PENDING = 1,
    WT_DNSSD_LOOKUP_DONE = 2,
    WT_DNSSD_LOOKUP_FAILED = 3
};

struct wt_dnssd_lookup;
typedef void (*wt_dnssd_lookup_fn)(wt_dnssd_lookup *lookup, void *context);

// Asks once for the address of `name` on `interface_index` (0: any); `callback` (may be null) runs
// when the lookup is done or has failed, and the query ends then. Errors as wt_dnssd_host_new.
qnb_error wt_dnssd_lookup_new(qnb_env *env, const char *name, uint32_t interface_index, wt_dnssd_lookup_fn callback,
                              void *context, wt_dnssd_lookup **out);
// Safe from inside the lookup's callback.
void wt_dnssd_lookup_delete(wt_dnssd_lookup *lookup);
int wt_dnssd_lookup_get_state(const wt_dnssd_lookup *lookup);
// The DNS-SD error of a failed lookup (0 otherwise).
int32_t wt_dnssd_lookup_get_error(const wt_dnssd_lookup *lookup);
// The address found (IPv4, network order); 0 until done.
uint32_t wt_dnssd_lookup_get_address(const wt_dnssd_lookup *lookup);
