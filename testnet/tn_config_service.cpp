#include "testnet/tn_config_service.h"

#include <arpa/inet.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "netaudio/messaging/wgcp2_client.h"
#include "testnet/tn_clock.h"

namespace {

struct client_entry {
    bool used;
    qnb_sockaddr address;
    uint8_t identity[10]; // client port and id as they arrived in the header
    cmm_client_info info;
    uint16_t event_seqnum;
};

} // namespace

struct tn_config_service {
    qnb_socket sock;
    uint16_t port;
    std::vector<cmm_interface> interfaces;
    std::vector<std::string> names; // each interface's name as it was given
    uint16_t status;
    char device_name[CMM_DEVICE_NAME_SIZE];
    cmm_system_config current;
    cmm_system_config pending;
    bool change_under_way;
    uint64_t change_due;
    uint32_t change_delay_ms;
    bool silent;
    bool foreign_lock;
    tn_config_fault fault;
    std::map<uint16_t, uint16_t> statuses;
    std::map<uint16_t, unsigned> counts;
    client_entry clients[TN_CONFIG_MAX_CLIENTS];
    bool have_last_set;
    cmm_set_config last_set;
    cmm_state state_view; // what tn_config_service_get_state hands out
    // A restart under way: the socket is closed until `reopen_due` (library clock, microseconds).
    bool down;
    uint64_t reopen_due;
    unsigned restarts;
    wgcp_message in;
    wgcp_message out;
};

// ---------------------------------------------------------------------------------------------
// Text helpers

size_t tn_utf8_to_utf16(const char *text, char16_t *out, size_t capacity)
{
    if (!out || capacity == 0)
        return 0;
    size_t n = 0;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text ? text : "");
    while (*p && n + 1 < capacity) {
        uint32_t cp;
        int extra;
        if (*p < 0x80) {
            cp = *p;
            extra = 0;
        } else if ((*p & 0xE0) == 0xC0) {
            cp = *p & 0x1F;
            extra = 1;
        } else if ((*p & 0xF0) == 0xE0) {
            cp = *p & 0x0F;
            extra = 2;
        } else if ((*p & 0xF8) == 0xF0) {
            cp = *p & 0x07;
            extra = 3;
        } else {
            cp = 0xFFFD;
            extra = -1;
        }
        ++p;
        for (int i = 0; i < extra; ++i) {
            if ((*p & 0xC0) != 0x80) {
                cp = 0xFFFD;
                break;
            }
            cp = (cp << 6) | (*p & 0x3F);
            ++p;
        }
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            cp = 0xFFFD;
        if (cp >= 0x10000) {
            if (n + 2 >= capacity)
                break;
            cp -= 0x10000;
            out[n++] = static_cast<char16_t>(0xD800 + (cp >> 10));
            out[n++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out[n++] = static_cast<char16_t>(cp);
        }
    }
    out[n] = 0;
    return n;
}

bool tn_parse_mac(const char *text, uint8_t mac[6])
{
    if (!text || !mac)
        return false;
    unsigned v[6];
    char sep1, sep2, sep3, sep4, sep5;
    int used = 0;
    if (sscanf(text, "%2x%c%2x%c%2x%c%2x%c%2x%c%2x%n", &v[0], &sep1, &v[1], &sep2, &v[2], &sep3, &v[3], &sep4, &v[4],
               &sep5, &v[5], &used) != 11)
        return false;
    const char seps[5] = {sep1, sep2, sep3, sep4, sep5};
    for (char s : seps)
        if (s != ':' && s != '-')
            return false;
    if (text[used] != '\0' && text[used] != ' ' && text[used] != '\t')
        return false;
    for (int i = 0; i < 6; ++i)
        mac[i] = static_cast<uint8_t>(v[i]);
    return true;
}

// ---------------------------------------------------------------------------------------------
// State

namespace {

const cmm_interface *find_by_mac(const tn_config_service *svc, const uint8_t *mac)
{
    for (const cmm_interface &entry : svc->interfaces)
        if (memcmp(entry.mac, mac, 6) == 0)
            return &entry;
    return nullptr;
}

void build_state(tn_config_service *svc, cmm_state *out)
{
    memset(out, 0, sizeof *out);
    out->status = svc->status;
    memcpy(out->device_name, svc->device_name, sizeof out->device_name);
    out->current = svc->current;
    if (svc->status == CMM_SYSTEM_CHANGING)
        out->pending = svc->pending;
    unsigned n = 0;
    for (const client_entry &c : svc->clients) {
        if (!c.used || n >= CMM_MAX_PROCESSES)
            continue;
        cmm_process &p = out->processes[n++];
        memcpy(p.name, c.info.name, sizeof p.name);
        p.name[sizeof p.name - 1] = '\0';
        p.pid = c.info.pid;
        p.lock = c.info.lock;
    }
    if (svc->foreign_lock && n < CMM_MAX_PROCESSES) {
        cmm_process &p = out->processes[n++];
        snprintf(p.name, sizeof p.name, "%s", "foreign");
        p.pid = TN_CONFIG_FOREIGN_PID;
        p.lock = 1;
    }
    out->process_count = static_cast<uint16_t>(n);
}

client_entry *find_client(tn_config_service *svc, const qnb_sockaddr &address)
{
    for (client_entry &c : svc->clients)
        if (c.used && qnb_sockaddr_equal(&c.address, &address))
            return &c;
    return nullptr;
}

void send_packet(tn_config_service *svc, const qnb_sockaddr &to, size_t size)
{
    size_t n = size;
    qnb_socket_sendto(svc->sock, svc->out.packet, &n, &to);
}

// Starts an outgoing message with an extended header.
void begin_out(tn_config_service *svc, uint16_t seqnum, uint16_t opcode, uint16_t status, const uint8_t *identity)
{
    wgcp_message_reset(&svc->out, WGCP_KIND_EXTENDED);
    wgcp_message_init_request(&svc->out, CMM_PROTOCOL, opcode);
    wgcp_message_set_seqnum(svc->out.packet, seqnum);
    wgcp_header_set_status(svc->out.packet, status);
    memcpy(svc->out.packet + WGCP_HEADER_SIZE, identity, 10);
}

// Sends the answer in `out` to a request, misbehaving as asked.
void send_answer(tn_config_service *svc, const qnb_sockaddr &to)
{
    size_t size = wgcp_header_get_length(svc->out.packet);
    switch (svc->fault) {
    case TN_CONFIG_FAULT_TRUNCATE:
        send_packet(svc, to, size > 1 ? size - 1 : size);
        break;
    case TN_CONFIG_FAULT_WRONG_SEQNUM:
        wgcp_message_set_seqnum(svc->out.packet,
                                static_cast<uint16_t>(wgcp_header_get_seqnum(svc->out.packet) + 0x100));
        send_packet(svc, to, size);
        break;
    case TN_CONFIG_FAULT_DUPLICATE:
        send_packet(svc, to, size);
        send_packet(svc, to, size);
        break;
    default:
        send_packet(svc, to, size);
        break;
    }
}

void notify_options(tn_config_service *svc, client_entry &c)
{
    begin_out(svc, c.event_seqnum++, CMM_OPCODE_OPTIONS, WGCP_STATUS_EVENT, c.identity);
    if (cmm_encode_options_entries(&svc->out, svc->interfaces.data(), static_cast<unsigned>(svc->interfaces.size())))
        fprintf(stderr, "tn_config_service: options do not fit in one message\n");
    else
        send_packet(svc, c.address, wgcp_header_get_length(svc->out.packet));
}

void notify_state(tn_config_service *svc, client_entry &c)
{
    cmm_state state;
    build_state(svc, &state);
    begin_out(svc, c.event_seqnum++, CMM_OPCODE_STATE, WGCP_STATUS_EVENT, c.identity);
    cmm_encode_state(&svc->out, &state);
    send_packet(svc, c.address, wgcp_header_get_length(svc->out.packet));
}

void notify_all_state(tn_config_service *svc)
{
    if (svc->silent)
        return;
    for (client_entry &c : svc->clients)
        if (c.used)
            notify_state(svc, c);
}

void notify_all_options(tn_config_service *svc)
{
    if (svc->silent)
        return;
    for (client_entry &c : svc->clients)
        if (c.used)
            notify_options(svc, c);
}

// The status configured for `opcode`, or `normal`.
uint16_t status_for(const tn_config_service *svc, uint16_t opcode, uint16_t normal)
{
    auto it = svc->statuses.find(opcode);
    return it == svc->statuses.end() ? normal : it->second;
}

void handle_connect(tn_config_service *svc, const qnb_sockaddr &from, uint16_t seqnum, const uint8_t *identity)
{
    uint16_t status = status_for(svc, CMM_OPCODE_STATE_QUERY, WGCP_STATUS_RESPONSE);
    cmm_client_info info;
    if (cmm_decode_client_info(&svc->in, &info) && status == WGCP_STATUS_RESPONSE)
        status = CMM_STATUS_INVALID_DATA;
    client_entry *c = nullptr;
    if (status == WGCP_STATUS_RESPONSE) {
        c = find_client(svc, from);
        if (!c) {
            for (client_entry &slot : svc->clients) {
                if (!slot.used) {
                    c = &slot;
                    break;
                }
            }
        }
        if (!c) {
            status = WGCP_STATUS_TOO_MANY_CLIENTS;
        } else {
            bool known = c->used;
            c->used = true;
            c->address = from;
            memcpy(c->identity, identity, sizeof c->identity);
            uint32_t lock = known ? c->info.lock : 0;
            c->info = info;
            c->info.lock = lock;
        }
    }
    begin_out(svc, seqnum, CMM_OPCODE_STATE_QUERY, status, identity);
    cmm_server_version version = {true, {1, 0}, 0x0100, 0};
    cmm_encode_server_version(&svc->out, &version);
    send_answer(svc, from);
    if (c) {
        notify_options(svc, *c);
        // Every connected client sees the new process list.
        notify_all_state(svc);
    }
}

void handle_disconnect(tn_config_service *svc, const qnb_sockaddr &from, uint16_t seqnum, const uint8_t *identity)
{
    client_entry *c = find_client(svc, from);
    bool had_lock = c && c->info.lock;
    if (c)
        memset(c, 0, sizeof *c);
    begin_out(svc, seqnum, CMM_OPCODE_REFRESH, status_for(svc, CMM_OPCODE_REFRESH, WGCP_STATUS_RESPONSE), identity);
    send_answer(svc, from);
    if (c || had_lock)
        notify_all_state(svc);
}

void handle_keepalive(tn_config_service *svc, const qnb_sockaddr &from, uint16_t seqnum, const uint8_t *identity)
{
    uint16_t normal = find_client(svc, from) ? WGCP_STATUS_RESPONSE : WGCP_STATUS_NOT_CONNECTED;
    begin_out(svc, seqnum, WGCP2_OPCODE_KEEPALIVE, status_for(svc, WGCP2_OPCODE_KEEPALIVE, normal), identity);
    send_answer(svc, from);
}

// Checks and applies a SET_CONFIG; returns the status of the answer.
uint16_t apply_set_config(tn_config_service *svc, client_entry *c, const cmm_set_config &record, bool *changed)
{
    if (!c)
        return WGCP_STATUS_NOT_CONNECTED;
    if (record.flags & CMM_SET_CONFIG) {
        if (svc->foreign_lock || svc->status == CMM_SYSTEM_CHANGING)
            return CMM_STATUS_INVALID_STATE;
        unsigned count = cmm_config_get_interface_count(&record.config);
        if (count == 0)
            return CMM_STATUS_INVALID_DATA;
        for (unsigned i = 0; i < count; ++i)
            if (!find_by_mac(svc, record.config.interfaces[i].mac))
                return CMM_STATUS_INVALID_DATA;
    }
    if ((record.flags & CMM_SET_LOCK) && record.lock && svc->foreign_lock)
        return CMM_STATUS_INVALID_STATE;

    if (record.flags & CMM_SET_CONFIG) {
        // The service's own names and MACs are what it stores, whatever the request carried.
        memset(&svc->pending, 0, sizeof svc->pending);
        for (unsigned i = 0; i < cmm_config_get_interface_count(&record.config); ++i)
            svc->pending.interfaces[svc->pending.count++] = *find_by_mac(svc, record.config.interfaces[i].mac);
        svc->status = CMM_SYSTEM_CHANGING;
        svc->change_under_way = true;
        svc->change_due = tn_now_micros() + static_cast<uint64_t>(svc->change_delay_ms) * 1000u;
        *changed = true;
    }
    if ((record.flags & CMM_SET_LOCK) && c->info.lock != (record.lock ? 1u : 0u)) {
        c->info.lock = record.lock ? 1 : 0;
        *changed = true;
    }
    return WGCP_STATUS_RESPONSE;
}

void handle_set_config(tn_config_service *svc, const qnb_sockaddr &from, uint16_t seqnum, const uint8_t *identity)
{
    cmm_set_config record;
    uint16_t status;
    bool changed = false;
    if (cmm_decode_set_config(&svc->in, &record)) {
        status = CMM_STATUS_INVALID_DATA;
    } else {
        svc->last_set = record;
        svc->have_last_set = true;
        status = status_for(svc, CMM_OPCODE_SET_CONFIG, 0);
        if (status == 0)
            status = apply_set_config(svc, find_client(svc, from), record, &changed);
    }
    cmm_state state;
    build_state(svc, &state);
    begin_out(svc, seqnum, CMM_OPCODE_SET_CONFIG, status, identity);
    cmm_encode_state(&svc->out, &state);
    send_answer(svc, from);
    if (changed)
        notify_all_state(svc);
}

void handle_datagram(tn_config_service *svc, const qnb_sockaddr &from, size_t size)
{
    // Only well-formed requests with an extended header are answered.
    if (size < WGCP_EXT_HEADER_SIZE || wgcp_header_get_length(svc->in.packet) != size)
        return;
    uint16_t opcode = wgcp_header_get_opcode(svc->in.packet);
    uint16_t seqnum = wgcp_header_get_seqnum(svc->in.packet);
    uint16_t status = wgcp_header_get_status(svc->in.packet);
    if (status != WGCP_STATUS_REQUEST)
        return;
    svc->counts[opcode]++;
    if (svc->silent)
        return;
    uint8_t identity[10];
    memcpy(identity, svc->in.packet + WGCP_HEADER_SIZE, sizeof identity);
    switch (opcode) {
    case WGCP2_OPCODE_KEEPALIVE:
        handle_keepalive(svc, from, seqnum, identity);
        break;
    case CMM_OPCODE_STATE_QUERY:
        handle_connect(svc, from, seqnum, identity);
        break;
    case CMM_OPCODE_REFRESH:
        handle_disconnect(svc, from, seqnum, identity);
        break;
    case CMM_OPCODE_SET_CONFIG:
        handle_set_config(svc, from, seqnum, identity);
        break;
    default:
        begin_out(svc, seqnum, opcode, WGCP_STATUS_UNRECOGNISED_OPCODE, identity);
        send_answer(svc, from);
        break;
    }
}

void run_timers(tn_config_service *svc)
{
    if (!svc->change_under_way || tn_now_micros() < svc->change_due)
        return;
    svc->change_under_way = false;
    svc->current = svc->pending;
    memset(&svc->pending, 0, sizeof svc->pending);
    svc->status = CMM_SYSTEM_READY;
    notify_all_state(svc);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Life cycle and configuration

tn_config_service *tn_config_service_new(uint16_t port, qnb_error *error)
{
    qnb_error err = QNB_ERR_SUCCESS;
    tn_config_service *svc = new (std::nothrow) tn_config_service();
    if (!svc) {
        if (error)
            *error = QNB_ERR_NOMEMORY;
        return nullptr;
    }
    svc->sock = QNB_SOCKET_INVALID;
    svc->status = CMM_SYSTEM_INVALID_CONFIG;
    svc->change_delay_ms = 1000;
    snprintf(svc->device_name, sizeof svc->device_name, "%s", "qz-testnet");
    wgcp_message_reset(&svc->in, WGCP_KIND_EXTENDED);
    wgcp_message_reset(&svc->out, WGCP_KIND_EXTENDED);

    qnb_sockaddr address;
    qnb_sockaddr_set(&address, htonl(INADDR_LOOPBACK), port);
    qnb_sockaddr bound;
    if ((err = qnb_socket_open_udp(&svc->sock, AF_INET)) || (err = qnb_socket_bind(svc->sock, &address)) ||
        (err = qnb_socket_set_nonblocking(svc->sock, 0)) || (err = qnb_socket_get_name(svc->sock, &bound))) {
        qnb_socket_close(&svc->sock);
        delete svc;
        if (error)
            *error = err;
        return nullptr;
    }
    svc->port = qnb_sockaddr_get_port(&bound);
    if (error)
        *error = QNB_ERR_SUCCESS;
    return svc;
}

void tn_config_service_delete(tn_config_service *svc)
{
    if (!svc)
        return;
    qnb_socket_close(&svc->sock);
    delete svc;
}

uint16_t tn_config_service_get_port(const tn_config_service *svc)
{
    return svc ? svc->port : 0;
}

qnb_socket tn_config_service_get_socket(const tn_config_service *svc)
{
    return svc ? svc->sock : QNB_SOCKET_INVALID;
}

qnb_error tn_config_service_add_interface(tn_config_service *svc, const char *name, const uint8_t mac[6])
{
    if (!svc || !name || !mac)
        return QNB_ERR_INVALIDPARAMETER;
    if (svc->interfaces.size() >= TN_CONFIG_MAX_INTERFACES)
        return QNB_ERR_NOBUFS;
    cmm_interface entry;
    memset(&entry, 0, sizeof entry);
    tn_utf8_to_utf16(name, entry.name, CMM_INTERFACE_NAME_UNITS);
    memcpy(entry.mac, mac, 6);
    svc->interfaces.push_back(entry);
    svc->names.emplace_back(name);
    notify_all_options(svc);
    return QNB_ERR_SUCCESS;
}

qnb_error tn_config_service_clear_interfaces(tn_config_service *svc)
{
    if (!svc)
        return QNB_ERR_INVALIDPARAMETER;
    svc->interfaces.clear();
    svc->names.clear();
    notify_all_options(svc);
    return QNB_ERR_SUCCESS;
}

qnb_error tn_config_service_set_current(tn_config_service *svc, const uint8_t *mac)
{
    if (!svc)
        return QNB_ERR_INVALIDPARAMETER;
    memset(&svc->current, 0, sizeof svc->current);
    if (mac) {
        const cmm_interface *entry = find_by_mac(svc, mac);
        if (!entry)
            return QNB_ERR_NOTFOUND;
        svc->current.interfaces[0] = *entry;
        svc->current.count = 1;
        svc->status = CMM_SYSTEM_READY;
    } else {
        svc->status = CMM_SYSTEM_INVALID_CONFIG;
    }
    svc->change_under_way = false;
    notify_all_state(svc);
    return QNB_ERR_SUCCESS;
}

qnb_error tn_config_service_set_device_name(tn_config_service *svc, const char *name)
{
    if (!svc || !name)
        return QNB_ERR_INVALIDPARAMETER;
    snprintf(svc->device_name, sizeof svc->device_name, "%s", name);
    notify_all_state(svc);
    return QNB_ERR_SUCCESS;
}

namespace {

std::string trim(const std::string &s)
{
    size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos)
        return std::string();
    size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

} // namespace

qnb_error tn_config_service_load_text(tn_config_service *svc, const char *text)
{
    if (!svc || !text)
        return QNB_ERR_INVALIDPARAMETER;
    std::string all(text);
    size_t pos = 0;
    unsigned line_no = 0;
    std::vector<std::string> current_macs;
    while (pos <= all.size()) {
        size_t end = all.find('\n', pos);
        if (end == std::string::npos)
            end = all.size();
        std::string line = trim(all.substr(pos, end - pos));
        pos = end + 1;
        ++line_no;
        if (line.empty() || line[0] == '#')
            continue;
        size_t space = line.find_first_of(" \t");
        std::string key = line.substr(0, space);
        std::string rest = space == std::string::npos ? std::string() : trim(line.substr(space));
        if (key == "interface") {
            size_t gap = rest.find_first_of(" \t");
            uint8_t mac[6];
            std::string name = gap == std::string::npos ? std::string() : trim(rest.substr(gap));
            if (!tn_parse_mac(rest.substr(0, gap).c_str(), mac) || name.empty()) {
                fprintf(stderr, "tn_config_service: line %u: expected \"interface MAC NAME\"\n", line_no);
                return QNB_ERR_INVALIDDATA;
            }
            qnb_error err = tn_config_service_add_interface(svc, name.c_str(), mac);
            if (err)
                return err;
        } else if (key == "current") {
            current_macs.push_back(rest);
        } else if (key == "device") {
            if (rest.empty())
                return QNB_ERR_INVALIDDATA;
            tn_config_service_set_device_name(svc, rest.c_str());
        } else {
            fprintf(stderr, "tn_config_service: line %u: unknown key \"%s\"\n", line_no, key.c_str());
            return QNB_ERR_INVALIDDATA;
        }
    }
    // "current" may name an interface listed further down.
    for (const std::string &m : current_macs) {
        uint8_t mac[6];
        if (!tn_parse_mac(m.c_str(), mac) || tn_config_service_set_current(svc, mac)) {
            fprintf(stderr, "tn_config_service: current interface \"%s\" is not listed\n", m.c_str());
            return QNB_ERR_INVALIDDATA;
        }
    }
    return QNB_ERR_SUCCESS;
}

qnb_error tn_config_service_load_file(tn_config_service *svc, const char *path)
{
    if (!svc || !path)
        return QNB_ERR_INVALIDPARAMETER;
    FILE *f = fopen(path, "r");
    if (!f)
        return qnb_error_from_errno(errno);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0 && text.size() < (1u << 20))
        text.append(buf, n);
    fclose(f);
    return tn_config_service_load_text(svc, text.c_str());
}

void tn_config_service_set_silent(tn_config_service *svc, bool silent)
{
    if (svc)
        svc->silent = silent;
}

void tn_config_service_set_status(tn_config_service *svc, uint16_t opcode, uint16_t status)
{
    if (!svc)
        return;
    if (status == 0)
        svc->statuses.erase(opcode);
    else
        svc->statuses[opcode] = status;
}

qnb_error tn_config_service_set_foreign_lock(tn_config_service *svc, bool held)
{
    if (!svc)
        return QNB_ERR_INVALIDPARAMETER;
    if (svc->foreign_lock != held) {
        svc->foreign_lock = held;
        notify_all_state(svc);
    }
    return QNB_ERR_SUCCESS;
}

void tn_config_service_set_fault(tn_config_service *svc, tn_config_fault fault)
{
    if (svc)
        svc->fault = fault;
}

void tn_config_service_set_change_delay_ms(tn_config_service *svc, uint32_t ms)
{
    if (svc)
        svc->change_delay_ms = ms;
}

void tn_config_service_forget_clients(tn_config_service *svc)
{
    if (svc)
        memset(svc->clients, 0, sizeof svc->clients);
}

// ---------------------------------------------------------------------------------------------
// Restart

namespace {

// Back on the same port; a port taken meanwhile is tried again on the next pass.
qnb_error reopen_socket(tn_config_service *svc)
{
    qnb_sockaddr address;
    qnb_sockaddr_set(&address, htonl(INADDR_LOOPBACK), svc->port);
    qnb_error err;
    if ((err = qnb_socket_open_udp(&svc->sock, AF_INET)) || (err = qnb_socket_bind(svc->sock, &address)) ||
        (err = qnb_socket_set_nonblocking(svc->sock, 0))) {
        qnb_socket_close(&svc->sock);
        return err;
    }
    svc->down = false;
    return QNB_ERR_SUCCESS;
}

} // namespace

qnb_error tn_config_service_restart(tn_config_service *svc, uint32_t down_ms)
{
    if (!svc)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_socket_close(&svc->sock);
    memset(svc->clients, 0, sizeof svc->clients);
    svc->down = true;
    svc->reopen_due = tn_now_micros() + static_cast<uint64_t>(down_ms) * 1000u;
    ++svc->restarts;
    return down_ms == 0 ? reopen_socket(svc) : QNB_ERR_SUCCESS;
}

bool tn_config_service_is_up(const tn_config_service *svc)
{
    return svc && !svc->down;
}

unsigned tn_config_service_restart_count(const tn_config_service *svc)
{
    return svc ? svc->restarts : 0;
}

// ---------------------------------------------------------------------------------------------
// Running

qnb_error tn_config_service_process(tn_config_service *svc)
{
    if (!svc)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_error result = QNB_ERR_SUCCESS;
    if (svc->down && tn_now_micros() >= svc->reopen_due)
        result = reopen_socket(svc);
    for (; !svc->down;) {
        size_t size = WGCP_PACKET_SIZE;
        qnb_sockaddr from;
        memset(&from, 0, sizeof from);
        qnb_error err = qnb_socket_recvfrom(svc->sock, svc->in.packet, &size, &from);
        if (err == QNB_ERR_TIMEDOUT)
            break;
        if (err == QNB_ERR_MSGSIZE || err == QNB_ERR_CONNRESET || err == QNB_ERR_INTERRUPTED)
            continue; // an oversize datagram or a stale error report: drop it and go on
        if (err) {
            result = err;
            break;
        }
        handle_datagram(svc, from, size);
    }
    run_timers(svc);
    return result;
}

qnb_error tn_config_service_poll(tn_config_service *svc, int timeout_ms)
{
    if (!svc)
        return QNB_ERR_INVALIDPARAMETER;
    struct pollfd p;
    p.fd = svc->sock;
    p.events = POLLIN;
    p.revents = 0;
    if (poll(&p, 1, timeout_ms) < 0 && errno != EINTR)
        return qnb_error_from_errno(errno);
    return tn_config_service_process(svc);
}

unsigned tn_config_service_request_count(const tn_config_service *svc, uint16_t opcode)
{
    if (!svc)
        return 0;
    auto it = svc->counts.find(opcode);
    return it == svc->counts.end() ? 0 : it->second;
}

unsigned tn_config_service_client_count(const tn_config_service *svc)
{
    unsigned n = 0;
    if (svc)
        for (const client_entry &c : svc->clients)
            n += c.used ? 1 : 0;
    return n;
}

const cmm_state *tn_config_service_get_state(const tn_config_service *svc)
{
    if (!svc)
        return nullptr;
    tn_config_service *self = const_cast<tn_config_service *>(svc);
    build_state(self, &self->state_view);
    return &svc->state_view;
}

unsigned tn_config_service_interface_count(const tn_config_service *svc)
{
    return svc ? static_cast<unsigned>(svc->interfaces.size()) : 0;
}

bool tn_config_service_interface_at(const tn_config_service *svc, unsigned index, uint8_t mac[6], char *name,
                                    size_t capacity)
{
    if (!svc || index >= svc->interfaces.size() || !mac || !name || capacity == 0)
        return false;
    memcpy(mac, svc->interfaces[index].mac, 6);
    snprintf(name, capacity, "%s", svc->names[index].c_str());
    return true;
}

bool tn_config_service_last_set_config(const tn_config_service *svc, cmm_set_config *out)
{
    if (!svc || !svc->have_last_set || !out)
        return false;
    *out = svc->last_set;
    return true;
}
