#include "testnet/tn_udp_peer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

qnb_error tn_udp_peer_open(tn_udp_peer *peer, uint16_t port)
{
    if (!peer)
        return QNB_ERR_INVALIDPARAMETER;
    memset(peer, 0, sizeof *peer);
    peer->sock = QNB_SOCKET_INVALID;
    qnb_sockaddr address;
    qnb_sockaddr_set(&address, htonl(INADDR_LOOPBACK), port);
    qnb_sockaddr bound;
    qnb_error err;
    if ((err = qnb_socket_open_udp(&peer->sock, AF_INET)) || (err = qnb_socket_bind(peer->sock, &address)) ||
        (err = qnb_socket_set_nonblocking(peer->sock, 0)) || (err = qnb_socket_get_name(peer->sock, &bound))) {
        qnb_socket_close(&peer->sock);
        return err;
    }
    peer->port = qnb_sockaddr_get_port(&bound);
    return QNB_ERR_SUCCESS;
}

void tn_udp_peer_close(tn_udp_peer *peer)
{
    if (peer)
        qnb_socket_close(&peer->sock);
}

qnb_error tn_udp_peer_send(tn_udp_peer *peer, const void *data, size_t size, uint16_t port)
{
    if (!peer)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_sockaddr to;
    qnb_sockaddr_set(&to, htonl(INADDR_LOOPBACK), port);
    size_t n = size;
    return qnb_socket_sendto(peer->sock, data, &n, &to);
}

qnb_error tn_udp_peer_reply(tn_udp_peer *peer, const void *data, size_t size)
{
    if (!peer)
        return QNB_ERR_INVALIDPARAMETER;
    size_t n = size;
    return qnb_socket_sendto(peer->sock, data, &n, &peer->last_source);
}

bool tn_wait_readable(qnb_socket sock, int timeout_ms)
{
    struct pollfd p;
    p.fd = sock;
    p.events = POLLIN;
    p.revents = 0;
    int n;
    do {
        n = poll(&p, 1, timeout_ms);
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

qnb_error tn_udp_peer_receive(tn_udp_peer *peer, void *buffer, size_t *size, int timeout_ms)
{
    if (!peer || !size)
        return QNB_ERR_INVALIDPARAMETER;
    if (!tn_wait_readable(peer->sock, timeout_ms))
        return QNB_ERR_TIMEDOUT;
    return qnb_socket_recvfrom(peer->sock, buffer, size, &peer->last_source);
}

unsigned tn_udp_peer_drain(tn_udp_peer *peer)
{
    unsigned n = 0;
    for (;;) {
        unsigned char buffer[2048];
        size_t size = sizeof buffer;
        qnb_error err = qnb_socket_recvfrom(peer->sock, buffer, &size, &peer->last_source);
        if (err && err != QNB_ERR_MSGSIZE)
            return n; // nothing more (or nothing readable at all)
        ++n;
    }
}

unsigned tn_datagrams_waiting(qnb_socket sock, unsigned limit)
{
    // Each peek at a moving offset skips the datagrams peeked before; the offset is off again
    // afterwards, so the owner's reads start at the first datagram as ever.
    int offset = 0;
    if (setsockopt(sock, SOL_SOCKET, SO_PEEK_OFF, &offset, sizeof offset) != 0)
        return 0;
    unsigned n = 0;
    std::vector<unsigned char> buffer(65536); // a whole datagram, so that the offset passes it
    while (n < limit && recv(sock, buffer.data(), buffer.size(), MSG_PEEK | MSG_DONTWAIT) >= 0)
        ++n;
    offset = -1;
    setsockopt(sock, SOL_SOCKET, SO_PEEK_OFF, &offset, sizeof offset);
    return n;
}
