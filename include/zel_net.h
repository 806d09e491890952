// The socket layer: plain records and free functions over the operating system's TCP sockets.
// It moves bytes only; it knows nothing of wire frames or messages. Every failure returns -1 and
// leaves a short English text readable through zel_net_get_last_error() on the calling thread.
#ifndef VANTREL_ZEL_NET_H
#define VANTREL_ZEL_NET_H

#include "VantrelExport.h"

enum { ZEL_NET_BUFFER_SIZE = 2048, ZEL_NET_SET_SIZE = 32 };

/// One socket. `buffer`, `buffered` and `packet_size` serve the packet mode only.
typedef struct zel_net_socket_t {
  int descriptor;    // -1 while closed
  int is_ready;      // set by zel_net_check_socket_set when readable, cleared by every read
  int is_listening;  // opened without a host; refuses to send and to receive
  int buffered;      // packet mode: bytes held in `buffer`
  int packet_size;   // packet mode: payload size of the packet being received, -1 before its header
  unsigned char buffer[ZEL_NET_BUFFER_SIZE];
  float receive_timeout;  // set on the descriptor by zel_net_recv_within, seconds; < 0 while none
} zel_net_socket_t;

/// Up to 32 sockets waited on together; a null slot is free. The set does not own the sockets.
typedef struct zel_net_set_t {
  zel_net_socket_t* slots[ZEL_NET_SET_SIZE];
} zel_net_set_t;

VANTREL_API int zel_net_init(void);
VANTREL_API void zel_net_shutdown(void);
VANTREL_API const char* zel_net_get_last_error(void);
/// Records a failure noticed above the layer (an orderly close seen by the framing) as the calling
/// thread's last error. The text is kept by pointer, so it must be a constant text that outlives
/// its reading (a string literal); a null text records the empty text.
VANTREL_API void zel_net_set_last_error(const char* text);

VANTREL_API void zel_net_reset_socket(zel_net_socket_t* socket);
VANTREL_API int zel_net_is_socket_valid(zel_net_socket_t* socket);
/// Connects to `host` (a name or dotted address) on `service` (a decimal port or a service name),
/// IPv4 only. A null host opens a listening socket on `service` on every local address, exactly as
/// zel_net_open_listening_socket(socket, NULL, service).
VANTREL_API int zel_net_open_socket(zel_net_socket_t* socket, const char* host,
                                    const char* service);
/// Opens a listening socket (SO_REUSEADDR, backlog 2) bound to `host`, e.g. "127.0.0.1" for
/// loopback only, or to every local address when `host` is null. A service of "0" binds a free
/// port chosen by the system; zel_net_get_local_port tells which.
VANTREL_API int zel_net_open_listening_socket(zel_net_socket_t* socket, const char* host,
                                              const char* service);
/// The local port the socket is bound to, or -1 when it is closed or the system cannot tell.
/// Leaves the last-error text unchanged.
VANTREL_API int zel_net_get_local_port(zel_net_socket_t* socket);
VANTREL_API void zel_net_close_socket(zel_net_socket_t* socket);
VANTREL_API int zel_net_accept_socket(zel_net_socket_t* listening, zel_net_socket_t* client);

VANTREL_API int zel_net_send(zel_net_socket_t* socket, const void* data, int length);
VANTREL_API int zel_net_recv(zel_net_socket_t* socket, void* data, int size);

enum { ZEL_NET_TIMED_OUT = -2, ZEL_NET_WAIT_FAILED = -3 };
/// Waits up to `timeout` seconds for data and reads at most `size` bytes, in one blocking recv()
/// whose receive time-out is the wait's, so that a frame loop costs one system call per read rather
/// than a poll() and a recv(). The descriptor keeps the time-out between calls; it is set again
/// only when it changes. A signal resumes the wait for the time that is left. Returns the bytes
/// received, 0 when the peer closed the connection, ZEL_NET_TIMED_OUT when nothing came in time,
/// ZEL_NET_WAIT_FAILED ("Error on select()") for a time-out that is negative, not a number or
/// beyond a 32-bit number of seconds, or -1 with the texts of zel_net_recv.
VANTREL_API int zel_net_recv_within(zel_net_socket_t* socket, void* data, int size, float timeout);

VANTREL_API void zel_net_init_socket_set(zel_net_set_t* set);
VANTREL_API int zel_net_add_socket_to_set(zel_net_socket_t* socket, zel_net_set_t* set);
VANTREL_API int zel_net_remove_socket_from_set(zel_net_socket_t* socket, zel_net_set_t* set);
/// Waits up to `timeout` seconds (0 only polls) until a socket of the set is readable, marks the
/// readable ones with `is_ready` and returns how many descriptors are readable; 0 on time-out and
/// at once for a set without open sockets. A closed connection or a socket error counts as
/// readable, so that the next read reports it. Signals do not cut the wait short.
VANTREL_API int zel_net_check_socket_set(zel_net_set_t* set, float timeout);

/// Packet mode: a 2-byte big-endian unsigned size header followed by at most 2048 payload bytes.
/// A refill reads only when `is_ready` is set (after a wait reported the socket readable) and
/// returns 0 without reading otherwise; a header above 2048 closes the socket.
VANTREL_API int zel_net_refill_packet_data(zel_net_socket_t* socket);
VANTREL_API int zel_net_receive_packet(zel_net_socket_t* socket);
VANTREL_API void zel_net_drop_packet(zel_net_socket_t* socket);

#endif
