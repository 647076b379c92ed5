#include "netaudio/routing/wr_device_addresses.h"

#include <arpa/inet.h>
#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "netaudio/discovery/domain_requests.h"
#include "netaudio/discovery/wt_dnssd.h"
#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_log.h"
#include "netaudio/routing/wr_device.h"

namespace {

qnb_logger *logger_of(const wr_device_addresses *set)
{
    return set && set->device && set->device->env ? set->device->env->logger : nullptr;
}

const char *device_name(const wr_device_addresses *set)
{
    return set && set->device ? set->device->open_name : "";
}

wr_devices *container_of(const wr_device_address *e)
{
    return e->set && e->set->device ? e->set->device->container : nullptr;
}

void release(wr_device_address *e)
{
    if (e->ref) {
        int sock = e->sock;
        wr_devices_announce_address(container_of(e), e, sock, false);
        wt_dnssd_deallocate(e->ref);
        e->ref = nullptr;
        e->sock = -1;
        e->loop_ready = false;
    }
    e->flags &= ~uint32_t(WR_ADDRESS_RESOLVING | WR_ADDRESS_QUERYING);
}

// The container's count of pending retries (null for a set without one).
uint32_t *retry_count(const wr_device_address *e)
{
    return e->set && e->set->device && e->set->device->container ? &e->set->device->container->address_retries
                                                                  : nullptr;
}

void set_retry_pending(wr_device_address *e, bool pending)
{
    if (e->retry_pending != pending) {
        if (uint32_t *count = retry_count(e)) {
            if (pending)
                ++*count;
            else if (*count > 0)
                --*count;
        }
    }
    e->retry_pending = pending;
}

void schedule_retry(wr_device_address *e)
{
    qnb_timeval now{0, 0};
    qnb_time_now(&now);
    set_retry_pending(e, true);
    e->retry_at = now;
    e->retry_at.tv_sec += WR_RESOLVE_RETRY_S;
    wr_devices_deadlines_changed(container_of(e));
}

bool loopback_index(const wr_device_addresses *set, uint32_t index)
{
    const wr_devices *c = set->device ? set->device->container : nullptr;
    return c && c->have_loopback && index == c->loopback.index;
}

// The interface rule of every reply: the first one fixes the interface; later ones on another
// interface (other than loopback) are not for this entry.
bool accept_interface(wr_device_address *e, uint32_t index)
{
    if (e->fixed_interface_index == 0) {
        e->fixed_interface_index = index;
        return true;
    }
    return index == e->fixed_interface_index || loopback_index(e->set, index);
}

void device_address_resolve_callback(wt_dnssd_ref *, uint32_t flags, uint32_t interface_index, int32_t error,
                                     const char *full_name, const char *host_target, uint16_t port_network,
                                     uint16_t txt_length, const unsigned char *txt, void *context)
{
    wr_device_address *e = static_cast<wr_device_address *>(context);
    wr_device_addresses *set = e->set;
    qnb_logger *log = logger_of(set);
    const char *fn = __func__;
    if (error) {
        qnb_log(log, QNB_LOG_ERROR, "%s: dnssd error resolving record '%s': %d\n", fn, device_name(set), int(error));
        set->pending_error = QNB_ERR_DNSSDFAIL;
        return;
    }
    if (!accept_interface(e, interface_index)) {
        qnb_log(log, QNB_LOG_DEBUG, "%s: Resolved device '%s' on invalid interface index %u using socket %d\n", fn,
                device_name(set), interface_index, e->sock);
        return;
    }
    if (e->port != 0)
        return;
    uint16_t port = ntohs(port_network);
    qnb_log(log, QNB_LOG_DEBUG, "%s: Resolved device '%s' using socket %d\n", fn, device_name(set), e->sock);
    qnb_log(log, QNB_LOG_DEBUG, "%s: interface_index=%u flags=0x%08x fullname=%s hosttarget=%s port=%u)\n", fn,
            interface_index, flags, full_name ? full_name : "", host_target ? host_target : "", unsigned(port));
    if (port == 0) {
        set->pending_error = QNB_ERR_INVALIDDATA;
        return;
    }
    if (loopback_index(set, interface_index)) {
        const wr_devices *c = set->device->container;
        qnb_sockaddr_set(&e->address, c->loopback.address.sin.sin_addr.s_addr, port);
        e->port = port;
        e->flags |= WR_ADDRESS_RESOLVED;
    } else {
        snprintf(e->host_target, sizeof e->host_target, "%s", host_target ? host_target : "");
        e->port = port;
        e->query_port = port;
        if (!e->host_target[0]) {
            set->pending_error = QNB_ERR_INVALIDDATA;
            return;
        }
    }
    if (wt_dnssd_txt_contains_key(txt_length, txt, "safe")) {
        qnb_log(log, QNB_LOG_ERROR, "%s: txt record has 'safe' key, marking as being in safe mode\n", fn);
        set->device->safe_mode = true;
    } else if (wr_device_extract_arcp_info(set->device, txt_length, txt) != 0) {
        set->pending_error = QNB_ERR_DNSSDFAIL;
    }
}

void device_address_query_callback(wt_dnssd_ref *, uint32_t flags, uint32_t interface_index, int32_t error,
                                   const char *, uint16_t, uint16_t, uint16_t rdata_length, const void *rdata,
                                   uint32_t, void *context)
{
    wr_device_address *e = static_cast<wr_device_address *>(context);
    wr_device_addresses *set = e->set;
    qnb_logger *log = logger_of(set);
    const char *fn = __func__;
    if (error) {
        qnb_log(log, QNB_LOG_ERROR, "%s: dnssd error querying device %s: %d\n", fn, device_name(set), int(error));
        set->pending_error = QNB_ERR_DNSSDFAIL;
        return;
    }
    if (!accept_interface(e, interface_index)) {
        qnb_log(log, QNB_LOG_DEBUG, "%s: Query result for %s on invalid interface %u\n", fn, device_name(set),
                interface_index);
        return;
    }
    if (rdata_length != 4 || !rdata) {
        qnb_log(log, QNB_LOG_ERROR, "%s: invalid rdlen querying device %s: %d\n", fn, device_name(set),
                int(rdata_length));
        set->pending_error = QNB_ERR_INVALIDDATA;
        return;
    }
    uint32_t address;
    memcpy(&address, rdata, 4); // network order as received
    qnb_sockaddr_set(&e->address, address, e->query_port);
    e->flags |= WR_ADDRESS_RESOLVED;
    qnb_log(log, QNB_LOG_DEBUG, "%s: queried device %s on interface %u using socket %d (flags=0x%08x host=%s)\n", fn,
            device_name(set), interface_index, e->sock, flags, e->host_target);
}

bool parse_three(const char *text, size_t length, unsigned *a, unsigned *b, unsigned *c)
{
    char buffer[64];
    if (length == 0 || length > 63)
        return false;
    memcpy(buffer, text, length);
    buffer[length] = 0;
    return sscanf(buffer, "%u.%u.%u", a, b, c) == 3;
}

} // namespace

qnb_error wr_device_addresses_new(wr_device *device, size_t count, wr_device_addresses **out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    wr_device_addresses *set = static_cast<wr_device_addresses *>(calloc(1, sizeof(wr_device_addresses)));
    if (!set)
        return QNB_ERR_NOMEMORY;
    set->entries = static_cast<wr_device_address *>(calloc(count ? count : 1, sizeof(wr_device_address)));
    if (!set->entries) {
        free(set);
        return QNB_ERR_NOMEMORY;
    }
    set->device = device;
    set->count = count;
    for (size_t i = 0; i < count; ++i) {
        set->entries[i].sock = -1;
        set->entries[i].set = set;
    }
    *out = set;
    return 0;
}

void wr_device_addresses_delete(wr_device_addresses *set)
{
    if (!set)
        return;
    for (size_t i = 0; i < set->count; ++i) {
        set_retry_pending(&set->entries[i], false);
        if (set->entries[i].ref)
            wt_dnssd_deallocate(set->entries[i].ref);
    }
    free(set->entries);
    free(set);
}

qnb_error wr_device_addresses_resolve_address_at_index(wr_device_addresses *set, size_t index,
                                                       uint32_t interface_index)
{
    if (!set || index >= set->count)
        return QNB_ERR_INVALIDPARAMETER;
    wr_device_address *e = &set->entries[index];
    release(e);
    e->flags &= ~uint32_t(WR_ADDRESS_RESOLVED);
    e->host_target[0] = 0;
    e->port = 0;
    e->query_port = 0;
    e->fixed_interface_index = 0;
    set_retry_pending(e, false);
    qnb_sockaddr_clear(&e->address);
    e->interface_index = interface_index;
    wt_dnssd_ref *ref = nullptr;
    int32_t err = wt_dnssd_resolve(&ref, 0, interface_index, set->device->open_name, WR_ROUTING_SERVICE_TYPE,
                                   WR_ROUTING_SERVICE_DOMAIN, device_address_resolve_callback, e);
    if (err || !ref) {
        schedule_retry(e);
        return QNB_ERR_DNSSDFAIL;
    }
    e->ref = ref;
    e->sock = wt_dnssd_socket(ref);
    qnb_log(logger_of(set), QNB_LOG_DEBUG, "%s: Resolving device '%s' on interface %d using socket %d\n", __func__,
            device_name(set), int(interface_index), e->sock);
    e->flags |= WR_ADDRESS_RESOLVING;
    wr_devices_announce_address(set->device->container, e, e->sock, true);
    return 0;
}

qnb_error wr_device_addresses_set_address(wr_device_addresses *set, size_t index, const qnb_sockaddr *address)
{
    if (!set || index >= set->count)
        return QNB_ERR_INVALIDPARAMETER;
    wr_device_address *e = &set->entries[index];
    release(e);
    if (address) {
        e->address = *address;
        e->port = qnb_sockaddr_get_port(address);
        e->flags = WR_ADDRESS_RESOLVED;
    } else {
        qnb_sockaddr_clear(&e->address);
        e->port = 0;
        e->flags = 0;
    }
    return 0;
}

qnb_error wr_device_address_process_socket(wr_device_address *e, bool *changed)
{
    wr_device_addresses *set = e->set;
    qnb_logger *log = logger_of(set);
    const char *fn = __func__;
    struct pollfd p;
    p.fd = e->sock;
    p.events = POLLIN;
    p.revents = 0;
    if (e->sock < 0 || poll(&p, 1, 0) <= 0) {
        qnb_debug_print(QNB_DBG_WARNING, "%s: socket %d of device '%s' is not readable\n", fn, e->sock,
                        device_name(set));
        return QNB_ERR_INVALIDSTATE;
    }
    qnb_log(log, QNB_LOG_DEBUG, "%s: wt_dns_sd_process_result starting!\n", fn);
    set->pending_error = 0;
    int32_t dns = wt_dnssd_process_result(e->sock, e->ref);
    if (dns) {
        qnb_log(log, QNB_LOG_DEBUG, "%s: wt_dns_sd_process_result finished, dns error=%d!\n", fn, int(dns));
        release(e);
        schedule_retry(e);
        return QNB_ERR_DNSSDFAIL;
    }
    if (set->pending_error) {
        qnb_error err = set->pending_error;
        set->pending_error = 0;
        qnb_log(log, QNB_LOG_DEBUG, "%s: wt_dns_sd_process_result finished, quenbary error=%d!\n", fn, err);
        release(e);
        if (!(e->flags & WR_ADDRESS_RESOLVED))
            schedule_retry(e);
        return err;
    }
    if (e->flags & WR_ADDRESS_QUERYING) {
        if (e->flags & WR_ADDRESS_RESOLVED) {
            qnb_log(log, QNB_LOG_DEBUG, "%s: wt_dns_sd_process_result finished, queried an address\n", fn);
            release(e);
            *changed = true;
        } else {
            qnb_log(log, QNB_LOG_DEBUG, "%s: wt_dns_sd_process_result finished, query still pending\n", fn);
        }
        return 0;
    }
    if (e->flags & WR_ADDRESS_RESOLVING) {
        if (e->flags & WR_ADDRESS_RESOLVED) {
            qnb_log(log, QNB_LOG_DEBUG, "%s: wt_dns_sd_process_result finished, resolved an address\n", fn);
            release(e);
            *changed = true;
            return 0;
        }
        if (!e->host_target[0]) {
            qnb_log(log, QNB_LOG_DEBUG, "%s: wt_dns_sd_process_result finished, resolve still pending\n", fn);
            return 0;
        }
        release(e);
        qnb_log(log, QNB_LOG_DEBUG, "%s: wt_dns_sd_process_result finished, resolve finished, time to query\n", fn);
        wt_dnssd_ref *ref = nullptr;
        // Long-lived, multicast query for the host's A record (the DNS-SD layer passes the flags the
        // backend accepts).
        int32_t err = wt_dnssd_query_record(&ref, 0x500, 0, e->host_target, WT_DNSSD_TYPE_A, WT_DNSSD_CLASS_IN,
                                            device_address_query_callback, e);
        if (err || !ref) {
            qnb_log(log, QNB_LOG_ERROR, "%s: Error querying device %s: %d\n", fn, device_name(set), int(err));
            schedule_retry(e);
            return QNB_ERR_DNSSDFAIL;
        }
        e->ref = ref;
        e->sock = wt_dnssd_socket(ref);
        e->flags |= WR_ADDRESS_QUERYING;
        qnb_log(log, QNB_LOG_DEBUG, "%s: Querying device %s using socket %d\n", fn, device_name(set), e->sock);
        wr_devices_announce_address(set->device->container, e, e->sock, true);
        return 0;
    }
    return QNB_ERR_INVALIDSTATE;
}

qnb_error wr_device_addresses_process_sockets(wr_device_addresses *set, qnb_socket_set *ready, bool *changed)
{
    if (!set || !changed)
        return QNB_ERR_INVALIDPARAMETER;
    if (!ready)
        return 0;
    for (size_t i = 0; i < set->count; ++i) {
        wr_device_address *e = &set->entries[i];
        int sock = e->sock;
        if (sock < 0 || !qnb_socket_set_is_member(ready, sock))
            continue;
        qnb_error err = wr_device_address_process_socket(e, changed);
        qnb_log(logger_of(set), QNB_LOG_DEBUG, "%s: removing processed socket %d (%s) from active sockets\n",
                __func__, sock, device_name(set));
        qnb_socket_set_erase(ready, sock);
        if (err)
            return err;
    }
    return 0;
}

qnb_error wr_device_addresses_get_sockets(const wr_device_addresses *set, qnb_socket_set *out)
{
    if (!set || !out)
        return QNB_ERR_INVALIDPARAMETER;
    for (size_t i = 0; i < set->count; ++i) {
        if (set->entries[i].sock >= 0) {
            qnb_error err = qnb_socket_set_add(out, set->entries[i].sock);
            if (err)
                return err;
        }
    }
    return 0;
}

size_t wr_device_addresses_count_resolved(const wr_device_addresses *set)
{
    size_t n = 0;
    for (size_t i = 0; set && i < set->count; ++i) {
        if (set->entries[i].flags & WR_ADDRESS_RESOLVED)
            ++n;
    }
    return n;
}

void wr_device_addresses_take_ready(wr_device_addresses *set, qnb_socket_set *ready)
{
    for (size_t i = 0; set && i < set->count; ++i) {
        wr_device_address &e = set->entries[i];
        if (e.loop_ready && e.sock >= 0)
            qnb_socket_set_add(ready, e.sock);
        e.loop_ready = false;
    }
}

void wr_device_addresses_withdraw(wr_device_addresses *set)
{
    for (size_t i = 0; set && i < set->count; ++i) {
        wr_device_address &e = set->entries[i];
        if (e.sock >= 0)
            wr_devices_announce_address(container_of(&e), &e, e.sock, false);
        e.loop_ready = false;
    }
}

bool wr_device_addresses_match(const wr_device_addresses *set, const qnb_sockaddr *source)
{
    if (!set || !source || source->sin.sin_family != AF_INET)
        return false;
    for (size_t i = 0; i < set->count; ++i) {
        const wr_device_address &e = set->entries[i];
        if (!(e.flags & WR_ADDRESS_RESOLVED))
            continue;
        // Both records hold the address and port as stored in the socket address (network order).
        if (e.address.sin.sin_port == source->sin.sin_port &&
            e.address.sin.sin_addr.s_addr == source->sin.sin_addr.s_addr)
            return true;
    }
    return false;
}

qnb_error wr_device_addresses_check_retries(wr_device_addresses *set, const qnb_timeval *now, bool *changed)
{
    if (!set || !now)
        return QNB_ERR_INVALIDPARAMETER;
    for (size_t i = 0; i < set->count; ++i) {
        wr_device_address *e = &set->entries[i];
        if (!e->retry_pending || (e->flags & WR_ADDRESS_RESOLVED))
            continue;
        if (now->tv_sec < e->retry_at.tv_sec ||
            (now->tv_sec == e->retry_at.tv_sec && now->tv_usec < e->retry_at.tv_usec))
            continue;
        qnb_log(logger_of(set), QNB_LOG_DEBUG, "%s: resolving device '%s' again\n", __func__, device_name(set));
        if (wr_device_addresses_resolve_address_at_index(set, i, e->interface_index) == 0 && changed)
            *changed = true;
    }
    return 0;
}

bool wr_device_addresses_next_deadline(const wr_device_addresses *set, qnb_timeval *out)
{
    bool any = false;
    for (size_t i = 0; set && i < set->count; ++i) {
        const wr_device_address &e = set->entries[i];
        if (!e.retry_pending || (e.flags & WR_ADDRESS_RESOLVED))
            continue;
        if (!any || e.retry_at.tv_sec < out->tv_sec ||
            (e.retry_at.tv_sec == out->tv_sec && e.retry_at.tv_usec < out->tv_usec))
            *out = e.retry_at;
        any = true;
    }
    return any;
}

qnb_error wr_device_extract_arcp_info(wr_device *device, uint16_t txt_length, const void *txt)
{
    if (!device)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_logger *log = device->env ? device->env->logger : nullptr;
    const char *fn = __func__;
    uint8_t length = 0;
    const char *value = static_cast<const char *>(wt_dnssd_txt_value(txt_length, txt, "arcp_vers", &length));
    unsigned a, b, c;
    if (!value || length == 0) {
        qnb_log(log, QNB_LOG_ERROR, "%s: txt record has missing or empty field 'arcp_vers'\n", fn);
        return QNB_ERR_NOTFOUND;
    }
    if (!parse_three(value, length, &a, &b, &c)) {
        qnb_log(log, QNB_LOG_ERROR, "%s: error parsing txt record field 'arcp_vers'\n", fn);
        return QNB_ERR_NOTFOUND;
    }
    device->arcp_version = uint16_t((a << 12) | ((b << 8) & 0xFFF) | (c & 0xFF));
    qnb_log(log, QNB_LOG_DEBUG, "%s: device %s has arcp version %u.%u.%u (0x%04x)\n", fn, device->open_name, a, b, c,
            unsigned(device->arcp_version));
    value = static_cast<const char *>(wt_dnssd_txt_value(txt_length, txt, "router_vers", &length));
    if (!value || length == 0) {
        qnb_log(log, QNB_LOG_ERROR, "%s: txt record has missing or empty field 'router_vers'\n", fn);
        return QNB_ERR_NOTFOUND;
    }
    if (!parse_three(value, length, &a, &b, &c) || a == 0 || a > 0xFF || b > 0xFF || c > 0xFFFF) {
        qnb_log(log, QNB_LOG_ERROR, "%s: error parsing txt record field 'router_vers'\n", fn);
        return QNB_ERR_NOTFOUND;
    }
    device->router_version.major = uint8_t(a);
    device->router_version.minor = uint8_t(b);
    device->router_version.patch = uint16_t(c);
    qnb_log(log, QNB_LOG_DEBUG, "%s: device %s has apec version %u.%u.%u\n", fn, device->open_name, a, b, c);
    return 0;
}

namespace {

wr_device *device_with_lookup(wr_devices *devices, uint32_t lookup_id)
{
    for (qnb_list_node *n = devices->devices.first; n; n = n->next) {
        wr_device *dev = static_cast<wr_device *>(n->data);
        if (dev->lookup_id == lookup_id)
            return dev;
    }
    return nullptr;
}

// The server's answer for a looked-up device. The device's address in the domain is the 6-byte id
// of its info record ({u32, u16}); its routing service carries the TXT record. A lookup answers
// once: it is cancelled afterwards (from inside its own result, which the request client allows).
void on_lookup_result(void *user, uint32_t lookup_id, const tlv_device_record *record)
{
    wr_devices *devices = static_cast<wr_devices *>(user);
    wr_device *dev = device_with_lookup(devices, lookup_id);
    if (dev) {
        bool has_address = record->has_info && (record->info_flags & 8);
        uint32_t address[2] = {record->id_u32, record->id_u16};
        const char *service = record->routing.present ? "_netaudio-arc._udp" : nullptr;
        uint16_t txt_length = record->routing.data.size > 0xFFFF ? 0xFFFF : uint16_t(record->routing.data.size);
        wr_device_lookup_result(dev, has_address, service, address, txt_length, record->routing.data.data);
        dev->lookup_id = 0;
    }
    domain_requests_cancel(devices->lookups, lookup_id);
}

void on_lookup_done(void *user, uint32_t lookup_id, uint32_t reason, uint16_t status)
{
    if (reason == DOMAIN_DONE_CANCELLED)
        return;
    wr_device *dev = device_with_lookup(static_cast<wr_devices *>(user), lookup_id);
    if (!dev)
        return;
    // Ended by the server without an answer: the device would wait for ever otherwise.
    wr_device_lookup_failed(dev, reason == DOMAIN_DONE_STATUS ? status : 5);
}

} // namespace

qnb_error wr_device_lookup_start(wr_device *device)
{
    if (!device || !device->container)
        return QNB_ERR_INVALIDPARAMETER;
    wr_devices *devices = device->container;
    if (!devices->lookups)
        return domain_client_call_handler(devices->domain, TLV_RECORD_DOMAIN_REQUEST, device->open_name);
    tlv_domain_request request;
    memset(&request, 0, sizeof request);
    wr_devices_get_domain_id(devices, request.id);
    request.mode = DOMAIN_REQUEST_MODE_LOOKUP;
    request.name = device->open_name;
    qnb_error err = domain_requests_add(devices->lookups, on_lookup_result, devices, on_lookup_done, &request);
    if (!err)
        device->lookup_id = request.request_id;
    return err;
}

void wr_device_lookup_cancel(wr_device *device)
{
    if (!device || !device->container || device->lookup_id == 0)
        return;
    uint32_t id = device->lookup_id;
    device->lookup_id = 0;
    domain_requests_cancel(device->container->lookups, id);
}

qnb_error wr_device_lookup_result(wr_device *device, bool has_address, const char *service,
                                  const uint32_t *domain_address, uint16_t txt_length, const void *txt)
{
    if (!device)
        return QNB_ERR_INVALIDPARAMETER;
    if (device->state != WR_DEVICE_STATE_RESOLVING)
        return 0;
    wr_device_begin_processing(device);
    qnb_error err = 0;
    if (!has_address || !domain_address) {
        wr_device_set_state(device, WR_DEVICE_STATE_ERROR, QNB_ERR_INVALIDDATA, "Lookup without an address");
    } else if (service && strncmp(service, "_netaudio-arc._udp", 18) == 0) {
        device->domain_address[0] = domain_address[0];
        device->domain_address[1] = domain_address[1];
        err = wr_device_extract_arcp_info(device, txt_length, txt);
        if (!err) {
            device->via_domain = true;
            device->lookup_id = 0;
            wr_device_set_state(device, WR_DEVICE_STATE_RESOLVED, 0, nullptr);
        }
    }
    wr_device_end_processing(device);
    return err;
}

void wr_device_lookup_failed(wr_device *device, uint32_t failure_state)
{
    if (!device || device->lookup_id == 0)
        return;
    qnb_error err = wr_devices_domain_status_error(failure_state);
    device->lookup_id = 0;
    wr_device_begin_processing(device);
    wr_device_set_state(device, WR_DEVICE_STATE_ERROR, err, "Lookup Failure");
    wr_device_end_processing(device);
}
