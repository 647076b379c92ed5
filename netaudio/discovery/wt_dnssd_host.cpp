#include "netaudio/discovery/wt_dnssd_host.h"

#include <cstring>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "netaudio/discovery/wt_dnssd.h"
#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_log.h"
#include "netaudio/platform/qnb_loop.h"

namespace {

enum {
    HOST_IN_DONE_CALLBACK = 1,
    HOST_RELEASE_PENDING = 2
};

// Record queries ask for unique answers on every interface (the layer drops flags the backend
// refuses).
const uint32_t k_query_flags = 0x500;

} // namespace

struct wt_dnssd_host_listener {
    wt_dnssd_host_listener_fn callback;
    void *context;
    bool active;
};

struct wt_dnssd_host_addr {
    qnb_list_node node;
    unsigned ref_count;
    wt_dnssd_host *host; // null once detached
    std::set<uint32_t> interfaces; // interface indexes (of any size)
    unsigned interface_count;
    qnb_sockaddr address;
};

struct wt_dnssd_host {
    std::string name;
    unsigned flags;
    wt_dnssd_handler handler;
    qnb_list addresses;
    wt_dnssd_host_done_fn done;
    void *done_context;
    unsigned changes;
    std::vector<wt_dnssd_host_listener *> listeners;
    bool notifying;
    bool in_reply;
    int ref_count;
};

struct wt_dnssd_lookup {
    int state;
    int32_t error;
    uint32_t address;
    wt_dnssd_handler handler;
    wt_dnssd_lookup_fn callback;
    void *context;
};

namespace {

// ---- handler table ----

unsigned g_failing_blocks; // tests only

wt_dnssd_table_block *new_block()
{
    if (g_failing_blocks) {
        --g_failing_blocks;
        return nullptr;
    }
    return new (std::nothrow) wt_dnssd_table_block();
}

// Where a free entry is, or where the pair is.
struct table_slot {
    wt_dnssd_table_block *block;
    unsigned index;
};

void clear_entry(wt_dnssd_table_block *b, unsigned i)
{
    b->entries[i] = wt_dnssd_table_entry{nullptr, nullptr, nullptr};
    --b->count;
}

bool table_find(const wt_dnssd_handler_table *t, const wt_dnssd_handler *h, wt_dnssd_handler_fn callback,
                void *context, table_slot *out)
{
    for (wt_dnssd_table_block *chain : t->chains) {
        for (wt_dnssd_table_block *b = chain; b; b = b->next) {
            for (unsigned i = 0; i < WT_DNSSD_TABLE_BLOCK_ENTRIES; ++i) {
                const wt_dnssd_table_entry &e = b->entries[i];
                if (e.callback && e.handler == h && e.callback == callback && e.context == context) {
                    if (out)
                        *out = table_slot{b, i};
                    return true;
                }
            }
        }
    }
    return false;
}

bool table_has_handler(const wt_dnssd_handler_table *t, const wt_dnssd_handler *h)
{
    for (wt_dnssd_table_block *chain : t->chains)
        for (wt_dnssd_table_block *b = chain; b; b = b->next)
            for (const wt_dnssd_table_entry &e : b->entries)
                if (e.callback && e.handler == h)
                    return true;
    return false;
}

// Steps (block, index) to the next free entry of its chain; false when there is none.
bool next_free(wt_dnssd_table_block *&b, unsigned &i)
{
    for (; b; b = b->next, i = 0) {
        if (b->count == WT_DNSSD_TABLE_BLOCK_ENTRIES)
            continue;
        for (; i < WT_DNSSD_TABLE_BLOCK_ENTRIES; ++i)
            if (!b->entries[i].callback)
                return true;
    }
    return false;
}

// Moves the second chain's entries into free entries of the first; a block whose entries do not
// all fit is linked to the end of the first chain.
void table_join(wt_dnssd_handler_table *t)
{
    wt_dnssd_table_block *to = t->chains[0];
    unsigned to_index = 0;
    wt_dnssd_table_block **end = &t->chains[0];
    while (*end)
        end = &(*end)->next;
    while (wt_dnssd_table_block *from = t->chains[1]) {
        for (unsigned i = 0; i < WT_DNSSD_TABLE_BLOCK_ENTRIES && from->count; ++i) {
            if (!from->entries[i].callback)
                continue;
            if (!next_free(to, to_index))
                break;
            to->entries[to_index] = from->entries[i];
            ++to->count;
            clear_entry(from, i);
        }
        t->chains[1] = from->next;
        from->next = nullptr;
        if (from->count) {
            *end = from;
            end = &from->next;
        } else {
            delete from;
        }
    }
}

// Outside a walk: frees the empty blocks and joins the second chain to the first.
void table_tidy(wt_dnssd_handler_table *t)
{
    if (t->walking)
        return;
    table_join(t);
    for (wt_dnssd_table_block *&chain : t->chains) {
        wt_dnssd_table_block **link = &chain;
        while (*link) {
            wt_dnssd_table_block *b = *link;
            if (b->count) {
                link = &b->next;
                continue;
            }
            *link = b->next;
            delete b;
        }
    }
}

int table_add(wt_dnssd_handler_table *t, wt_dnssd_handler *h, wt_dnssd_handler_fn callback, void *context)
{
    if (table_find(t, h, callback, context, nullptr))
        return 0;
    // A walk never sees what is registered while it runs.
    wt_dnssd_table_block **link = &t->chains[t->walking ? 1 : 0];
    while (*link && (*link)->count == WT_DNSSD_TABLE_BLOCK_ENTRIES)
        link = &(*link)->next;
    if (!*link) {
        *link = new_block();
        if (!*link)
            return WT_DNSSD_TABLE_NOMEMORY;
    }
    wt_dnssd_table_block *b = *link;
    for (wt_dnssd_table_entry &e : b->entries) {
        if (e.callback)
            continue;
        e = wt_dnssd_table_entry{callback, context, h};
        ++b->count;
        return 0;
    }
    return WT_DNSSD_TABLE_NOMEMORY; // not reached: a block with room has a free entry
}

// ---- handlers ----

// Runs the reference's pending replies and returns the backend's result. The handler may be gone
// afterwards.
int32_t handler_process(wt_dnssd_handler *h, int socket)
{
    bool released = false;
    h->released = &released;
    int32_t err = wt_dnssd_process_result(socket, h->ref);
    if (released)
        return err; // the owner let go of it inside a reply
    h->released = nullptr;
    if (err == WT_DNSSD_ERR_NONE)
        return err;
    // A reference that cannot be processed would keep its descriptor readable for ever.
    qnb_debug_print(QNB_DBG_ERROR, "%s: processing failed: %d", "wt_dnssd_handler", static_cast<int>(err));
    wt_dnssd_remove_handler(h);
    if (h->failed)
        h->failed(h->owner, err);
    return err;
}

void handler_socket_ready(qnb_event_loop *, int socket, unsigned, void *user_data)
{
    handler_process(static_cast<wt_dnssd_handler *>(user_data), socket);
}

// A null table: the reference is the handler's own and the loop watches its descriptor.
qnb_error handler_start(wt_dnssd_handler *h, qnb_env *env, wt_dnssd_ref *ref, wt_dnssd_handler_table *table,
                        wt_dnssd_handler_failed_fn failed, void *owner)
{
    h->env = env;
    h->ref = ref;
    h->shared = table != nullptr;
    h->table = table;
    h->callback = nullptr;
    h->callback_context = nullptr;
    h->failed = failed;
    h->owner = owner;
    h->released = nullptr;
    int socket = wt_dnssd_socket(ref);
    if (socket < 0)
        return QNB_ERR_DNSSDFAIL;
    if (h->shared)
        return QNB_ERR_SUCCESS; // the connection's owner watches it
    return qnb_event_loop_set_socket(env->event_loop, socket, QNB_EVENT_LOOP_SET_READ, handler_socket_ready, h,
                                     QNB_EVENT_LOOP_ADD_ONLY);
}

bool handler_has_callbacks(const wt_dnssd_handler *h)
{
    if (h->shared)
        return h->table && table_has_handler(h->table, h);
    return h->callback != nullptr;
}

qnb_event_loop *loop_of(qnb_env *env)
{
    return env ? env->event_loop : nullptr;
}

// ---- addresses ----

void address_text(const wt_dnssd_host_addr *a, char *buffer, size_t size)
{
    qnb_sockaddr_to_host_text(&a->address, buffer, size);
}

void notify_listeners(wt_dnssd_host *host, const wt_dnssd_host_addr *address, bool added)
{
    bool was = host->notifying;
    host->notifying = true;
    for (size_t i = 0; i < host->listeners.size(); ++i) {
        wt_dnssd_host_listener *l = host->listeners[i];
        if (l->active)
            l->callback(host, address, added, l->context);
    }
    host->notifying = was;
    if (was)
        return;
    std::vector<wt_dnssd_host_listener *> kept;
    for (wt_dnssd_host_listener *l : host->listeners) {
        if (l->active)
            kept.push_back(l);
        else
            delete l;
    }
    host->listeners.swap(kept);
}

wt_dnssd_host_addr *find_entry(const wt_dnssd_host *host, uint32_t address)
{
    for (qnb_list_node *n = host->addresses.first; n; n = n->next) {
        wt_dnssd_host_addr *a = static_cast<wt_dnssd_host_addr *>(n->data);
        if (a->address.sin.sin_addr.s_addr == address)
            return a;
    }
    return nullptr;
}

// Returns false when the address was not on that interface.
bool release_on_interface(wt_dnssd_host_addr *a, uint32_t interface_index)
{
    if (!a->interfaces.erase(interface_index))
        return false;
    --a->interface_count;
    if (a->interface_count)
        return true;
    wt_dnssd_host *host = a->host;
    notify_listeners(host, a, false);
    qnb_list_remove(&a->node);
    a->host = nullptr;
    wt_dnssd_host_addr_release(a);
    return true;
}

wt_dnssd_host_addr *create_entry(wt_dnssd_host *host, const qnb_sockaddr &address, uint32_t interface_index)
{
    wt_dnssd_host_addr *a = new (std::nothrow) wt_dnssd_host_addr();
    if (!a)
        return nullptr;
    a->node.data = a;
    a->host = host;
    a->address = address;
    wt_dnssd_host_addr_retain(a, interface_index);
    qnb_list_push_front(&host->addresses, &a->node);
    notify_listeners(host, a, true);
    return a;
}

// ---- host records ----

void notify_done_cb(void *context)
{
    static const char *const fn = "notify_done_cb";
    wt_dnssd_host *host = static_cast<wt_dnssd_host *>(context);
    if (host->changes && host->done) {
        qnb_debug_print(QNB_DBG_NOTICE, "%s: '%s' firing (callback=%p flags=0x%0x)", fn, host->name.c_str(),
                        reinterpret_cast<void *>(host->done), host->changes);
        host->flags |= HOST_IN_DONE_CALLBACK;
        host->done(host, host->changes, host->done_context);
        host->flags &= ~static_cast<unsigned>(HOST_IN_DONE_CALLBACK);
    } else {
        qnb_debug_print(QNB_DBG_DEBUG, "%s: '%s' no callback / flags (callback=%p flags=0x%0x)", fn,
                        host->name.c_str(), reinterpret_cast<void *>(host->done), host->changes);
    }
    if (host->flags & HOST_RELEASE_PENDING)
        wt_dnssd_host_release(host);
    else
        host->changes = 0;
}

void host_addr_callback(wt_dnssd_host *host, uint32_t flags, uint32_t interface_index, int32_t error,
                        const char *name, uint16_t rrtype, uint16_t rdata_length, const void *rdata)
{
    static const char *const fn = "host_addr_callback";
    if (!host) {
        qnb_debug_print(QNB_DBG_ERROR, "%s: no host in callback for '%s', type %u", fn, name, rrtype);
        return;
    }
    if (error != WT_DNSSD_ERR_NONE) {
        qnb_debug_print(QNB_DBG_ERROR, "%s: MDNS error %d while resolving address for '%s'", fn,
                        static_cast<int>(error), host->name.c_str());
        return;
    }
    if (rrtype != WT_DNSSD_TYPE_A) {
        qnb_debug_print(QNB_DBG_CRITICAL, "%s: Unexpected RR type %u while resolving address for '%s'", fn, rrtype,
                        host->name.c_str());
        return;
    }
    if (rdata_length != 4 || !rdata) {
        qnb_debug_print(QNB_DBG_ERROR, "%s: Invalid rdlen = %u for A record", fn, rdata_length);
        return;
    }
    uint32_t raw;
    std::memcpy(&raw, rdata, 4);
    qnb_sockaddr address;
    if (qnb_sockaddr_set(&address, raw, 0) != QNB_ERR_SUCCESS) {
        qnb_debug_print(QNB_DBG_ERROR, "%s: bad address (type %u) while resolving '%s'", fn, rrtype,
                        host->name.c_str());
        return;
    }
    bool add = (flags & WT_DNSSD_FLAG_ADD) != 0;
    char text[QNB_SOCKADDR_TEXT_SIZE];
    qnb_sockaddr_to_host_text(&address, text, sizeof text);
    qnb_debug_print(QNB_DBG_DEBUG, "%s: '%s': address '%s' %s on interface %u", fn, host->name.c_str(), text,
                    add ? "added" : "removed", interface_index);
    wt_dnssd_host_addr *entry = find_entry(host, raw);
    if (add) {
        if (entry) {
            if (!entry->interfaces.count(interface_index)) {
                wt_dnssd_host_addr_retain(entry, interface_index);
                host->changes |= WT_DNSSD_HOST_ADDRESS_ADDED;
            }
        } else if (create_entry(host, address, interface_index)) {
            host->changes |= WT_DNSSD_HOST_ADDRESS_ADDED;
        } else {
            qnb_debug_print(QNB_DBG_CRITICAL, "%s: memory error", fn);
        }
    } else if (entry && release_on_interface(entry, interface_index)) {
        host->changes |= WT_DNSSD_HOST_ADDRESS_REMOVED;
    }
    // The done notification follows the batch.
    if (wt_dnssd_handler_add_callback(&host->handler, notify_done_cb, host) != 0)
        qnb_debug_print(QNB_DBG_CRITICAL, "%s: memory error", fn);
}

void host_query_reply(wt_dnssd_ref *, uint32_t flags, uint32_t interface_index, int32_t error, const char *full_name,
                      uint16_t rrtype, uint16_t, uint16_t rdata_length, const void *rdata, uint32_t, void *context)
{
    wt_dnssd_host *host = static_cast<wt_dnssd_host *>(context);
    if (!host) {
        host_addr_callback(host, flags, interface_index, error, full_name, rrtype, rdata_length, rdata);
        return;
    }
    // A release from a listener waits until the reply has been handled.
    host->in_reply = true;
    host_addr_callback(host, flags, interface_index, error, full_name, rrtype, rdata_length, rdata);
    host->in_reply = false;
    if (!(flags & WT_DNSSD_FLAG_MORE_COMING) && handler_has_callbacks(&host->handler)) {
        // The done notification carries out a pending release; without it the release would wait
        // for a batch that may never come.
        if (!(host->flags & HOST_RELEASE_PENDING) ||
            wt_dnssd_handler_add_callback(&host->handler, notify_done_cb, host) == 0) {
            wt_dnssd_handler_run_callbacks(&host->handler); // may free the host
            return;
        }
    }
    if (host->flags & HOST_RELEASE_PENDING)
        wt_dnssd_host_release(host);
}

void host_query_failed(void *owner, int32_t error)
{
    wt_dnssd_host *host = static_cast<wt_dnssd_host *>(owner);
    qnb_debug_print(QNB_DBG_ERROR, "%s: '%s': query ended: %d", "wt_dnssd_host", host->name.c_str(),
                    static_cast<int>(error));
}

// ---- one-shot lookup ----

void ghbn_query_reply(wt_dnssd_ref *, uint32_t, uint32_t, int32_t error, const char *, uint16_t, uint16_t,
                      uint16_t rdata_length, const void *rdata, uint32_t, void *context)
{
    static const char *const fn = "ghbn_query_reply";
    wt_dnssd_lookup *lookup = static_cast<wt_dnssd_lookup *>(context);
    if (lookup->state != WT_DNSSD_LOOKUP_PENDING)
        return;
    if (error != WT_DNSSD_ERR_NONE) {
        qnb_debug_print(QNB_DBG_ERROR, "%s: MDNS error: %d", fn, static_cast<int>(error));
        lookup->error = error;
        lookup->state = WT_DNSSD_LOOKUP_FAILED;
    } else if (rdata_length == sizeof lookup->address && rdata) {
        std::memcpy(&lookup->address, rdata, sizeof lookup->address);
        lookup->state = WT_DNSSD_LOOKUP_DONE;
    } else {
        qnb_debug_print(QNB_DBG_ERROR, "%s: bad rdata length %u (expected %u)", fn, rdata_length,
                        static_cast<unsigned>(sizeof lookup->address));
        lookup->error = WT_DNSSD_ERR_UNKNOWN;
        lookup->state = WT_DNSSD_LOOKUP_FAILED;
    }
    // One answer is all a lookup wants: the query ends here, inside its own reply.
    wt_dnssd_handler_release(&lookup->handler);
    if (lookup->callback)
        lookup->callback(lookup, lookup->context); // may delete the lookup
}

void lookup_failed(void *owner, int32_t error)
{
    wt_dnssd_lookup *lookup = static_cast<wt_dnssd_lookup *>(owner);
    lookup->error = error;
    lookup->state = WT_DNSSD_LOOKUP_FAILED;
    wt_dnssd_handler_release(&lookup->handler);
    if (lookup->callback)
        lookup->callback(lookup, lookup->context);
}

qnb_error start_query(qnb_env *env, wt_dnssd_handler_table *table, const char *name, uint32_t interface_index,
                      wt_dnssd_query_reply reply, void *context, wt_dnssd_handler *handler,
                      wt_dnssd_handler_failed_fn failed)
{
    wt_dnssd_ref *ref = nullptr;
    int32_t err = wt_dnssd_query_record(&ref, k_query_flags, interface_index, name, WT_DNSSD_TYPE_A,
                                        WT_DNSSD_CLASS_IN, reply, context);
    if (err != WT_DNSSD_ERR_NONE || !ref)
        return err == WT_DNSSD_ERR_NOMEMORY ? QNB_ERR_NOMEMORY : QNB_ERR_DNSSDFAIL;
    qnb_error e = handler_start(handler, env, ref, table, failed, context);
    if (e) {
        wt_dnssd_deallocate(ref);
        std::memset(handler, 0, sizeof *handler);
    }
    return e;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Handlers

qnb_error wt_dnssd_remove_handler(wt_dnssd_handler *handler)
{
    static const char *const fn = "wt_dnssd_remove_handler";
    if (!handler || !handler->env)
        return QNB_ERR_INVALIDSTATE;
    if (handler->shared)
        return QNB_ERR_SUCCESS;
    int socket = wt_dnssd_socket(handler->ref);
    qnb_event_loop *loop = loop_of(handler->env);
    if (socket < 0 || !loop)
        return QNB_ERR_SUCCESS;
    qnb_error err = qnb_event_loop_set_socket(loop, socket, QNB_EVENT_LOOP_SET_READ, nullptr, nullptr,
                                              QNB_EVENT_LOOP_CHANGE_ONLY);
    if (err && err != QNB_ERR_NOTFOUND) {
        const char *text = qnb_error_get_text(err);
        qnb_debug_print(QNB_DBG_ERROR, "%s(%p): Failed to delete event for socket %d: %s (%d)", fn,
                        static_cast<void *>(handler), socket, text ? text : "unknown error", err);
        return err;
    }
    return QNB_ERR_SUCCESS;
}

void wt_dnssd_handler_release(wt_dnssd_handler *handler)
{
    if (!handler || !handler->ref)
        return;
    clear_nodes_for_service(handler);
    wt_dnssd_remove_handler(handler);
    wt_dnssd_deallocate(handler->ref);
    if (handler->released)
        *handler->released = true;
    std::memset(handler, 0, sizeof *handler);
}

int wt_dnssd_handler_add_callback(wt_dnssd_handler *handler, wt_dnssd_handler_fn callback, void *context)
{
    if (!handler || !callback || (handler->shared && !handler->table))
        return QNB_ERR_INVALIDPARAMETER;
    if (handler->shared)
        return table_add(handler->table, handler, callback, context);
    handler->callback = callback;
    handler->callback_context = context;
    return 0;
}

int wt_dnssd_handler_remove_callback(wt_dnssd_handler *handler, wt_dnssd_handler_fn callback, void *context)
{
    if (!handler || !callback || (handler->shared && !handler->table))
        return QNB_ERR_INVALIDPARAMETER;
    if (!handler->shared) {
        if (handler->callback != callback || handler->callback_context != context)
            return WT_DNSSD_TABLE_NOTFOUND;
        handler->callback = nullptr;
        handler->callback_context = nullptr;
        return 0;
    }
    table_slot slot;
    if (!table_find(handler->table, handler, callback, context, &slot))
        return WT_DNSSD_TABLE_NOTFOUND;
    clear_entry(slot.block, slot.index);
    table_tidy(handler->table);
    return 0;
}

int clear_nodes_for_service(wt_dnssd_handler *handler)
{
    static const char *const fn = "clear_nodes_for_service";
    if (!handler || (handler->shared && !handler->table))
        return QNB_ERR_INVALIDPARAMETER;
    if (!handler->shared) {
        handler->callback = nullptr;
        handler->callback_context = nullptr;
        return 0;
    }
    wt_dnssd_handler_table *t = handler->table;
    if (wt_dnssd_handler_table_count(t) == 0)
        return WT_DNSSD_TABLE_NOTFOUND;
    for (wt_dnssd_table_block *chain : t->chains) {
        unsigned index = 0;
        for (wt_dnssd_table_block *b = chain; b; b = b->next) {
            for (unsigned i = 0; i < WT_DNSSD_TABLE_BLOCK_ENTRIES; ++i, ++index) {
                wt_dnssd_table_entry &e = b->entries[i];
                if (!e.callback || e.handler != handler)
                    continue;
                qnb_debug_print(QNB_DBG_DEBUG, "%s: %p at index %u, context %p", fn,
                                reinterpret_cast<void *>(e.callback), index, e.context);
                clear_entry(b, i);
            }
        }
    }
    table_tidy(t);
    return 0;
}

void wt_dnssd_handler_run_callbacks(wt_dnssd_handler *handler)
{
    if (!handler)
        return;
    if (!handler->shared) {
        wt_dnssd_handler_fn callback = handler->callback;
        void *context = handler->callback_context;
        handler->callback = nullptr;
        handler->callback_context = nullptr;
        if (callback)
            callback(context);
        return;
    }
    // The handler may be released by a callback: only its address is used from here on.
    wt_dnssd_handler_table *t = handler->table;
    const wt_dnssd_handler *key = handler;
    if (!t)
        return;
    ++t->walking;
    // The first chain neither grows nor loses blocks while the walk runs.
    for (wt_dnssd_table_block *b = t->chains[0]; b; b = b->next) {
        for (unsigned i = 0; i < WT_DNSSD_TABLE_BLOCK_ENTRIES; ++i) {
            wt_dnssd_table_entry e = b->entries[i];
            if (!e.callback || e.handler != key)
                continue;
            clear_entry(b, i);
            e.callback(e.context);
        }
    }
    --t->walking;
    table_tidy(t);
}

void wt_dnssd_handler_table_init(wt_dnssd_handler_table *table)
{
    if (table)
        *table = wt_dnssd_handler_table{{nullptr, nullptr}, 0};
}

void wt_dnssd_handler_table_close(wt_dnssd_handler_table *table)
{
    if (!table)
        return;
    for (wt_dnssd_table_block *&chain : table->chains) {
        while (chain) {
            wt_dnssd_table_block *next = chain->next;
            delete chain;
            chain = next;
        }
    }
    table->walking = 0;
}

unsigned wt_dnssd_handler_table_count(const wt_dnssd_handler_table *table)
{
    unsigned n = 0;
    if (table)
        for (wt_dnssd_table_block *chain : table->chains)
            for (wt_dnssd_table_block *b = chain; b; b = b->next)
                n += b->count;
    return n;
}

void wt_dnssd_handler_table_fail_blocks_for_tests(unsigned count)
{
    g_failing_blocks = count;
}

unsigned wt_dnssd_handler_table_blocks(const wt_dnssd_handler_table *table, int chain)
{
    unsigned n = 0;
    if (table && (chain == 0 || chain == 1))
        for (wt_dnssd_table_block *b = table->chains[chain]; b; b = b->next)
            ++n;
    return n;
}

// ---------------------------------------------------------------------------------------------
// Host records

namespace {

qnb_error host_new(qnb_env *env, wt_dnssd_handler_table *table, const char *name, wt_dnssd_host_done_fn done,
                   void *context, wt_dnssd_host **out)
{
    if (!name || !name[0] || !out)
        return QNB_ERR_INVALIDPARAMETER;
    if (!loop_of(env))
        return QNB_ERR_NOTSUPPORTED;
    wt_dnssd_host *host = new (std::nothrow) wt_dnssd_host();
    if (!host)
        return QNB_ERR_NOMEMORY;
    try {
        host->name = name;
    } catch (const std::bad_alloc &) {
        delete host;
        return QNB_ERR_NOMEMORY;
    }
    host->done = done;
    host->done_context = context;
    host->ref_count = 1;
    qnb_error err = start_query(env, table, name, 0, host_query_reply, host, &host->handler, host_query_failed);
    if (err) {
        delete host;
        return err;
    }
    *out = host;
    return QNB_ERR_SUCCESS;
}

} // namespace

qnb_error wt_dnssd_host_new(qnb_env *env, const char *name, wt_dnssd_host_done_fn done, void *context,
                            wt_dnssd_host **out)
{
    return host_new(env, nullptr, name, done, context, out);
}

qnb_error wt_dnssd_host_new_shared(qnb_env *env, wt_dnssd_handler_table *table, const char *name,
                                   wt_dnssd_host_done_fn done, void *context, wt_dnssd_host **out)
{
    if (!table)
        return QNB_ERR_INVALIDPARAMETER;
    return host_new(env, table, name, done, context, out);
}

qnb_error wt_dnssd_host_process(wt_dnssd_host *host)
{
    if (!host)
        return QNB_ERR_INVALIDPARAMETER;
    if (!host->handler.shared || !host->handler.ref)
        return QNB_ERR_INVALIDSTATE;
    int32_t err = handler_process(&host->handler, -1);
    return err == WT_DNSSD_ERR_NONE ? QNB_ERR_SUCCESS : QNB_ERR_DNSSDFAIL;
}

void wt_dnssd_host_release(wt_dnssd_host *host)
{
    static const char *const fn = "wt_dnssd_host_release";
    if (!host)
        return;
    if (host->ref_count > 0) {
        --host->ref_count;
        qnb_debug_print(QNB_DBG_DEBUG, "%s: release for '%s' is %u", fn, host->name.c_str(),
                        static_cast<unsigned>(host->ref_count));
        if (host->ref_count > 0)
            return;
    } else if (host->flags & HOST_RELEASE_PENDING) {
        qnb_debug_print(QNB_DBG_DEBUG, "%s: post-callback cleanup of '%s'", fn, host->name.c_str());
        host->flags &= ~static_cast<unsigned>(HOST_RELEASE_PENDING);
    } else {
        qnb_debug_print(QNB_DBG_ERROR, "%s: release for '%s' already 0", fn, host->name.c_str());
        return;
    }
    if (host->flags & HOST_IN_DONE_CALLBACK || host->in_reply) {
        host->flags |= HOST_RELEASE_PENDING;
        return;
    }
    wt_dnssd_handler_release(&host->handler);
    while (host->addresses.first) {
        wt_dnssd_host_addr *a = static_cast<wt_dnssd_host_addr *>(host->addresses.first->data);
        notify_listeners(host, a, false);
        qnb_list_remove(&a->node);
        a->host = nullptr;
        wt_dnssd_host_addr_release(a);
    }
    for (wt_dnssd_host_listener *l : host->listeners)
        delete l;
    delete host;
}

const char *wt_dnssd_host_get_name(const wt_dnssd_host *host)
{
    return host ? host->name.c_str() : nullptr;
}

unsigned wt_dnssd_host_get_count(const wt_dnssd_host *host)
{
    return host ? host->addresses.count : 0;
}

const wt_dnssd_host_addr *wt_dnssd_host_first(const wt_dnssd_host *host)
{
    return host && host->addresses.first ? static_cast<wt_dnssd_host_addr *>(host->addresses.first->data) : nullptr;
}

const wt_dnssd_host_addr *wt_dnssd_host_addr_next(const wt_dnssd_host_addr *address)
{
    return address && address->node.next ? static_cast<wt_dnssd_host_addr *>(address->node.next->data) : nullptr;
}

const wt_dnssd_host_addr *wt_dnssd_host_find(const wt_dnssd_host *host, uint32_t address)
{
    return host ? find_entry(host, address) : nullptr;
}

qnb_error wt_dnssd_host_add_listener(wt_dnssd_host *host, wt_dnssd_host_listener_fn callback, void *context,
                                     wt_dnssd_host_listener **out)
{
    if (!host || !callback)
        return QNB_ERR_INVALIDPARAMETER;
    wt_dnssd_host_listener *l = new (std::nothrow) wt_dnssd_host_listener{callback, context, true};
    if (!l)
        return QNB_ERR_NOMEMORY;
    try {
        host->listeners.push_back(l);
    } catch (const std::bad_alloc &) {
        delete l;
        return QNB_ERR_NOMEMORY;
    }
    if (out)
        *out = l;
    return QNB_ERR_SUCCESS;
}

qnb_error wt_dnssd_host_remove_listener(wt_dnssd_host *host, wt_dnssd_host_listener *listener)
{
    if (!host || !listener)
        return QNB_ERR_INVALIDPARAMETER;
    for (size_t i = 0; i < host->listeners.size(); ++i) {
        if (host->listeners[i] != listener)
            continue;
        listener->active = false;
        if (!host->notifying) {
            host->listeners.erase(host->listeners.begin() + static_cast<std::ptrdiff_t>(i));
            delete listener;
        }
        return QNB_ERR_SUCCESS;
    }
    return QNB_ERR_NOTFOUND;
}

const qnb_sockaddr *wt_dnssd_host_addr_get(const wt_dnssd_host_addr *address)
{
    return address ? &address->address : nullptr;
}

unsigned wt_dnssd_host_addr_interface_count(const wt_dnssd_host_addr *address)
{
    return address ? address->interface_count : 0;
}

bool wt_dnssd_host_addr_on_interface(const wt_dnssd_host_addr *address, uint32_t interface_index)
{
    return address && address->interfaces.count(interface_index) != 0;
}

void wt_dnssd_host_addr_retain(wt_dnssd_host_addr *address, uint32_t interface_index)
{
    if (!address)
        return;
    if (address->interface_count == 0) {
        ++address->ref_count;
        char text[QNB_SOCKADDR_TEXT_SIZE];
        address_text(address, text, sizeof text);
        qnb_debug_print(QNB_DBG_DEBUG, "%s: retain for '%s' (0x%p) is %u", "wt_dnssd_host_addr_retain", text,
                        static_cast<void *>(address), address->ref_count);
    }
    try {
        if (address->interfaces.insert(interface_index).second)
            ++address->interface_count;
    } catch (const std::bad_alloc &) {
        qnb_debug_print(QNB_DBG_CRITICAL, "%s: memory error", "wt_dnssd_host_addr_retain");
    }
}

void wt_dnssd_host_addr_release(wt_dnssd_host_addr *address)
{
    static const char *const fn = "wt_dnssd_host_addr_release";
    if (!address)
        return;
    if (address->ref_count)
        --address->ref_count;
    char text[QNB_SOCKADDR_TEXT_SIZE];
    address_text(address, text, sizeof text);
    if (address->host)
        qnb_debug_print(QNB_DBG_DEBUG, "%s: release for %s for '%s' (0x%p) is %u", fn, text,
                        address->host->name.c_str(), static_cast<void *>(address), address->ref_count);
    else
        qnb_debug_print(QNB_DBG_DEBUG, "%s: release for %s [no parent] (0x%p) is %u", fn, text,
                        static_cast<void *>(address), address->ref_count);
    if (address->ref_count)
        return;
    if (address->node.list) {
        address->ref_count = 1;
        qnb_debug_print(QNB_DBG_CRITICAL, "%s: release while still in list - too many 'release' calls?", fn);
        return;
    }
    delete address;
}

// ---------------------------------------------------------------------------------------------
// One-shot lookup

qnb_error wt_dnssd_lookup_new(qnb_env *env, const char *name, uint32_t interface_index, wt_dnssd_lookup_fn callback,
                              void *context, wt_dnssd_lookup **out)
{
    if (!name || !name[0] || !out)
        return QNB_ERR_INVALIDPARAMETER;
    if (!loop_of(env))
        return QNB_ERR_NOTSUPPORTED;
    wt_dnssd_lookup *lookup = new (std::nothrow) wt_dnssd_lookup();
    if (!lookup)
        return QNB_ERR_NOMEMORY;
    lookup->state = WT_DNSSD_LOOKUP_PENDING;
    lookup->callback = callback;
    lookup->context = context;
    qnb_error err =
        start_query(env, nullptr, name, interface_index, ghbn_query_reply, lookup, &lookup->handler, lookup_failed);
    if (err) {
        delete lookup;
        return err;
    }
    *out = lookup;
    return QNB_ERR_SUCCESS;
}

void wt_dnssd_lookup_delete(wt_dnssd_lookup *lookup)
{
    if (!lookup)
        return;
    wt_dnssd_handler_release(&lookup->handler);
    delete lookup;
}

int wt_dnssd_lookup_get_state(const wt_dnssd_lookup *lookup)
{
    return lookup ? lookup->state : 0;
}

int32_t wt_dnssd_lookup_get_error(const wt_dnssd_lookup *lookup)
{
    return lookup ? lookup->error : 0;
}

uint32_t wt_dnssd_lookup_get_address(const wt_dnssd_lookup *lookup)
{
    return lookup && lookup->state == WT_DNSSD_LOOKUP_DONE ? lookup->address : 0;
}
