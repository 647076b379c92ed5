#include "netaudio/platform/qnb_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_interface.h"

namespace {

const socklen_t kSinLength = sizeof(struct sockaddr_in);

// Size of the control buffer a receive with packet information asks for.
const size_t kControlSize = 1024;

// Checks a record that an operation is about to hand to the system: it must be set and IPv4.
qnb_error check_ipv4(const qnb_sockaddr *record)
{
    if (!record || record->length == 0 || record->sin.sin_family == 0)
        return QNB_ERR_INVALIDPARAMETER;
    if (record->sin.sin_family != AF_INET)
        return QNB_ERR_NOTSUPPORTED;
    return QNB_ERR_SUCCESS;
}

// Binds or connects (`call`) a socket to an IPv4 address.
qnb_error attach_ipv4(qnb_socket sock, const qnb_sockaddr *address,
                      int (*call)(int, const struct sockaddr *, socklen_t))
{
    if (sock == QNB_SOCKET_INVALID)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_error err = check_ipv4(address);
    if (err)
        return err;
    if (call(sock, reinterpret_cast<const struct sockaddr *>(&address->sin), kSinLength) != 0)
        return qnb_error_last();
    return QNB_ERR_SUCCESS;
}

qnb_error check_family(int family)
{
    if (family == 0)
        return QNB_ERR_INVALIDPARAMETER;
    if (family != AF_INET)
        return QNB_ERR_NOTSUPPORTED;
    return QNB_ERR_SUCCESS;
}

void store_sin(qnb_sockaddr *record, const struct sockaddr_in &sin)
{
    memset(record, 0, sizeof *record);
    record->sin.sin_family = AF_INET;
    record->sin.sin_port = sin.sin_port;
    record->sin.sin_addr = sin.sin_addr;
    record->length = sizeof(struct sockaddr_in);
}

// The IPv4 address an operation on `iface` uses: its first unicast address, or INADDR_ANY when no
// interface is given or it has none.
struct in_addr interface_address(const qnb_interface *iface)
{
    struct in_addr address;
    address.s_addr = htonl(INADDR_ANY);
    if (iface && iface->address.sin.sin_family == AF_INET)
        address = iface->address.sin.sin_addr;
    return address;
}

qnb_error set_int_option(qnb_socket sock, int level, int name, int value)
{
    if (sock == QNB_SOCKET_INVALID)
        return QNB_ERR_INVALIDPARAMETER;
    int on = value == 1 ? 1 : 0;
    if (setsockopt(sock, level, name, &on, sizeof on) != 0)
        return qnb_error_last();
    return QNB_ERR_SUCCESS;
}

qnb_error change_membership(qnb_socket sock, const qnb_sockaddr *group, const qnb_interface *iface,
                            int option)
{
    if (sock == QNB_SOCKET_INVALID || !qnb_sockaddr_is_multicast(group))
        return QNB_ERR_INVALIDPARAMETER;
    struct ip_mreq request;
    memset(&request, 0, sizeof request);
    request.imr_multiaddr = group->sin.sin_addr;
    request.imr_interface = interface_address(iface);
    if (setsockopt(sock, IPPROTO_IP, option, &request, sizeof request) != 0)
        return qnb_error_last();
    return QNB_ERR_SUCCESS;
}

// Receives one datagram. A datagram larger than the buffer is reported as QNB_ERR_MSGSIZE instead
// of being delivered cut short (the system drops the rest either way).
qnb_error receive(qnb_socket sock, void *buffer, size_t *size, struct msghdr *message, size_t *received)
{
    struct iovec chunk;
    chunk.iov_base = buffer;
    chunk.iov_len = *size;
    message->msg_iov = &chunk;
    message->msg_iovlen = 1;
    message->msg_flags = 0;
    ssize_t n = recvmsg(sock, message, 0);
    if (n < 0)
        return qnb_error_last();
    if (message->msg_flags & MSG_TRUNC)
        return QNB_ERR_MSGSIZE;
    *received = (size_t)n;
    return QNB_ERR_SUCCESS;
}

} // namespace

// ---- addresses ----

qnb_error qnb_inet_aton(const char *text, uint32_t *out)
{
    if (!text || !out)
        return QNB_ERR_INVALIDPARAMETER;
    // inet_addr cannot tell the broadcast address from its own failure value.
    if (strcmp(text, "255.255.255.255") == 0) {
        *out = 0xFFFFFFFFu;
        return QNB_ERR_SUCCESS;
    }
    in_addr_t address = inet_addr(text);
    if (address == INADDR_NONE)
        return QNB_ERR_INVALIDPARAMETER;
    *out = address;
    return QNB_ERR_SUCCESS;
}

char *qnb_inet_ntoa(uint32_t address, char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return nullptr;
    const uint8_t *b = reinterpret_cast<const uint8_t *>(&address);
    int n = snprintf(buffer, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    if (n < 0 || (size_t)n >= size) {
        buffer[0] = '\0';
        return nullptr;
    }
    return buffer;
}

bool qnb_inaddr_is_multicast(uint32_t address)
{
    return (ntohl(address) & 0xF0000000u) == 0xE0000000u;
}

qnb_error qnb_sockaddr_set(qnb_sockaddr *record, uint32_t address, uint16_t port)
{
    if (!record)
        return QNB_ERR_INVALIDPARAMETER;
    memset(record, 0, sizeof *record);
    record->length = sizeof(struct sockaddr_in);
    record->sin.sin_family = AF_INET;
    record->sin.sin_port = htons(port);
    record->sin.sin_addr.s_addr = address;
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_sockaddr_set_inaddr(qnb_sockaddr *record, const struct in_addr *address, uint16_t port)
{
    if (!address)
        return QNB_ERR_INVALIDPARAMETER;
    return qnb_sockaddr_set(record, address->s_addr, port);
}

qnb_error qnb_sockaddr_from_text(qnb_sockaddr *record, int family, const char *text, uint16_t port)
{
    if (!record)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_error err = check_family(family);
    if (err)
        return err;
    uint32_t address = 0;
    err = qnb_inet_aton(text, &address);
    if (err)
        return err;
    return qnb_sockaddr_set(record, address, port);
}

qnb_error qnb_sockaddr_set_any(qnb_sockaddr *record, int family, uint16_t port)
{
    if (!record)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_error err = check_family(family);
    if (err)
        return err;
    return qnb_sockaddr_set(record, htonl(INADDR_ANY), port);
}

void qnb_sockaddr_clear(qnb_sockaddr *record)
{
    if (record)
        memset(record, 0, sizeof *record);
}

bool qnb_sockaddr_is_empty(const qnb_sockaddr *record)
{
    return !record || record->length == 0 || record->sin.sin_family == 0;
}

bool qnb_sockaddr_is_multicast(const qnb_sockaddr *record)
{
    return record && record->sin.sin_family == AF_INET && qnb_inaddr_is_multicast(record->sin.sin_addr.s_addr);
}

uint16_t qnb_sockaddr_get_port(const qnb_sockaddr *record)
{
    if (!record || record->sin.sin_family != AF_INET)
        return 0;
    return ntohs(record->sin.sin_port);
}

qnb_error qnb_sockaddr_set_port(qnb_sockaddr *record, uint16_t port)
{
    if (!record)
        return QNB_ERR_INVALIDPARAMETER;
    if (record->sin.sin_family != AF_INET)
        return QNB_ERR_AFNOSUPPORT;
    record->sin.sin_port = htons(port);
    return QNB_ERR_SUCCESS;
}

bool qnb_sockaddr_equal(const qnb_sockaddr *a, const qnb_sockaddr *b)
{
    if (qnb_sockaddr_is_empty(a) || qnb_sockaddr_is_empty(b))
        return false;
    // The length byte comes from the record's owner: never compare past the address itself.
    size_t n = a->length < sizeof a->sin ? a->length : sizeof a->sin;
    return memcmp(&a->sin, &b->sin, n) == 0;
}

bool qnb_sockaddr_host_equal(const qnb_sockaddr *a, const qnb_sockaddr *b)
{
    return a && b && a->sin.sin_family == AF_INET && b->sin.sin_family == AF_INET &&
           a->sin.sin_addr.s_addr == b->sin.sin_addr.s_addr;
}

char *qnb_sockaddr_to_text(const qnb_sockaddr *record, char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return buffer;
    buffer[0] = '\0';
    if (!record || record->sin.sin_family != AF_INET)
        return buffer;
    const uint8_t *b = reinterpret_cast<const uint8_t *>(&record->sin.sin_addr.s_addr);
    snprintf(buffer, size, "%u.%u.%u.%u:%u (len=%u)", b[0], b[1], b[2], b[3],
             (unsigned)ntohs(record->sin.sin_port), (unsigned)record->length);
    return buffer;
}

char *qnb_sockaddr_to_host_text(const qnb_sockaddr *record, char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return buffer;
    buffer[0] = '\0';
    if (!record || record->sin.sin_family != AF_INET)
        return buffer;
    const uint8_t *b = reinterpret_cast<const uint8_t *>(&record->sin.sin_addr.s_addr);
    snprintf(buffer, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return buffer;
}

// ---- sockets ----

qnb_error qnb_socket_open_udp(qnb_socket *sock, int family)
{
    if (!sock || *sock != QNB_SOCKET_INVALID)
        return QNB_ERR_INVALIDPARAMETER;
    // An unconnected UDP socket on this platform never reports ICMP errors on later receives, so
    // there is nothing to switch off here.
    int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0)
        return qnb_error_last();
    *sock = fd;
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_socket_connect(qnb_socket sock, const qnb_sockaddr *address)
{
    // Once connected, an ICMP port-unreachable from the peer fails the next receive with
    // ECONNREFUSED, which the errno map reports as QNB_ERR_CONNRESET.
    return attach_ipv4(sock, address, connect);
}

qnb_error qnb_socket_open_connected(qnb_socket *sock, const qnb_sockaddr *address)
{
    if (!sock)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_error err = check_ipv4(address);
    if (err)
        return err;
    err = qnb_socket_open_udp(sock, address->sin.sin_family);
    if (err)
        return err;
    err = qnb_socket_connect(*sock, address);
    if (err)
        qnb_socket_close(sock);
    return err;
}

qnb_error qnb_socket_bind(qnb_socket sock, const qnb_sockaddr *address)
{
    return attach_ipv4(sock, address, bind);
}

qnb_error qnb_socket_get_name(qnb_socket sock, qnb_sockaddr *address)
{
    if (sock == QNB_SOCKET_INVALID || !address)
        return QNB_ERR_INVALIDPARAMETER;
    struct sockaddr_storage name;
    socklen_t length = sizeof name;
    memset(&name, 0, sizeof name);
    if (getsockname(sock, reinterpret_cast<struct sockaddr *>(&name), &length) != 0)
        return qnb_error_last();
    if (name.ss_family != AF_INET)
        return QNB_ERR_NOTSUPPORTED;
    struct sockaddr_in sin;
    memcpy(&sin, &name, sizeof sin);
    store_sin(address, sin);
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_socket_close(qnb_socket *sock)
{
    if (!sock)
        return QNB_ERR_INVALIDPARAMETER;
    if (*sock != QNB_SOCKET_INVALID) {
        close(*sock);
        *sock = QNB_SOCKET_INVALID;
    }
    return QNB_ERR_SUCCESS;
}

bool qnb_socket_is_valid(qnb_socket sock)
{
    return sock != QNB_SOCKET_INVALID;
}

qnb_error qnb_socket_send(qnb_socket sock, const void *data, size_t *length)
{
    if (sock == QNB_SOCKET_INVALID || !length || (!data && *length != 0))
        return QNB_ERR_INVALIDPARAMETER;
    ssize_t n = send(sock, data, *length, MSG_NOSIGNAL);
    if (n < 0)
        return qnb_error_last();
    *length = (size_t)n;
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_socket_sendto(qnb_socket sock, const void *data, size_t *length, const qnb_sockaddr *address)
{
    if (sock == QNB_SOCKET_INVALID || !length || (!data && *length != 0))
        return QNB_ERR_INVALIDPARAMETER;
    qnb_error err = check_ipv4(address);
    if (err)
        return err;
    ssize_t n = sendto(sock, data, *length, MSG_NOSIGNAL,
                       reinterpret_cast<const struct sockaddr *>(&address->sin), kSinLength);
    if (n < 0)
        return qnb_error_last();
    *length = (size_t)n;
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_socket_recv(qnb_socket sock, void *buffer, size_t *size)
{
    return qnb_socket_recvfrom(sock, buffer, size, nullptr);
}

qnb_error qnb_socket_recvfrom(qnb_socket sock, void *buffer, size_t *size, qnb_sockaddr *address)
{
    if (sock == QNB_SOCKET_INVALID || !size || (!buffer && *size != 0))
        return QNB_ERR_INVALIDPARAMETER;
    struct sockaddr_storage source;
    memset(&source, 0, sizeof source);
    struct msghdr message;
    memset(&message, 0, sizeof message);
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    size_t received = 0;
    qnb_error err = receive(sock, buffer, size, &message, &received);
    if (err)
        return err;
    if (address) {
        if (source.ss_family == AF_INET) {
            struct sockaddr_in sin;
            memcpy(&sin, &source, sizeof sin);
            store_sin(address, sin);
        } else {
            qnb_sockaddr_clear(address);
        }
    }
    *size = received;
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_socket_recvmsg(qnb_socket sock, void *buffer, size_t *size, qnb_recv_options *options)
{
    if (sock == QNB_SOCKET_INVALID || !size || !options || (!buffer && *size != 0))
        return QNB_ERR_INVALIDPARAMETER;
    if (!qnb_platform_recvmsg_ready())
        return QNB_ERR_NOTINITIALISED;

    uint32_t wanted = options->flags;
    struct sockaddr_storage source;
    memset(&source, 0, sizeof source);
    // Aligned for the control-message headers that the system writes into it.
    alignas(struct cmsghdr) unsigned char control[kControlSize];
    memset(control, 0, sizeof control);
    struct msghdr message;
    memset(&message, 0, sizeof message);
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    size_t received = 0;
    qnb_error err = receive(sock, buffer, size, &message, &received);
    if (err)
        return err;

    uint32_t delivered = 0;
    if ((wanted & QNB_RECV_SOURCE) && source.ss_family == AF_INET) {
        struct sockaddr_in sin;
        memcpy(&sin, &source, sizeof sin);
        store_sin(&options->source, sin);
        delivered |= QNB_RECV_SOURCE;
    }

    // CMSG_NXTHDR stops at the control length the system reported.
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO ||
            c->cmsg_len < CMSG_LEN(sizeof(struct in_pktinfo)))
            continue;
        struct in_pktinfo info;
        memcpy(&info, CMSG_DATA(c), sizeof info);
        if (wanted & QNB_RECV_DESTINATION) {
            qnb_sockaddr own;
            if (qnb_socket_get_name(sock, &own) == QNB_ERR_SUCCESS) {
                qnb_sockaddr_set(&options->destination, info.ipi_addr.s_addr, qnb_sockaddr_get_port(&own));
                delivered |= QNB_RECV_DESTINATION;
            }
        }
        if (wanted & QNB_RECV_INTERFACE) {
            options->interface_index = (uint32_t)info.ipi_ifindex;
            delivered |= QNB_RECV_INTERFACE;
        }
    }
    options->flags = delivered;
    *size = received;
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_socket_set_nonblocking(qnb_socket sock, int blocking)
{
    if (sock == QNB_SOCKET_INVALID)
        return QNB_ERR_INVALIDPARAMETER;
    int flags = fcntl(sock, F_GETFL, 0);
    if (flags < 0)
        return qnb_error_last();
    flags = blocking == 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (fcntl(sock, F_SETFL, flags) != 0)
        return qnb_error_last();
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_socket_join_group(qnb_socket sock, const qnb_sockaddr *group, const qnb_interface *iface)
{
    return change_membership(sock, group, iface, IP_ADD_MEMBERSHIP);
}

qnb_error qnb_socket_leave_group(qnb_socket sock, const qnb_sockaddr *group, const qnb_interface *iface)
{
    return change_membership(sock, group, iface, IP_DROP_MEMBERSHIP);
}

qnb_error qnb_socket_set_multicast_interface(qnb_socket sock, const qnb_interface *iface)
{
    if (sock == QNB_SOCKET_INVALID)
        return QNB_ERR_INVALIDPARAMETER;
    // INADDR_ANY clears the option: the system picks the interface by its routes again.
    struct in_addr address = interface_address(iface);
    if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof address) != 0)
        return qnb_error_last();
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_socket_set_multicast_loop(qnb_socket sock, int value)
{
    return set_int_option(sock, IPPROTO_IP, IP_MULTICAST_LOOP, value);
}

qnb_error qnb_socket_set_pktinfo(qnb_socket sock, int value)
{
    return set_int_option(sock, IPPROTO_IP, IP_PKTINFO, value);
}

qnb_error qnb_socket_set_reuse_address(qnb_socket sock, int value)
{
    return set_int_option(sock, SOL_SOCKET, SO_REUSEADDR, value);
}

qnb_error qnb_socket_set_reuse_port(qnb_socket sock, int value)
{
    (void)sock;
    (void)value;
    return QNB_ERR_NOTSUPPORTED;
}
