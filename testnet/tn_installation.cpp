#include "testnet/tn_installation.h"

#include <dlfcn.h>
#include <dns_sd.h>
#include <arpa/inet.h>
#include <poll.h>

#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "testnet/tn_clock.h"
#include "testnet/tn_config_service.h"
#include "testnet/tn_conmon_server.h"
#include "testnet/tn_dnssd.h"
#include "testnet/tn_routing_device.h"

const unsigned tn_installation_area_first[TN_INSTALLATION_AREAS] = {1, 26, 50, 74};
const unsigned tn_installation_area_size[TN_INSTALLATION_AREAS] = {25, 24, 24, 24};

namespace {

const char *const k_conmon_type = "_netaudio-cmc._udp";
const uint16_t k_conmon_device_port = 8800; // advertised only: the traffic goes through the local server

using dnssd_calls = tn_dnssd_library;

const dnssd_calls *load_dnssd()
{
    return tn_dnssd_load();
}

struct unit {
    char name[TN_INSTALLATION_NAME_SIZE];
    const char *model;
    unsigned id;
    DNSServiceRef conmon_ref = nullptr; // the "_netaudio-cmc._udp" registration
    bool conmon_published = false;
    unsigned loss_every = 0; // every Nth request to its routing device goes unanswered (0: none)
    unsigned loss_left = 0;  // requests until the next one that is dropped
    size_t lost = 0;         // requests left unanswered so far
    bool vanishing = false;  // its routing device goes silent after a number of answers
    bool away = false;       // taken away (tn_installation_take_away) ...
    bool spare = false;      // ... to come back as a spare unit, nothing subscribed ...
    uint64_t back_at = 0;    // ... at this time of the library clock (microseconds)
};

void DNSSD_API on_registered(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType error, const char *, const char *,
                             const char *, void *context)
{
    unit *u = static_cast<unit *>(context);
    u->conmon_published = error == kDNSServiceErr_NoError;
    if (error != kDNSServiceErr_NoError)
        fprintf(stderr, "tn_installation: %s: DNS-SD registration failed (%d)\n", u->name, error);
}

void append_txt(std::string &txt, const std::string &entry)
{
    txt.push_back(static_cast<char>(entry.size()));
    txt += entry;
}

std::string hex_id(const uint8_t id[8])
{
    char text[17];
    for (int i = 0; i < 8; ++i)
        snprintf(text + 2 * i, 3, "%02x", id[i]);
    return text;
}

// What a unit's control-and-monitoring service says about it: the id and process the local server
// knows it by, and its versions and model id.
std::string conmon_txt(const tn_conmon_device &dev)
{
    std::string txt;
    char v[64];
    append_txt(txt, "cmcp_vers=" + std::to_string(dev.software.major) + "." + std::to_string(dev.software.minor) +
                        "." + std::to_string(dev.software.bugfix));
    append_txt(txt, "cmcp_min=1.0.0");
    append_txt(txt, "id=" + hex_id(dev.device_id));
    snprintf(v, sizeof v, "process=%u", dev.process);
    append_txt(txt, v);
    append_txt(txt, "mf=" + std::string(reinterpret_cast<const char *>(dev.manufacturer_id),
                                        strnlen(reinterpret_cast<const char *>(dev.manufacturer_id), 8)));
    append_txt(txt, "model=" + std::string(reinterpret_cast<const char *>(dev.model_id),
                                           strnlen(reinterpret_cast<const char *>(dev.model_id), 8)));
    return txt;
}

} // namespace

struct tn_installation {
    tn_installation_config cfg;
    tn_config_service *config = nullptr;
    tn_conmon_server *conmon = nullptr;
    tn_routing_set *routing = nullptr;
    std::vector<unit> units;
};

void tn_installation_config_init(tn_installation_config *cfg)
{
    if (!cfg)
        return;
    cfg->ktv4s = 1;
    cfg->area[0] = 9;
    cfg->area[1] = 8;
    cfg->area[2] = 8;
    cfg->area[3] = 8;
    cfg->config_port = 8850;
    cfg->conmon_port = TN_CONMON_DEFAULT_PORT;
    cfg->first_device_port = 4440;
    cfg->publish = true;
}

bool tn_installation_unit_name(const char *model, unsigned unit_id, char *out, size_t capacity)
{
    if (!model || !out || unit_id > 0xFFF || (strcmp(model, "KTV4-S") != 0 && strcmp(model, "RQA-310") != 0))
        return false;
    int n = snprintf(out, capacity, "T%03X-QZ-%s-%04X", unit_id, model, unit_id);
    return n > 0 && static_cast<size_t>(n) < capacity;
}

namespace {

tn_installation *fail(tn_installation *inst, qnb_error err, const char *what, qnb_error *error)
{
    fprintf(stderr, "tn_installation: %s: %s\n", what, qnb_error_get_text(err));
    tn_installation_delete(inst);
    if (error)
        *error = err;
    return nullptr;
}

qnb_error publish_conmon(unit &u, const tn_conmon_device &dev)
{
    const dnssd_calls *lib = load_dnssd();
    if (!lib)
        return QNB_ERR_NOTSUPPORTED;
    std::string txt = conmon_txt(dev);
    DNSServiceErrorType e =
        lib->register_service(&u.conmon_ref, 0, 0, u.name, k_conmon_type, nullptr, nullptr, htons(k_conmon_device_port),
                              static_cast<uint16_t>(txt.size()), txt.data(), on_registered, &u);
    if (e != kDNSServiceErr_NoError || !u.conmon_ref) {
        u.conmon_ref = nullptr;
        return QNB_ERR_DNSSDFAIL;
    }
    return QNB_ERR_SUCCESS;
}

} // namespace

tn_installation *tn_installation_new(const tn_installation_config *cfg, qnb_error *error)
{
    if (error)
        *error = QNB_ERR_SUCCESS;
    if (!cfg || cfg->ktv4s > TN_INSTALLATION_MAX_KTV4S) {
        if (error)
            *error = QNB_ERR_INVALIDPARAMETER;
        return nullptr;
    }
    for (unsigned a = 0; a < TN_INSTALLATION_AREAS; ++a)
        if (cfg->area[a] > tn_installation_area_size[a]) {
            if (error)
                *error = QNB_ERR_INVALIDPARAMETER;
            return nullptr;
        }

    tn_installation *inst = new tn_installation;
    inst->cfg = *cfg;
    for (unsigned k = 1; k <= cfg->ktv4s; ++k) {
        unit u;
        u.model = "KTV4-S";
        u.id = k;
        inst->units.push_back(u);
    }
    for (unsigned a = 0; a < TN_INSTALLATION_AREAS; ++a)
        for (unsigned k = 0; k < cfg->area[a]; ++k) {
            unit u;
            u.model = "RQA-310";
            u.id = tn_installation_area_first[a] + k;
            inst->units.push_back(u);
        }
    for (unit &u : inst->units)
        tn_installation_unit_name(u.model, u.id, u.name, sizeof u.name);

    qnb_error err = QNB_ERR_SUCCESS;
    inst->config = tn_config_service_new(cfg->config_port, &err);
    if (!inst->config)
        return fail(inst, err, "cannot start the configuration service", error);
    inst->conmon = tn_conmon_server_new(cfg->conmon_port, &err);
    if (!inst->conmon)
        return fail(inst, err, "cannot start the control-and-monitoring server", error);
    inst->routing = tn_routing_set_new();
    if (!inst->routing)
        return fail(inst, QNB_ERR_NOMEMORY, "cannot make the routing devices", error);

    for (size_t i = 0; i < inst->units.size(); ++i) {
        unit &u = inst->units[i];
        tn_conmon_device dev;
        tn_conmon_device_defaults(&dev, u.name, u.model, u.id);
        if ((err = tn_conmon_server_add_device(inst->conmon, &dev)) != QNB_ERR_SUCCESS) {
            std::string what = std::string("cannot add ") + u.name + " to the control-and-monitoring server";
            return fail(inst, err, what.c_str(), error);
        }
        tn_routing_device_config rc;
        bool ktv = strcmp(u.model, "KTV4-S") == 0;
        tn_routing_device_config_init(&rc, ktv ? TN_ROUTING_MODEL_KTV4S : TN_ROUTING_MODEL_RQA310, u.id);
        snprintf(rc.name, sizeof rc.name, "%s", u.name);
        rc.port = cfg->first_device_port ? static_cast<uint16_t>(cfg->first_device_port + i) : 0;
        tn_routing_device *rd = tn_routing_set_add(inst->routing, &rc, &err);
        if (!rd) {
            std::string what = std::string("cannot start the routing device ") + u.name;
            return fail(inst, err, what.c_str(), error);
        }
        if (cfg->publish) {
            if ((err = tn_routing_device_publish(rd, TN_ROUTING_PUBLISH_AUTO)) != QNB_ERR_SUCCESS ||
                (err = publish_conmon(u, dev)) != QNB_ERR_SUCCESS) {
                std::string what = std::string("cannot publish ") + u.name;
                return fail(inst, err, what.c_str(), error);
            }
        }
    }
    return inst;
}

void tn_installation_delete(tn_installation *inst)
{
    if (!inst)
        return;
    for (unit &u : inst->units)
        if (u.conmon_ref) {
            load_dnssd()->deallocate(u.conmon_ref);
            u.conmon_ref = nullptr;
        }
    tn_routing_set_delete(inst->routing);
    tn_conmon_server_delete(inst->conmon);
    tn_config_service_delete(inst->config);
    delete inst;
}

tn_config_service *tn_installation_config_service(const tn_installation *inst)
{
    return inst ? inst->config : nullptr;
}

tn_conmon_server *tn_installation_conmon_server(const tn_installation *inst)
{
    return inst ? inst->conmon : nullptr;
}

tn_routing_set *tn_installation_routing(const tn_installation *inst)
{
    return inst ? inst->routing : nullptr;
}

size_t tn_installation_unit_count(const tn_installation *inst)
{
    return inst ? inst->units.size() : 0;
}

const char *tn_installation_unit_at(const tn_installation *inst, size_t index, const char **model)
{
    if (!inst || index >= inst->units.size())
        return nullptr;
    if (model)
        *model = inst->units[index].model;
    return inst->units[index].name;
}

bool tn_installation_published(const tn_installation *inst)
{
    if (!inst || !inst->cfg.publish)
        return false;
    for (size_t i = 0; i < inst->units.size(); ++i)
        if (!inst->units[i].conmon_published || !tn_routing_device_published(tn_routing_set_at(inst->routing, i)))
            return false;
    return true;
}

namespace {

// The units taken away whose time has come are back: silent no more, reported present by the local
// server and published again with the same names, ports and records; a spare holds no subscription.
void bring_back(tn_installation *inst)
{
    const uint64_t now = tn_now_micros();
    for (size_t i = 0; i < inst->units.size(); ++i) {
        unit &u = inst->units[i];
        if (!u.away || now < u.back_at)
            continue;
        u.away = false;
        tn_routing_device *rd = tn_routing_set_at(inst->routing, i);
        if (u.spare)
            for (unsigned rx = 1; rx <= tn_routing_device_get_config(rd)->rx_count; ++rx)
                tn_routing_device_set_subscription(rd, static_cast<uint16_t>(rx), nullptr, nullptr);
        tn_routing_device_set_silent(rd, false);
        tn_conmon_device *dev = tn_conmon_server_device(inst->conmon, u.name);
        if (dev)
            dev->silent = false;
        tn_conmon_server_set_online(inst->conmon, u.name, true);
        qnb_error err = QNB_ERR_SUCCESS;
        if (inst->cfg.publish && dev && ((err = tn_routing_device_publish(rd, TN_ROUTING_PUBLISH_AUTO)) != 0 ||
                                         (err = publish_conmon(u, *dev)) != 0))
            fprintf(stderr, "tn_installation: %s cannot be published again: %s\n", u.name, qnb_error_get_text(err));
        fprintf(stderr, "tn_installation: %s is back%s\n", u.name, u.spare ? " as a spare, nothing subscribed" : "");
    }
}

} // namespace

qnb_error tn_installation_process(tn_installation *inst)
{
    if (!inst)
        return QNB_ERR_INVALIDPARAMETER;
    tn_config_service_process(inst->config);
    tn_conmon_server_process(inst->conmon);
    tn_routing_set_process(inst->routing);
    // Steady loss: the device drops one request when armed; count what arrived and arm it again.
    for (size_t i = 0; i < inst->units.size(); ++i) {
        unit &u = inst->units[i];
        tn_routing_device *dev = tn_routing_set_at(inst->routing, i);
        size_t arrived = u.loss_every ? tn_routing_device_log_count(dev) : 0;
        if (!arrived)
            continue;
        tn_routing_device_clear_log(dev);
        if (arrived < u.loss_left) {
            u.loss_left -= static_cast<unsigned>(arrived);
            continue;
        }
        size_t beyond = arrived - u.loss_left;
        u.lost += 1 + beyond / u.loss_every;
        u.loss_left = u.loss_every - static_cast<unsigned>(beyond % u.loss_every);
        tn_routing_device_drop_nth(dev, u.loss_left);
    }
    // A unit whose routing device has gone silent is gone for the local server's device too (its
    // DNS-SD records stay, as after a power cut).
    for (size_t i = 0; i < inst->units.size(); ++i) {
        unit &u = inst->units[i];
        if (!u.vanishing || !tn_routing_device_get_silent(tn_routing_set_at(inst->routing, i)))
            continue;
        u.vanishing = false;
        if (tn_conmon_device *dev = tn_conmon_server_device(inst->conmon, u.name))
            dev->silent = true;
        fprintf(stderr, "tn_installation: %s has vanished\n", u.name);
    }
    bring_back(inst);
    if (const dnssd_calls *lib = tn_dnssd_loaded()) {
        for (unit &u : inst->units) {
            if (!u.conmon_ref)
                continue;
            struct pollfd p = {lib->sock_fd(u.conmon_ref), POLLIN, 0};
            if (p.fd >= 0 && poll(&p, 1, 0) > 0)
                lib->process_result(u.conmon_ref);
        }
    }
    return QNB_ERR_SUCCESS;
}

qnb_error tn_installation_set_routing_loss(tn_installation *inst, const char *name, unsigned every_nth)
{
    if (!inst)
        return QNB_ERR_INVALIDPARAMETER;
    bool found = false;
    for (size_t i = 0; i < inst->units.size(); ++i) {
        unit &u = inst->units[i];
        if (name && strcasecmp(name, u.name) != 0)
            continue;
        found = true;
        tn_routing_device *dev = tn_routing_set_at(inst->routing, i);
        tn_routing_device_clear_log(dev);
        if (every_nth == 1)
            tn_routing_device_set_silent(dev, true);
        u.loss_every = u.loss_left = every_nth == 1 ? 0 : every_nth;
        // For every unit at once, the counts start at points spread over the first N requests, so
        // that the installation as a whole loses one request in N even where each device gets
        // fewer than N of them.
        if (!name && u.loss_every)
            u.loss_left = 1 + static_cast<unsigned>(i * every_nth / inst->units.size());
        u.lost = 0;
        tn_routing_device_drop_nth(dev, u.loss_left);
    }
    return found ? QNB_ERR_SUCCESS : QNB_ERR_NOTFOUND;
}

qnb_error tn_installation_vanish_after(tn_installation *inst, const char *name, uint16_t opcode, unsigned n)
{
    if (!inst || !name)
        return QNB_ERR_INVALIDPARAMETER;
    for (size_t i = 0; i < inst->units.size(); ++i) {
        if (strcasecmp(name, inst->units[i].name) != 0)
            continue;
        tn_routing_device_vanish_after(tn_routing_set_at(inst->routing, i), opcode, n);
        inst->units[i].vanishing = n != 0;
        return QNB_ERR_SUCCESS;
    }
    return QNB_ERR_NOTFOUND;
}

size_t tn_installation_routing_lost(const tn_installation *inst)
{
    size_t lost = 0;
    for (size_t i = 0; inst && i < inst->units.size(); ++i)
        lost += inst->units[i].lost;
    return lost;
}

qnb_error tn_installation_poll(tn_installation *inst, int timeout_ms)
{
    if (!inst)
        return QNB_ERR_INVALIDPARAMETER;
    std::vector<struct pollfd> fds;
    auto add = [&fds](int fd) {
        if (fd >= 0)
            fds.push_back({fd, POLLIN, 0});
    };
    add(tn_config_service_get_socket(inst->config));
    add(tn_conmon_server_get_socket(inst->conmon));
    for (size_t i = 0; i < tn_routing_set_count(inst->routing); ++i)
        add(tn_routing_device_get_socket(tn_routing_set_at(inst->routing, i)));
    if (const dnssd_calls *lib = tn_dnssd_loaded())
        for (const unit &u : inst->units)
            if (u.conmon_ref)
                add(lib->sock_fd(u.conmon_ref));
    // Delayed answers and the routing devices' own registrations have no descriptor here: a short
    // wait keeps them on time.
    if (timeout_ms < 0 || timeout_ms > 20)
        timeout_ms = 20;
    while (poll(fds.data(), fds.size(), timeout_ms) < 0 && errno == EINTR) {
    }
    return tn_installation_process(inst);
}

void tn_installation_dump_subscriptions(const tn_installation *inst, FILE *out)
{
    if (!inst || !out)
        return;
    for (size_t i = 0; i < tn_routing_set_count(inst->routing); ++i)
        tn_routing_device_dump_subscriptions(tn_routing_set_at(inst->routing, i), out);
    fflush(out);
}

qnb_error tn_installation_take_away(tn_installation *inst, const char *name, uint32_t away_ms, bool spare)
{
    if (!inst || !name)
        return QNB_ERR_INVALIDPARAMETER;
    for (size_t i = 0; i < inst->units.size(); ++i) {
        unit &u = inst->units[i];
        if (strcasecmp(name, u.name) != 0)
            continue;
        if (u.away)
            return QNB_ERR_INVALIDSTATE;
        // Reported gone by the local server, silent, and its services withdrawn with goodbyes.
        tn_conmon_server_set_online(inst->conmon, u.name, false);
        if (tn_conmon_device *dev = tn_conmon_server_device(inst->conmon, u.name))
            dev->silent = true;
        tn_routing_device *rd = tn_routing_set_at(inst->routing, i);
        tn_routing_device_set_silent(rd, true);
        tn_routing_device_unpublish(rd);
        if (u.conmon_ref) {
            load_dnssd()->deallocate(u.conmon_ref);
            u.conmon_ref = nullptr;
        }
        u.conmon_published = false;
        u.away = true;
        u.spare = spare;
        u.back_at = tn_now_micros() + uint64_t(away_ms) * 1000u;
        fprintf(stderr, "tn_installation: %s is away for %u ms\n", u.name, unsigned(away_ms));
        return QNB_ERR_SUCCESS;
    }
    return QNB_ERR_NOTFOUND;
}
