#include "tests/support/fake_domain_server.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "netaudio/messaging/wgcp_buffer.h"
#include "netaudio/platform/qnb_env.h"

std::string fake_domain_txt(const std::vector<std::string> &entries)
{
    std::string txt;
    for (const std::string &e : entries) {
        txt.push_back(char(e.size()));
        txt += e;
    }
    return txt;
}

fake_domain_server::fake_domain_server() : handler{}, domain{}
{
    domain_id_set_adhoc(domain.id);
    domain.flags = 3;
    handler.current_domain = current_domain;
    handler.user_data = this;
    handler.state = state;
    handler.channel = channel;
    handler.token = token;
}

fake_domain_server::~fake_domain_server()
{
    if (relay_socket_ != QNB_SOCKET_INVALID)
        qnb_socket_close(&relay_socket_);
}

void fake_domain_server::attach(qnb_env *env)
{
    env->domain_hook = &handler;
}

void fake_domain_server::detach(qnb_env *env)
{
    env->domain_hook = nullptr;
}

void fake_domain_server::current_domain(void *user, domain_info *out)
{
    *out = static_cast<fake_domain_server *>(user)->domain;
}

uint32_t fake_domain_server::state(void *user)
{
    return static_cast<fake_domain_server *>(user)->connection;
}

uintptr_t fake_domain_server::token(void *user)
{
    return static_cast<fake_domain_server *>(user)->connection;
}

bool fake_domain_server::channel(void *user, domain_client *client, tlv_transport *out)
{
    fake_domain_server *s = static_cast<fake_domain_server *>(user);
    s->links_.push_back(link{s, client->id});
    out->send = transport;
    out->user = &s->links_.back();
    return true;
}

qnb_error fake_domain_server::transport(void *user, const uint8_t *data, size_t length)
{
    link *l = static_cast<link *>(user);
    if (l->server->fail_transport)
        return QNB_ERR_NOTCONN;
    l->server->inbox_.push_back(message{l->client, std::vector<uint8_t>(data, data + length)});
    return 0;
}

void fake_domain_server::set_domain(const uint8_t id[DOMAIN_ID_SIZE], uint32_t flags, uint32_t conn)
{
    memcpy(domain.id, id, DOMAIN_ID_SIZE);
    domain.flags = flags;
    connection = conn;
    domain_handler_announce(&handler, DOMAIN_EVENT_STATE);
}

void fake_domain_server::pump()
{
    do {
        while (!inbox_.empty()) {
            message m = inbox_.front();
            inbox_.pop_front();
            handle(m);
        }
    } while (drain_relay() || !inbox_.empty());
}

void fake_domain_server::handle_relay(const message &m, const tlv_view &view)
{
    wgcp_reader msg;
    wgcp_reader_init(&msg, view.data, view.length);
    size_t r = size_t(view.head - view.data);
    relay rel{m.client, 0, 0, 0, {0, 0}, m.bytes};
    uint16_t length = 0, offset = 0, low = 0;
    wgcp_reader_u16_at(&msg, r + 8, &rel.request_id);
    if (view.record_length < 24 || wgcp_reader_u16_at(&msg, r + 12, &length) != 0 ||
        wgcp_reader_u16_at(&msg, r + 14, &offset) != 0 || wgcp_reader_u32_at(&msg, r + 16, &rel.address[0]) != 0 ||
        wgcp_reader_u16_at(&msg, r + 20, &low) != 0 || offset < 24 || size_t(offset) + length > view.record_length ||
        length < 10) {
        send_relay_answer(rel, 5, {});
        return;
    }
    rel.address[1] = low;
    const uint8_t *packet = view.head + offset;
    rel.seqnum = wgcp_load_be16(packet + 4);
    for (const fake_domain_device &d : devices) {
        if (d.has_address && d.address[0] == rel.address[0] && d.address[1] == rel.address[1])
            rel.port = d.relay_port;
    }
    if (relay_failure_status || rel.port == 0) {
        send_relay_answer(rel, relay_failure_status ? relay_failure_status : unreachable_status, {});
        return;
    }
    if (relay_socket_ == QNB_SOCKET_INVALID) {
        qnb_sockaddr any;
        qnb_sockaddr_set(&any, htonl(INADDR_LOOPBACK), 0);
        if (qnb_socket_open_udp(&relay_socket_, AF_INET) != 0 || qnb_socket_bind(relay_socket_, &any) != 0 ||
            qnb_socket_set_nonblocking(relay_socket_, 0) != 0)
            return;
    }
    qnb_sockaddr to;
    qnb_sockaddr_set(&to, htonl(INADDR_LOOPBACK), rel.port);
    size_t n = length;
    if (qnb_socket_sendto(relay_socket_, packet, &n, &to) == 0) {
        ++relayed;
        relays_.push_back(rel);
    }
}

// A reply goes to the request relayed to that port with its sequence number, else to the
// oldest one relayed to that port (the client decides what a renumbered reply is worth).
bool fake_domain_server::drain_relay()
{
    if (relay_socket_ == QNB_SOCKET_INVALID)
        return false;
    bool any = false;
    for (;;) {
        std::vector<uint8_t> reply(1500);
        size_t n = reply.size();
        qnb_sockaddr from;
        if (qnb_socket_recvfrom(relay_socket_, reply.data(), &n, &from) != 0)
            break;
        any = true;
        reply.resize(n);
        uint16_t port = qnb_sockaddr_get_port(&from);
        uint16_t seqnum = n >= 6 ? wgcp_load_be16(&reply[4]) : 0;
        auto found = std::find_if(relays_.begin(), relays_.end(),
                                  [&](const relay &r) { return r.port == port && r.seqnum == seqnum; });
        if (found == relays_.end())
            found = std::find_if(relays_.begin(), relays_.end(), [&](const relay &r) { return r.port == port; });
        if (found == relays_.end())
            continue;
        relay rel = *found;
        relays_.erase(found);
        if (relay_edit)
            relay_edit(reply, rel.address);
        send_relay_answer(rel, 0, reply);
    }
    return any;
}

void fake_domain_server::send_relay_answer(const relay &rel, uint16_t status, const std::vector<uint8_t> &reply)
{
    tlv_view view;
    if (tlv_view_init(&view, rel.request.data(), rel.request.size()) != 0)
        return;
    uint8_t buffer[1600];
    tlv_builder b;
    tlv_record rec;
    uint8_t *body = nullptr;
    if (tlv_msg_begin_response(&b, buffer, sizeof buffer, &view) != 0 ||
        tlv_msg_add_response_u16(&b, &rec, TLV_RECORD_0x2004, rel.request_id) != 0 ||
        tlv_msg_set_second_u16(&rec, status) != 0)
        return;
    if (status == 0) {
        uint16_t offset = 0;
        if (tlv_msg_reserve_body(&rec, 12, &body) != 0 || reply.empty() ||
            !tlv_msg_add_bytes(&rec, reply.data(), reply.size(), &offset))
            return;
        wgcp_store_be16(body, uint16_t(reply.size()));
        wgcp_store_be16(body + 2, offset);
        wgcp_store_be32(body + 4, rel.address[0]);
        wgcp_store_be16(body + 8, uint16_t(rel.address[1]));
    }
    deliver(rel.client, b.data, b.position);
}

void fake_domain_server::deliver(uint16_t client, const uint8_t *data, size_t length)
{
    for (qnb_list_node *n = handler.clients.first; n; n = n->next) {
        domain_client *c = static_cast<domain_client *>(n->data);
        if (c->id == client && !c->delete_pending && c->channel) {
            tlv_channel_receive(c->channel, data, length);
            return;
        }
    }
}

void fake_domain_server::handle(const message &m)
{
    ++messages_received;
    tlv_view view;
    tlv_ids ids;
    if (tlv_view_init(&view, m.bytes.data(), m.bytes.size()) != 0 ||
        tlv_msg_parse_ids(view.data, view.length, &ids) != 0 || !view.head)
        return;
    wgcp_reader msg;
    wgcp_reader_init(&msg, view.data, view.length);
    size_t r = size_t(view.head - view.data);
    uint16_t seqnum = 0;
    wgcp_reader_u16_at(&msg, r + 8, &seqnum);
    if (ids.msg_class == TLV_CLASS_RESPONSE) {
        uint16_t status = 0;
        wgcp_reader_u16_at(&msg, r + 10, &status);
        result_statuses.push_back(status);
        return;
    }
    if (view.type == TLV_RECORD_0x2004) {
        handle_relay(m, view);
        return;
    }
    if (view.type == 0x2002 || (view.type >= 0x2010 && view.type <= 0x2012)) {
        conmon_requests.push_back(conmon_request{view.type, seqnum, m.bytes});
        if (answer_conmon)
            send_status(m.client, m.bytes, seqnum, conmon_status, view.type);
        return;
    }
    if (view.type == TLV_RECORD_DOMAIN_CANCEL) {
        uint32_t id = 0;
        wgcp_reader_u32_at(&msg, r + 12, &id);
        cancelled.push_back(id);
        for (auto it = open.begin(); it != open.end(); ++it) {
            if (it->request_id == id) {
                open.erase(it);
                break;
            }
        }
        return;
    }
    if (view.type != TLV_RECORD_DOMAIN_REQUEST)
        return;
    // Body behind the 4-byte value: id[16], u32 request id, u16 mode, u16 part flags, u16 name.
    open_request req{m.client, 0, 0, {}};
    uint16_t parts = 0;
    uint16_t name_offset = 0;
    wgcp_reader_u32_at(&msg, r + 28, &req.request_id);
    wgcp_reader_u16_at(&msg, r + 32, &req.mode);
    wgcp_reader_u16_at(&msg, r + 34, &parts);
    wgcp_reader_u16_at(&msg, r + 36, &name_offset);
    if ((parts & TLV_DOMAIN_REQUEST_NAME) && name_offset) {
        char name[TLV_NAME_SIZE] = {0};
        size_t length = 0;
        if (wgcp_reader_string_at(&msg, r + name_offset, name, sizeof name, &length) == 0)
            req.name = name;
    }
    if (req.name.empty()) {
        open.push_back(req);
        send_status(m.client, m.bytes, seqnum, 0);
        for (const fake_domain_device &d : devices)
            send_result(req, &d, false, d.name, false);
        return;
    }
    for (const fake_domain_device &d : devices) {
        if (d.name == req.name) {
            if (!lookups_final)
                open.push_back(req);
            send_status(m.client, m.bytes, seqnum, 0);
            send_result(req, &d, false, d.name, lookups_final);
            return;
        }
    }
    send_status(m.client, m.bytes, seqnum, lookup_failure_status);
}

void fake_domain_server::send_status(uint16_t client, const std::vector<uint8_t> &request, uint16_t seqnum,
                                     uint16_t status, uint16_t type)
{
    tlv_view view;
    if (tlv_view_init(&view, request.data(), request.size()) != 0)
        return;
    uint8_t buffer[TLV_CHANNEL_BUFFER_SIZE];
    tlv_builder b;
    tlv_record rec;
    if (tlv_msg_begin_response(&b, buffer, sizeof buffer, &view) != 0 ||
        tlv_msg_add_response_u16(&b, &rec, type, seqnum) != 0 ||
        tlv_msg_set_second_u16(&rec, status) != 0)
        return;
    deliver(client, b.data, b.position);
}

void fake_domain_server::send_result(const open_request &req, const fake_domain_device *d, bool withdrawn,
                                     const std::string &name, bool final)
{
    uint8_t buffer[TLV_CHANNEL_BUFFER_SIZE];
    tlv_builder b;
    tlv_record rec;
    uint8_t *body = nullptr;
    if (tlv_msg_begin(&b, buffer, sizeof buffer, TLV_OPTION_BYTES) != 0 ||
        tlv_msg_add_id_option(&b, TLV_OPTION_SEQUENCE, next_sequence_++, 0) != 0 ||
        tlv_msg_add_id_option(&b, TLV_OPTION_CLIENT, 0, 1) != 0 ||
        tlv_msg_add_request_u16(&b, &rec, TLV_RECORD_DOMAIN_RESULT, uint16_t(next_sequence_)) != 0 ||
        tlv_msg_reserve_body(&rec, 24, &body) != 0)
        return;
    memcpy(body, domain.id, DOMAIN_ID_SIZE);
    wgcp_store_be32(body + 16, req.request_id);
    uint16_t flags = final ? TLV_DOMAIN_RESULT_FINAL : 0;
    if (d || withdrawn) {
        flags |= TLV_DOMAIN_RESULT_DEVICE;
        uint16_t at = 0, name_at = 0;
        uint8_t *record = tlv_msg_add_zeroed(&rec, 8, &at);
        if (!record || !tlv_msg_add_text(&rec, name.c_str(), &name_at))
            return;
        wgcp_store_be16(record, name_at);
        wgcp_store_be16(body + 22, at);
        if (d) {
            uint16_t record_flags = 0;
            uint16_t info_at = 0;
            uint8_t *info = tlv_msg_add_zeroed(&rec, 20, &info_at);
            if (!info)
                return;
            uint16_t info_flags = 0;
            uint16_t model_at = 0;
            if (!d->model.empty() && tlv_msg_add_text(&rec, d->model.c_str(), &model_at)) {
                info_flags |= 1;
                wgcp_store_be16(info + 2, model_at);
            }
            if (d->has_address) {
                uint16_t id_at = 0;
                uint8_t *id = tlv_msg_add_zeroed(&rec, 6, &id_at);
                if (!id)
                    return;
                wgcp_store_be32(id, d->address[0]);
                wgcp_store_be16(id + 4, uint16_t(d->address[1]));
                wgcp_store_be16(info + 8, id_at);
                info_flags |= 8;
            }
            wgcp_store_be16(info, info_flags);
            record_flags |= 1;
            wgcp_store_be16(record + 4, info_at);
            if (!d->services.empty()) {
                uint16_t list_at = 0;
                size_t count = d->services.size();
                uint8_t *list = tlv_msg_add_zeroed(&rec, 4 + 2 * count, &list_at);
                if (!list)
                    return;
                wgcp_store_be16(list, uint16_t(count));
                for (size_t i = 0; i < count; ++i) {
                    const fake_domain_service &s = d->services[i];
                    uint16_t entry_at = 0, type_at = 0, data_at = 0;
                    uint8_t *entry = tlv_msg_add_zeroed(&rec, 12, &entry_at);
                    if (!entry || !tlv_msg_add_text(&rec, s.type.c_str(), &type_at))
                        return;
                    uint16_t service_flags = 1 | 4;
                    if (!s.txt.empty()) {
                        if (!tlv_msg_add_bytes(&rec, s.txt.data(), s.txt.size(), &data_at))
                            return;
                        service_flags |= 2;
                    }
                    wgcp_store_be16(entry, service_flags);
                    wgcp_store_be16(entry + 2, type_at);
                    wgcp_store_be16(entry + 4, data_at);
                    wgcp_store_be16(entry + 6, uint16_t(s.txt.size()));
                    wgcp_store_be16(entry + 8, s.port);
                    wgcp_store_be16(list + 4 + 2 * i, entry_at);
                }
                record_flags |= 2;
                wgcp_store_be16(record + 6, list_at);
            }
            wgcp_store_be16(record + 2, record_flags);
        }
    }
    wgcp_store_be16(body + 20, flags);
    deliver(req.client, b.data, b.position);
}

void fake_domain_server::publish(const fake_domain_device &device)
{
    bool replaced = false;
    for (fake_domain_device &d : devices) {
        if (d.name == device.name) {
            d = device;
            replaced = true;
        }
    }
    if (!replaced)
        devices.push_back(device);
    std::vector<open_request> browses;
    for (const open_request &r : open)
        if (r.name.empty())
            browses.push_back(r);
    for (const open_request &r : browses)
        send_result(r, &device, false, device.name, false);
}

void fake_domain_server::withdraw(const std::string &name)
{
    for (auto it = devices.begin(); it != devices.end(); ++it) {
        if (it->name == name) {
            devices.erase(it);
            break;
        }
    }
    std::vector<open_request> browses;
    for (const open_request &r : open)
        if (r.name.empty())
            browses.push_back(r);
    for (const open_request &r : browses)
        send_result(r, nullptr, true, name, false);
}

void fake_domain_server::finish(uint32_t request_id)
{
    for (auto it = open.begin(); it != open.end(); ++it) {
        if (it->request_id == request_id) {
            open_request r = *it;
            open.erase(it);
            send_result(r, nullptr, false, std::string(), true);
            return;
        }
    }
}
