#include "Sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace VantrelBench {

namespace {

sockaddr_in loopbackAddress(int port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

int connectLoopback(int port) {
  const int descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
  if (descriptor < 0) return -1;
  const sockaddr_in address = loopbackAddress(port);
  const int noDelay = 1;
  if (::connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay) != 0) {
    const int error = errno;
    ::close(descriptor);
    errno = error;
    return -1;
  }
  return descriptor;
}

int listenLoopback(int& port) {
  const int descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
  if (descriptor < 0) return -1;
  sockaddr_in address = loopbackAddress(0);
  socklen_t length = sizeof address;
  if (::bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(descriptor, 16) != 0 ||
      ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(descriptor);
    return -1;
  }
  port = ntohs(address.sin_port);
  return descriptor;
}

bool sendAll(int descriptor, const void* data, size_t size) {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t sent = ::send(descriptor, next, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    next += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

bool receiveAll(int descriptor, void* data, size_t size) {
  char* next = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t received = ::recv(descriptor, next, size, 0);
    if (received < 0 && errno == EINTR) continue;
    if (received <= 0) return false;
    next += received;
    size -= static_cast<size_t>(received);
  }
  return true;
}

}  // namespace VantrelBench
