#include "VantrelSocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/mman.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <new>

namespace Vantrel {
namespace SDK {

namespace {

constexpr size_t kHeaderSize = 8;

int64_t readFrameLength(const unsigned char* header) {
  uint64_t length = 0;
  for (size_t i = kHeaderSize; i > 0; --i) length = (length << 8) | header[i - 1];
  return static_cast<int64_t>(length);
}

constexpr size_t kSmallestDirectRead = 256 * 1024;
constexpr size_t kHugePageSize = size_t{2} << 20;
constexpr size_t kSmallestReceiveCapacity = 16 * 1024;

size_t roundUp(size_t value, size_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

}  // namespace

VantrelSocket::ReceiveBuffer::~ReceiveBuffer() { ::operator delete(m_Storage); }

void VantrelSocket::ReceiveBuffer::resize(size_t size) {
  if (size > m_Capacity) grow(size);
  m_Size = size;
}

void VantrelSocket::ReceiveBuffer::append(const unsigned char* bytes, size_t count) {
  const size_t held = m_Size;
  resize(held + count);
  if (count > 0) std::memcpy(m_Data + held, bytes, count);
}

// Doubles the capacity at least, so that a frame that arrives in many reads costs a few moves in
// all. Each page of fresh storage costs a fault when it is first written, which on a virtual
// machine can take longer than receiving the page; a huge page takes one fault for 512 of them.
// The hint is only a hint: where transparent huge pages are off, small pages serve as before.
void VantrelSocket::ReceiveBuffer::grow(size_t needed) {
  size_t capacity = std::max({needed, 2 * m_Capacity, kSmallestReceiveCapacity});
  const bool huge = capacity >= kHugePageSize;
  if (huge) capacity = roundUp(capacity, kHugePageSize);
  // The slack lets the data start on a huge-page boundary; pages never written cost nothing.
  const size_t slack = huge ? kHugePageSize : 0;
  if (capacity < needed || capacity + slack < capacity) throw std::bad_alloc();
  auto* storage = static_cast<unsigned char*>(::operator new(capacity + slack));
  unsigned char* data = storage;
  if (huge) {
    const uintptr_t start = reinterpret_cast<uintptr_t>(storage);
    data = storage + (roundUp(start, kHugePageSize) - start);
    madvise(data, capacity, MADV_HUGEPAGE);
  }
  if (m_Size > 0) std::memcpy(data, m_Data, m_Size);
  ::operator delete(m_Storage);
  m_Storage = storage;
  m_Data = data;
  m_Capacity = capacity;
}

VantrelSocket::VantrelSocket() {
  zel_net_init_socket_set(&m_SocketSet);
  zel_net_reset_socket(&m_NetSocket);
}

VantrelSocket::~VantrelSocket() { disconnect(); }

void VantrelSocket::register_callback(const Callback& callback) { m_Callback = callback; }

int VantrelSocket::connect(std::string host, std::string port) {
  // A second connection replaces the first; nothing of the old stream may lead the new one.
  disconnect();
  if (zel_net_open_socket(&m_NetSocket, host.c_str(), port.c_str()) != 0) {
    return VANTREL_ERR_CONNECTION_FAILED;
  }
  const int noDelay = 1;
  if (setsockopt(m_NetSocket.descriptor, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay) != 0) {
    return VANTREL_ERR_CONNECTION_FAILED;
  }
  zel_net_add_socket_to_set(&m_NetSocket, &m_SocketSet);
  return VANTREL_ERR_OK;
}

int VantrelSocket::send(unsigned char* buffer, int length) {
  return zel_net_send(&m_NetSocket, buffer, length) == 0 ? VANTREL_ERR_OK
                                                         : VANTREL_ERR_CONNECTION_FAILED;
}

int VantrelSocket::waitForData(bool& ready, float timeout) {
  ready = false;
  const int readable = zel_net_check_socket_set(&m_SocketSet, timeout);
  if (readable < 0) return VANTREL_ERR_CONNECTION_FAILED;
  if (readable == 0) return VANTREL_ERR_CONNECTION_TIMEOUT;
  ready = true;
  return VANTREL_ERR_OK;
}

// How much one recv() may ask for. While the frame at the front still lacks more than a chunk, the
// read goes straight into the receive buffer and ends exactly at that frame's end, so a large frame
// costs a few system calls instead of one per 2048 bytes. A read never asks for more than the bytes
// already held or kSmallestDirectRead, whichever is more, so a huge announced length cannot make
// the buffer grow beyond twice what arrived and that fixed amount; the amount spares frames of some
// hundred kilobytes the many small first reads that doubling from 2048 bytes would take.
size_t VantrelSocket::nextReadSize() const {
  const size_t held = m_ReceiveBuffer.size();
  if (held < kHeaderSize) return kChunkSize;
  const int64_t length = readFrameLength(m_ReceiveBuffer.data());
  const uint64_t payloadHeld = held - kHeaderSize;
  if (length < 0 || static_cast<uint64_t>(length) <= payloadHeld) return kChunkSize;
  const uint64_t missing = static_cast<uint64_t>(length) - payloadHeld;
  if (missing <= kChunkSize) return kChunkSize;
  return static_cast<size_t>(std::min<uint64_t>(missing, std::max(held, kSmallestDirectRead)));
}

// Only a connection in the socket set is waited on; a wait on an empty set returns at once.
bool VantrelSocket::isWaitedOn() const {
  if (m_NetSocket.descriptor == -1) return false;
  for (const zel_net_socket_t* slot : m_SocketSet.slots) {
    if (slot == &m_NetSocket) return true;
  }
  return false;
}

int VantrelSocket::waitForMessage(float timeout) {
  if (!isWaitedOn()) return VANTREL_ERR_CONNECTION_TIMEOUT;
  int delivered = 0;
  for (;;) {
    const size_t held = m_ReceiveBuffer.size();
    const size_t wanted = std::min<size_t>(nextReadSize(), INT32_MAX);
    m_ReceiveBuffer.resize(held + wanted);
    const int received = zel_net_recv_within(&m_NetSocket, m_ReceiveBuffer.data() + held,
                                             static_cast<int>(wanted), timeout);
    m_ReceiveBuffer.resize(held + static_cast<size_t>(std::max(received, 0)));
    if (received == ZEL_NET_TIMED_OUT) return VANTREL_ERR_CONNECTION_TIMEOUT;
    if (received == ZEL_NET_WAIT_FAILED) return VANTREL_ERR_CONNECTION_FAILED;
    if (received <= 0) {
      if (received == 0) zel_net_set_last_error("Connection closed by peer");
      std::cerr << zel_net_get_last_error() << std::endl;
      return VANTREL_ERR_CONNECTION_FAILED;
    }

    const int status = deliverFrames(delivered);
    if (delivered > 0) return status;
  }
}

int VantrelSocket::arrangeData(unsigned char* pNewData, long newDataSize, int& messageCount) {
  if (newDataSize < 0) {
    std::cerr << "invalid input newDataSize=" << newDataSize << " at VantrelSocket::arrangeData"
              << std::endl;
    return VANTREL_ERR_BAD_PARAMS;
  }
  if (pNewData == nullptr) {
    std::cerr << "invalid input pNewData=nullptr at VantrelSocket::arrangeData" << std::endl;
    return VANTREL_ERR_BAD_PARAMS;
  }
  m_ReceiveBuffer.append(pNewData, static_cast<size_t>(newDataSize));
  return deliverFrames(messageCount);
}

// Hands every complete frame at the front of the receive buffer to the callback, in place, then
// moves what is left to the front in one move. A negative length cannot be resynchronised: the bad
// header stays in front so that every later call reports it again.
int VantrelSocket::deliverFrames(int& messageCount) {
  VantrelErr status = VANTREL_ERR_OK;
  unsigned char* const data = m_ReceiveBuffer.data();
  const size_t size = m_ReceiveBuffer.size();
  size_t consumed = 0;
  int delivered = 0;
  bool negativeLength = false;
  while (size - consumed >= kHeaderSize) {
    const int64_t length = readFrameLength(data + consumed);
    if (length < 0) {
      std::cerr << "Can't parse negative size message" << std::endl;
      negativeLength = true;
      break;
    }
    // Compared without computing header + length, which would wrap for lengths near 2^63.
    if (static_cast<uint64_t>(length) > size - consumed - kHeaderSize) break;
    m_Callback(data + consumed + kHeaderSize, static_cast<unsigned long>(length), status);
    consumed += kHeaderSize + static_cast<size_t>(length);
    ++delivered;
  }
  if (consumed > 0) {
    std::memmove(data, data + consumed, size - consumed);
    m_ReceiveBuffer.resize(size - consumed);
  }
  messageCount += delivered;
  return negativeLength ? VANTREL_ERR_UNEXPECTED : status;
}

int VantrelSocket::disconnect() {
  m_ReceiveBuffer.clear();
  if (m_NetSocket.descriptor == -1) return VANTREL_ERR_OK;
  zel_net_remove_socket_from_set(&m_NetSocket, &m_SocketSet);
  zel_net_close_socket(&m_NetSocket);
  return VANTREL_ERR_OK;
}

}  // namespace SDK
}  // namespace Vantrel
