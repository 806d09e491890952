// The few loopback socket operations that the bench engine and the limit client share.
#ifndef VANTREL_BENCH_SOCKETS_H
#define VANTREL_BENCH_SOCKETS_H

#include <cstddef>

namespace VantrelBench {

// A connected TCP socket to 127.0.0.1:port with TCP_NODELAY, or -1 (errno tells why).
int connectLoopback(int port);
// A listening socket on an ephemeral loopback port, which goes to `port`; -1 on failure.
int listenLoopback(int& port);
// Sends every byte, resuming after partial sends and signals; false on failure.
bool sendAll(int descriptor, const void* data, size_t size);
// Reads exactly `size` bytes; false on failure or when the peer closed first.
bool receiveAll(int descriptor, void* data, size_t size);

}  // namespace VantrelBench

#endif
