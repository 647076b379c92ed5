#include "netaudio/discovery/domain_client.h"

#include <cstdlib>
#include <cstring>

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

domain_client *domain_client_new(domain_handler *handler, void *context, domain_change_fn change,
                                 domain_receive_fn receive)
{
    if (handler)
        return nullptr;
    domain_client *c = static_cast<domain_client *>(calloc(1, sizeof(domain_client)));
    if (!c)
        return nullptr;
    c->state = 3;
    c->context = context;
    c->change_callback = change;
    c->receive_callback = receive;
    domain_id_set_adhoc(c->domain_id);
    c->domain_flags = 3;
    c->flags = 0;
    return c;
}

void domain_client_delete(domain_client *client)
{
    free(client);
}

namespace {

qnb_error apply(domain_client *c, const domain_info *info)
{
    if (domain_id_compare(c->domain_id, info->id) == 0)
        return 0;
    bool enabled = c->enabled;
    c->changing = true;
    domain_event ev{0, *info};
    if (enabled && c->change_callback)
        c->change_callback(c, c->context, &ev);
    memcpy(c->domain_id, info->id, DOMAIN_ID_SIZE);
    c->domain_flags = info->flags;
    c->changing = false;
    ev.phase = 1;
    if (enabled && c->change_callback)
        c->change_callback(c, c->context, &ev);
    return 1;
}

} // namespace

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
    domain_info adhoc;
    domain_id_set_adhoc(adhoc.id);
    adhoc.flags = 3;
    return apply(client, &adhoc);
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

qnb_error domain_client_call_handler(domain_client *client, uint32_t, void *)
{
    if (!client || !client->handler)
        return QNB_ERR_NOTCONN;
    return QNB_ERR_NOTCONN;
}
