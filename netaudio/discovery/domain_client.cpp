#include "netaudio/discovery/domain_client.h"

#include <cstdlib>
#include <cstring>

#include "netaudio/platform/qnb_env.h"

int domain_id_compare(const uint8_t *a, const uint8_t *b)
{
    for (int i = 0; i < DOMAIN_ID_SIZE; ++i) {
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

bool domain_id_is_adhoc(const uint8_t *id)
{
    for (int i = 0; i < DOMAIN_ID_SIZE; ++i) {
        if (id[i] != 0xFF)
            return false;
    }
    return true;
}

bool domain_id_is_zero(const uint8_t *id)
{
    for (int i = 0; i < DOMAIN_ID_SIZE; ++i) {
        if (id[i] != 0)
            return false;
    }
    return true;
}

void domain_id_set_adhoc(uint8_t *id)
{
    memset(id, 0xFF, DOMAIN_ID_SIZE);
}

namespace {

bool id_in_use(const domain_handler *h, uint16_t id)
{
    return (h->ids_in_use[id >> 3] >> (id & 7)) & 1;
}

void mark_id(domain_handler *h, uint16_t id, bool used)
{
    uint8_t bit = uint8_t(1u << (id & 7));
    if (used)
        h->ids_in_use[id >> 3] |= bit;
    else
        h->ids_in_use[id >> 3] &= uint8_t(~bit);
}

// Takes candidates from the handler's counter until one is free. Every one of the 65536 values
// is tried at most once: when all are held the allocation fails instead of going round forever.
bool allocate_id(domain_handler *h, uint16_t *out)
{
    for (uint32_t tries = 0; tries < 0x10000u; ++tries) {
        if (h->next_id == 0)
            h->next_id = 1;
        uint16_t candidate = h->next_id++;
        if (candidate < 2 || candidate == 0xFFFF || candidate == h->reserved_id || id_in_use(h, candidate))
            continue;
        *out = candidate;
        return true;
    }
    return false;
}

void current_domain(const domain_handler *h, domain_info *out)
{
    if (h && h->current_domain) {
        h->current_domain(h->user_data, out);
        return;
    }
    domain_id_set_adhoc(out->id);
    out->flags = 3;
}

void unlink_client(domain_client *c)
{
    if (c->handler) {
        if (c->node.list)
            qnb_list_remove(&c->node);
        mark_id(c->handler, c->id, false);
    }
}

void free_client(domain_client *c)
{
    unlink_client(c);
    tlv_channel_delete(c->channel);
    free(c);
}

qnb_error apply(domain_client *c, const domain_info *info)
{
    if (domain_id_compare(c->domain_id, info->id) == 0) {
        // Same domain: no change to announce, but its flags are kept current.
        c->domain_flags = info->flags;
        return 0;
    }
    bool enabled = c->enabled;
    c->changing = true;
    domain_event ev{DOMAIN_EVENT_BEFORE, *info};
    if (enabled && c->change_callback)
        c->change_callback(c, c->context, &ev);
    memcpy(c->domain_id, info->id, DOMAIN_ID_SIZE);
    c->domain_flags = info->flags;
    c->changing = false;
    ev.phase = DOMAIN_EVENT_AFTER;
    if (enabled && c->change_callback)
        c->change_callback(c, c->context, &ev);
    return 1;
}

} // namespace

domain_client *domain_client_new(domain_handler *handler, void *context, domain_change_fn change,
                                 domain_receive_fn receive)
{
    domain_client *c = static_cast<domain_client *>(calloc(1, sizeof(domain_client)));
    if (!c)
        return nullptr;
    c->context = context;
    c->change_callback = change;
    c->receive_callback = receive;
    c->node.data = c;
    if (!handler) {
        c->state = 3;
        domain_id_set_adhoc(c->domain_id);
        c->domain_flags = 3;
        c->flags = 0;
        return c;
    }
    c->state = handler->state ? handler->state(handler->user_data) : 3;
    c->flags = 1;
    domain_info info;
    current_domain(handler, &info);
    memcpy(c->domain_id, info.id, DOMAIN_ID_SIZE);
    c->domain_flags = info.flags;
    c->handler_token = handler->token ? handler->token(handler->user_data) : 0;
    if (!allocate_id(handler, &c->id)) {
        free(c);
        return nullptr;
    }
    c->handler = handler;
    mark_id(handler, c->id, true);
    qnb_list_push_back(&handler->clients, &c->node);
    tlv_transport transport{nullptr, nullptr};
    if (handler->channel && handler->channel(handler->user_data, c, &transport)) {
        if (tlv_channel_new(&transport, c->id, receive, context, &c->channel) != 0) {
            free_client(c); // unlinked from the handler's list first
            return nullptr;
        }
    }
    return c;
}

void domain_client_delete(domain_client *client)
{
    if (!client)
        return;
    if (client->handler && client->handler->iterating) {
        client->delete_pending = true;
        return;
    }
    free_client(client);
}

qnb_error domain_client_set_info(domain_client *client, const domain_info *info)
{
    if (!client)
        return QNB_ERR_INVALIDPARAMETER;
    if (info) {
        client->flags &= static_cast<uint16_t>(~1u);
        if (domain_id_is_adhoc(info->id))
            return QNB_ERR_NOTSUPPORTED;
        return apply(client, info);
    }
    client->flags |= 1;
    domain_info current;
    current_domain(client->handler, &current);
    return apply(client, &current);
}

qnb_error domain_client_set_enabled(domain_client *client, bool enabled)
{
    if (!client)
        return QNB_ERR_INVALIDPARAMETER;
    client->enabled = enabled;
    return 0;
}

qnb_error domain_client_get_id(const domain_client *client, uint8_t *out)
{
    if (!client || !out)
        return QNB_ERR_INVALIDPARAMETER;
    memcpy(out, client->domain_id, DOMAIN_ID_SIZE);
    return 0;
}

uint32_t domain_client_get_flags(const domain_client *client)
{
    return client ? client->domain_flags : 0;
}

uint32_t domain_client_get_state(const domain_client *client)
{
    return client ? client->state : 0;
}

bool domain_client_is_changing(const domain_client *client)
{
    return client && client->changing;
}

qnb_error domain_client_call_handler(domain_client *client, uint32_t code, void *data)
{
    if (!client || !client->handler || !client->handler->request)
        return QNB_ERR_NOTCONN;
    return client->handler->request(client->handler->user_data, code, data);
}

uintptr_t object_get_token(const domain_client *client)
{
    return client ? client->handler_token : 0;
}

void *object_get_context(const domain_client *client)
{
    return client ? client->context : nullptr;
}

tlv_channel *object_get_list(const domain_client *client)
{
    return client ? client->channel : nullptr;
}

domain_handler *object_get_owner(const qnb_env *env)
{
    return env ? env->domain_hook : nullptr;
}

qnb_error domain_event_get_id(const domain_event *event, uint8_t *out)
{
    if (!event || !out)
        return QNB_ERR_INVALIDPARAMETER;
    memcpy(out, event->info.id, DOMAIN_ID_SIZE);
    return 0;
}

qnb_error domain_handler_announce(domain_handler *h, uint32_t kind)
{
    if (!h || (kind != DOMAIN_EVENT_STATE && kind != DOMAIN_EVENT_DOMAIN))
        return QNB_ERR_INVALIDPARAMETER;
    h->iterating++;
    // Deleting only marks clients during the walk, so every node stays valid until it ends.
    for (qnb_list_node *n = h->clients.first; n; n = n->next) {
        domain_client *c = static_cast<domain_client *>(n->data);
        if (c->delete_pending)
            continue;
        c->handler_token = h->token ? h->token(h->user_data) : 0;
        c->state = h->state ? h->state(h->user_data) : 3;
        if (c->flags & 1)
            domain_client_set_info(c, nullptr);
        if (c->delete_pending || !c->enabled || !c->change_callback)
            continue;
        domain_event ev{kind, {{0}, c->domain_flags}};
        memcpy(ev.info.id, c->domain_id, DOMAIN_ID_SIZE);
        c->change_callback(c, c->context, &ev);
    }
    if (--h->iterating == 0) {
        for (qnb_list_node *n = h->clients.first; n;) {
            qnb_list_node *next = n->next;
            domain_client *c = static_cast<domain_client *>(n->data);
            if (c->delete_pending)
                free_client(c);
            n = next;
        }
    }
    return 0;
}
