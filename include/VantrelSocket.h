// The framing: one TCP connection carrying wire frames, each an 8-byte signed little-endian payload
// length followed by that many bytes of one encoded message. It cuts the incoming byte stream into
// frames and hands each payload to one callback; it knows nothing of the messages inside.
#ifndef VANTREL_SOCKET_H
#define VANTREL_SOCKET_H

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ErrorCodes.pb.h"
#include "VantrelExport.h"
#include "zel_net.h"

namespace Vantrel {
namespace SDK {

class VANTREL_API VantrelSocket {
 public:
  /// Called once per wire frame with its payload, the payload's length and the status shared by all
  /// frames of one read. The payload pointer is valid only during the call.
  using Callback = std::function<void(unsigned char*, unsigned long, VantrelErr&)>;

  /// Bytes read per pass while a frame's header is unknown or the frame lacks at most this many.
  static constexpr int kChunkSize = 2048;

  VantrelSocket();
  virtual ~VantrelSocket();
  /// The proxy's callback is bound to the proxy's address; a copy would deliver to the wrong object.
  VantrelSocket(const VantrelSocket&) = delete;
  VantrelSocket& operator=(const VantrelSocket&) = delete;

  void register_callback(const Callback& callback);
  /// Closes an earlier connection first. 0, or VANTREL_ERR_CONNECTION_FAILED.
  int connect(std::string host, std::string port);
  /// Sends `length` bytes, all of them or a failure. 0, or VANTREL_ERR_CONNECTION_FAILED.
  int send(unsigned char* buffer, int length);
  /// Waits up to `timeout` seconds for each read and returns after the first read that completes at
  /// least one frame, with the status the callback left; VANTREL_ERR_CONNECTION_TIMEOUT when nothing
  /// arrives in time or the socket is not connected; VANTREL_ERR_CONNECTION_FAILED on a socket
  /// failure or when the engine closed the connection.
  int waitForMessage(float timeout);
  /// Waits for readability only. 0, VANTREL_ERR_CONNECTION_FAILED or VANTREL_ERR_CONNECTION_TIMEOUT.
  int waitForData(bool& ready, float timeout);
  /// Appends received bytes, delivers every frame they complete and adds their number to
  /// `messageCount`. The callback's status, VANTREL_ERR_UNEXPECTED after a negative length, or
  /// VANTREL_ERR_BAD_PARAMS for invalid input.
  int arrangeData(unsigned char* pNewData, long newDataSize, int& messageCount);
  /// Closes the connection, if any, and drops the bytes of an unfinished frame. Always 0.
  int disconnect();

 private:
  /// Bytes received and not yet delivered. It grows geometrically in its capacity, never shrinks,
  /// and leaves new bytes uninitialised for recv() to fill. Storage of 2 MiB and more starts on a
  /// 2 MiB boundary and asks for transparent huge pages, so that the first multi-megabyte frame of a
  /// process is not faulted in 4 KiB at a time.
  class ReceiveBuffer {
   public:
    ReceiveBuffer() = default;
    ~ReceiveBuffer();
    ReceiveBuffer(const ReceiveBuffer&) = delete;
    ReceiveBuffer& operator=(const ReceiveBuffer&) = delete;

    unsigned char* data() { return m_Data; }
    const unsigned char* data() const { return m_Data; }
    size_t size() const { return m_Size; }
    /// Bytes beyond the old size are uninitialised. Throws std::bad_alloc when memory runs out.
    void resize(size_t size);
    void append(const unsigned char* bytes, size_t count);
    void clear() { m_Size = 0; }

   private:
    void grow(size_t needed);

    unsigned char* m_Storage = nullptr;  // as allocated; m_Data is its aligned start
    unsigned char* m_Data = nullptr;
    size_t m_Size = 0;
    size_t m_Capacity = 0;
  };

  int deliverFrames(int& messageCount);
  size_t nextReadSize() const;
  bool isWaitedOn() const;

  zel_net_set_t m_SocketSet;
  zel_net_socket_t m_NetSocket;
  Callback m_Callback;
  /// Bytes received and not yet delivered: after each read the beginning of an incomplete frame, or
  /// after a negative length the bad header and everything behind it. Its capacity never shrinks.
  ReceiveBuffer m_ReceiveBuffer;
};

}  // namespace SDK
}  // namespace Vantrel

#endif
