// The library's thin layer over BSD sockets: its IPv4 address record, UDP sockets, multicast
// membership, and a receive that also yields the packet's destination address and arrival
// interface. Every operation returns 0 or a library error; a socket of -1 means "no socket" and
// every operation given -1 returns QNB_ERR_INVALIDPARAMETER.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "netaudio/platform/qnb_error.h"

struct qnb_interface;

typedef int qnb_socket;
enum { QNB_SOCKET_INVALID = -1 };

// An IPv4 socket address. `length` is 16 for a set address; 0, or a family of 0, means empty.
struct qnb_sockaddr {
    uint8_t length;
    struct sockaddr_in sin; // family, port and address in network order
};

enum { QNB_SOCKADDR_TEXT_SIZE = 40 };

// Receive options of qnb_socket_recvmsg: `flags` names the wanted items on entry and the delivered
// ones on return.
enum {
    QNB_RECV_SOURCE = 1,
    QNB_RECV_DESTINATION = 2,
    QNB_RECV_INTERFACE = 8
};
struct qnb_recv_options {
    uint32_t flags;
    qnb_sockaddr source;
    qnb_sockaddr destination;
    uint32_t interface_index; // the arrival interface's index
};

// Addresses. `address` values are IPv4 addresses in network order.
qnb_error qnb_inet_aton(const char *text, uint32_t *out);
char *qnb_inet_ntoa(uint32_t address, char *buffer, size_t size);
bool qnb_inaddr_is_multicast(uint32_t address);
qnb_error qnb_sockaddr_set(qnb_sockaddr *record, uint32_t address, uint16_t port);
qnb_error qnb_sockaddr_set_inaddr(qnb_sockaddr *record, const struct in_addr *address, uint16_t port);
qnb_error qnb_sockaddr_from_text(qnb_sockaddr *record, int family, const char *text, uint16_t port);
qnb_error qnb_sockaddr_set_any(qnb_sockaddr *record, int family, uint16_t port);
void qnb_sockaddr_clear(qnb_sockaddr *record);
bool qnb_sockaddr_is_empty(const qnb_sockaddr *record);
bool qnb_sockaddr_is_multicast(const qnb_sockaddr *record);
uint16_t qnb_sockaddr_get_port(const qnb_sockaddr *record);
qnb_error qnb_sockaddr_set_port(qnb_sockaddr *record, uint16_t port);
bool qnb_sockaddr_equal(const qnb_sockaddr *a, const qnb_sockaddr *b);
bool qnb_sockaddr_host_equal(const qnb_sockaddr *a, const qnb_sockaddr *b);
// "a.b.c.d:port (len=n)"; empty for other families.
char *qnb_sockaddr_to_text(const qnb_sockaddr *record, char *buffer, size_t size);
// "a.b.c.d"; empty for other families.
char *qnb_sockaddr_to_host_text(const qnb_sockaddr *record, char *buffer, size_t size);

// Sockets.
qnb_error qnb_socket_open_udp(qnb_socket *sock, int family);
qnb_error qnb_socket_connect(qnb_socket sock, const qnb_sockaddr *address);
qnb_error qnb_socket_open_connected(qnb_socket *sock, const qnb_sockaddr *address);
qnb_error qnb_socket_bind(qnb_socket sock, const qnb_sockaddr *address);
qnb_error qnb_socket_get_name(qnb_socket sock, qnb_sockaddr *address);
qnb_error qnb_socket_close(qnb_socket *sock);
bool qnb_socket_is_valid(qnb_socket sock);
qnb_error qnb_socket_send(qnb_socket sock, const void *data, size_t *length);
qnb_error qnb_socket_sendto(qnb_socket sock, const void *data, size_t *length, const qnb_sockaddr *address);
qnb_error qnb_socket_recv(qnb_socket sock, void *buffer, size_t *size);
qnb_error qnb_socket_recvfrom(qnb_socket sock, void *buffer, size_t *size, qnb_sockaddr *address);
qnb_error qnb_socket_recvmsg(qnb_socket sock, void *buffer, size_t *size, qnb_recv_options *options);
qnb_error qnb_socket_set_nonblocking(qnb_socket sock, int blocking);
qnb_error qnb_socket_join_group(qnb_socket sock, const qnb_sockaddr *group, const qnb_interface *iface);
qnb_error qnb_socket_leave_group(qnb_socket sock, const qnb_sockaddr *group, const qnb_interface *iface);
qnb_error qnb_socket_set_multicast_interface(qnb_socket sock, const qnb_interface *iface);
qnb_error qnb_socket_set_multicast_loop(qnb_socket sock, int value);
qnb_error qnb_socket_set_pktinfo(qnb_socket sock, int value);
qnb_error qnb_socket_set_reuse_address(qnb_socket sock, int value);
qnb_error qnb_socket_set_reuse_port(qnb_socket sock, int value);
