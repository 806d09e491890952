// The socket layer over POSIX TCP sockets. Nothing here allocates: a socket carries its packet
// buffer inside its record, a set is a fixed array, and the wait builds its poll list on the stack.
#include "zel_net.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

// The last failure of the calling thread: one of the constant texts below, or one recorded by
// the layer above through zel_net_set_last_error.
thread_local const char* zel_net__error_message = "";

int fail(const char* text) {
  zel_net__error_message = text;
  return -1;
}

bool is_closed(const zel_net_socket_t* socket) { return socket->descriptor == -1; }

// Resolves IPv4 stream addresses for (host, service); `flags` is 0 or AI_PASSIVE.
bool resolve(const char* host, const char* service, int flags, addrinfo** addresses) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = 0;
  hints.ai_flags = flags;
  return getaddrinfo(host, service, &hints, addresses) == 0;
}

int connect_to_host(zel_net_socket_t* socket, const char* host, const char* service) {
  addrinfo* addresses = nullptr;
  if (!resolve(host, service, 0, &addresses)) return fail("Cannot resolve hostname");

  for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
    const int descriptor = ::socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (descriptor == -1) continue;
    if (::connect(descriptor, address->ai_addr, address->ai_addrlen) == -1) {
      ::close(descriptor);
      continue;
    }
    freeaddrinfo(addresses);
    socket->descriptor = descriptor;
    return 0;
  }
  freeaddrinfo(addresses);
  return fail("Cannot connect to host");
}

// A time-out in seconds, converted as whole seconds plus microseconds the way a select() time-out
// would be, into the total number of microseconds to wait. False for a negative, not-a-number or
// out-of-range time-out.
bool timeout_to_microseconds(float timeout, std::int64_t* microseconds) {
  // 2^31 is the first float beyond the range of a 32-bit integer.
  if (!(timeout >= 0.0f) || !(timeout < 2147483648.0f)) return false;
  const std::int32_t seconds = static_cast<std::int32_t>(timeout);
  const float fraction = (timeout - static_cast<float>(seconds)) * 1000000.0f;
  const std::int32_t rest = static_cast<std::int32_t>(fraction);
  *microseconds = static_cast<std::int64_t>(seconds) * 1000000 + rest;
  return true;
}

// poll() takes whole milliseconds as an int: round up so that no wait ends before its time, and
// cap it so that a long wait is spent in several polls.
int poll_milliseconds(std::int64_t microseconds) {
  if (microseconds <= 0) return 0;
  const std::int64_t milliseconds = (microseconds + 999) / 1000;
  return milliseconds > INT_MAX ? INT_MAX : static_cast<int>(milliseconds);
}

// Waits until one of `entries` is readable, resuming after signals for the time that is left.
// Returns poll()'s result: the number of entries with events, 0 on time-out, -1 on failure.
int poll_until(pollfd* entries, nfds_t count, std::int64_t microseconds) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::microseconds(microseconds);
  std::int64_t remaining = microseconds;
  for (;;) {
    const int result = poll(entries, count, poll_milliseconds(remaining));
    if (result > 0) return result;
    if (result == -1 && errno != EINTR) return -1;
    remaining =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    if (result == 0 && remaining <= 0) return 0;
    // Interrupted, or a wait longer than one poll can take: go on for the time that is left
    // (a last poll with no time-out once it has run out).
  }
}

const short kReadableEvents = POLLIN | POLLHUP | POLLERR;

}  // namespace

int zel_net_init(void) { return 0; }

void zel_net_shutdown(void) {}

const char* zel_net_get_last_error(void) { return zel_net__error_message; }

void zel_net_set_last_error(const char* text) {
  zel_net__error_message = text != nullptr ? text : "";
}

void zel_net_reset_socket(zel_net_socket_t* socket) {
  socket->descriptor = -1;
  socket->is_ready = 0;
  socket->is_listening = 0;
  socket->buffered = 0;
  socket->packet_size = -1;
  socket->receive_timeout = -1.0f;
}

int zel_net_is_socket_valid(zel_net_socket_t* socket) { return is_closed(socket) ? 0 : 1; }

int zel_net_open_socket(zel_net_socket_t* socket, const char* host, const char* service) {
  if (host == nullptr) return zel_net_open_listening_socket(socket, nullptr, service);
  zel_net_reset_socket(socket);
  return connect_to_host(socket, host, service);
}

int zel_net_open_listening_socket(zel_net_socket_t* socket, const char* host, const char* service) {
  zel_net_reset_socket(socket);
  addrinfo* addresses = nullptr;
  if (!resolve(host, service, AI_PASSIVE, &addresses)) return fail("Cannot resolve hostname");

  const addrinfo* address = addresses;
  const int descriptor = ::socket(address->ai_family, address->ai_socktype, address->ai_protocol);
  if (descriptor == -1) {
    freeaddrinfo(addresses);
    return fail("Could not create socket");
  }
  const int reuse = 1;
  setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  const int bound = ::bind(descriptor, address->ai_addr, address->ai_addrlen);
  freeaddrinfo(addresses);
  if (bound == -1) {
    ::close(descriptor);
    return fail("Could not bind to port");
  }
  if (::listen(descriptor, 2) == -1) {
    ::close(descriptor);
    return fail("Could not listen to socket");
  }
  socket->is_listening = 1;
  socket->descriptor = descriptor;
  return 0;
}

int zel_net_get_local_port(zel_net_socket_t* socket) {
  if (is_closed(socket)) return -1;
  sockaddr_storage address;
  socklen_t length = sizeof address;
  if (getsockname(socket->descriptor, reinterpret_cast<sockaddr*>(&address), &length) == -1) {
    return -1;
  }
  switch (address.ss_family) {
    case AF_INET:
      return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    case AF_INET6:
      return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    default:
      return -1;
  }
}

void zel_net_close_socket(zel_net_socket_t* socket) {
  if (!is_closed(socket)) ::close(socket->descriptor);
  zel_net_reset_socket(socket);
}

int zel_net_accept_socket(zel_net_socket_t* listening, zel_net_socket_t* client) {
  // A closed socket is also not listening: test for it first so that it gets its own text.
  if (is_closed(listening)) return fail("Cannot accept on closed socket");
  if (!listening->is_listening) return fail("Cannot accept on client socket");

  listening->is_ready = 0;
  client->is_ready = 0;
  client->is_listening = 0;
  sockaddr_in peer;
  int descriptor;
  do {
    socklen_t length = sizeof peer;
    descriptor = ::accept(listening->descriptor, reinterpret_cast<sockaddr*>(&peer), &length);
  } while (descriptor == -1 && errno == EINTR);
  client->descriptor = descriptor;
  if (descriptor == -1) return fail("Accept failed");
  return 0;
}

int zel_net_send(zel_net_socket_t* socket, const void* data, int length) {
  if (is_closed(socket)) return fail("Cannot send on closed socket");
  if (socket->is_listening) return fail("Cannot send on server socket");
  if (length < 0) return fail("Cannot send data");

  // A blocking send may stop early when a signal arrives: go on until every byte is out.
  // MSG_NOSIGNAL turns a closed peer into an error instead of a broken-pipe signal.
  const char* next = static_cast<const char*>(data);
  std::size_t remaining = static_cast<std::size_t>(length);
  while (remaining > 0) {
    const ssize_t sent = ::send(socket->descriptor, next, remaining, MSG_NOSIGNAL);
    if (sent == -1 && errno == EINTR) continue;
    if (sent <= 0) return fail("Cannot send data");
    next += sent;
    remaining -= static_cast<std::size_t>(sent);
  }
  return 0;
}

int zel_net_recv(zel_net_socket_t* socket, void* data, int size) {
  if (is_closed(socket)) return fail("Cannot receive on closed socket");
  if (socket->is_listening) return fail("Cannot receive on server socket");

  socket->is_ready = 0;
  if (size < 0) return fail("Cannot receive data");
  ssize_t received;
  do {
    received = ::recv(socket->descriptor, data, static_cast<std::size_t>(size), 0);
  } while (received == -1 && errno == EINTR);
  if (received < 0) return fail("Cannot receive data");
  return static_cast<int>(received);
}

namespace {

// Makes `timeout` the descriptor's receive time-out. A zero time-out only looks (MSG_DONTWAIT):
// zero as a receive time-out would mean none, that is waiting forever.
bool use_receive_timeout(zel_net_socket_t* socket, float timeout) {
  // 2^31 is the first float beyond the range of a 32-bit number of seconds.
  if (!(timeout >= 0.0f) || !(timeout < 2147483648.0f)) return false;
  if (timeout == 0.0f || timeout == socket->receive_timeout) return true;
  timeval limit;
  limit.tv_sec = static_cast<time_t>(timeout);
  limit.tv_usec = static_cast<suseconds_t>((timeout - static_cast<float>(limit.tv_sec)) * 1e6f);
  if (setsockopt(socket->descriptor, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
    return false;
  }
  socket->receive_timeout = timeout;
  return true;
}

}  // namespace

int zel_net_recv_within(zel_net_socket_t* socket, void* data, int size, float timeout) {
  if (is_closed(socket)) return fail("Cannot receive on closed socket");
  if (socket->is_listening) return fail("Cannot receive on server socket");

  socket->is_ready = 0;
  if (size < 0) return fail("Cannot receive data");
  using Clock = std::chrono::steady_clock;
  const int flags = timeout == 0.0f ? MSG_DONTWAIT : 0;
  const Clock::time_point start = Clock::now();
  float left = timeout;
  for (;;) {
    if (!use_receive_timeout(socket, left)) {
      fail("Error on select()");
      return ZEL_NET_WAIT_FAILED;
    }
    const ssize_t received =
        ::recv(socket->descriptor, data, static_cast<std::size_t>(size), flags);
    if (received >= 0) return static_cast<int>(received);
    if (errno == EAGAIN || errno == EWOULDBLOCK) return ZEL_NET_TIMED_OUT;
    if (errno != EINTR) return fail("Cannot receive data");
    if (timeout == 0.0f) continue;
    left = timeout - std::chrono::duration<float>(Clock::now() - start).count();
    // Below a microsecond the receive time-out would read as none at all, that is as forever.
    if (left < 1e-6f) return ZEL_NET_TIMED_OUT;
  }
}

void zel_net_init_socket_set(zel_net_set_t* set) {
  for (zel_net_socket_t*& slot : set->slots) slot = nullptr;
}

int zel_net_add_socket_to_set(zel_net_socket_t* socket, zel_net_set_t* set) {
  if (is_closed(socket)) return fail("Cannot add closed socket to set");
  for (zel_net_socket_t*& slot : set->slots) {
    if (slot == nullptr) {
      slot = socket;
      return 0;
    }
  }
  return fail("Socket set is full");
}

int zel_net_remove_socket_from_set(zel_net_socket_t* socket, zel_net_set_t* set) {
  if (is_closed(socket)) return fail("Cannot remove closed socket from set");
  for (zel_net_socket_t*& slot : set->slots) {
    if (slot == socket) {
      slot = nullptr;
      return 0;
    }
  }
  return fail("Socket not found in set");
}

int zel_net_check_socket_set(zel_net_set_t* set, float timeout) {
  // One poll entry per distinct open descriptor, so that the count is that of readable
  // descriptors however many slots share one. A closed socket left in a slot is not waited on.
  pollfd entries[ZEL_NET_SET_SIZE];
  nfds_t count = 0;
  for (const zel_net_socket_t* socket : set->slots) {
    if (socket == nullptr || is_closed(socket)) continue;
    nfds_t entry = 0;
    while (entry < count && entries[entry].fd != socket->descriptor) ++entry;
    if (entry < count) continue;
    entries[count].fd = socket->descriptor;
    entries[count].events = POLLIN;
    entries[count].revents = 0;
    ++count;
  }
  if (count == 0) return 0;

  std::int64_t microseconds = 0;
  if (!timeout_to_microseconds(timeout, &microseconds)) return fail("Error on select()");
  const int result = poll_until(entries, count, microseconds);
  if (result == -1) return fail("Error on select()");
  if (result == 0) return 0;

  int readable = 0;
  for (nfds_t entry = 0; entry < count; ++entry) {
    // A descriptor that is not open makes the whole wait fail, as it would for select().
    if (entries[entry].revents & POLLNVAL) return fail("Error on select()");
    if (entries[entry].revents & kReadableEvents) ++readable;
  }
  for (zel_net_socket_t* socket : set->slots) {
    if (socket == nullptr || is_closed(socket)) continue;
    for (nfds_t entry = 0; entry < count; ++entry) {
      if (entries[entry].fd == socket->descriptor && (entries[entry].revents & kReadableEvents)) {
        socket->is_ready = 1;
      }
    }
  }
  return readable;
}

int zel_net_refill_packet_data(zel_net_socket_t* socket) {
  if (is_closed(socket)) return fail("Cannot receive on closed socket");
  if (socket->is_listening) return fail("Cannot receive on server socket");
  // Read only what a wait reported readable, so that a refill never blocks.
  if (!socket->is_ready) return 0;

  socket->is_ready = 0;
  ssize_t received;
  do {
    received = ::recv(socket->descriptor, socket->buffer + socket->buffered,
                      static_cast<std::size_t>(ZEL_NET_BUFFER_SIZE - socket->buffered), 0);
  } while (received == -1 && errno == EINTR);
  if (received < 0) return fail("Cannot receive data");
  socket->buffered += static_cast<int>(received);
  return 1;
}

namespace {

// Removes the first `count` buffered bytes; the rest moves to the front.
void consume_buffered(zel_net_socket_t* socket, int count) {
  std::memmove(socket->buffer, socket->buffer + count,
               static_cast<std::size_t>(socket->buffered - count));
  socket->buffered -= count;
}

bool holds_whole_packet(const zel_net_socket_t* socket) {
  return socket->packet_size >= 0 && socket->buffered >= socket->packet_size;
}

}  // namespace

int zel_net_receive_packet(zel_net_socket_t* socket) {
  if (socket->packet_size < 0 && socket->buffered >= 2) {
    const int size = socket->buffer[0] * 256 + socket->buffer[1];
    consume_buffered(socket, 2);
    if (size > ZEL_NET_BUFFER_SIZE) {
      zel_net_close_socket(socket);
      return fail("Received packet was too large");
    }
    socket->packet_size = size;
  }
  return holds_whole_packet(socket) ? 1 : 0;
}

void zel_net_drop_packet(zel_net_socket_t* socket) {
  if (!holds_whole_packet(socket)) return;
  consume_buffered(socket, socket->packet_size);
  socket->packet_size = -1;
}
