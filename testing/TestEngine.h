// A scriptable engine for tests: it listens on an ephemeral loopback port, takes one client at a
// time, records every wire frame the client sends and plays a script of steps (send messages or raw
// bytes, cut the stream, pause, wait for the client, close) on a thread of its own.
#ifndef VANTREL_TEST_ENGINE_H
#define VANTREL_TEST_ENGINE_H

#include <google/protobuf/message_lite.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ClientToEngineMessage.pb.h"
#include "EngineToClientMessage.pb.h"
#include "VantrelSocket.h"
#include "zel_net.h"

namespace Vantrel {
namespace Testing {

using SDK::ClientToEngineMessage;
using SDK::EngineToClientMessage;

// ---- Wire helpers -----------------------------------------------------------------------------------
/// The 8-byte little-endian signed length that leads every wire frame.
std::string frameHeader(int64_t length);
/// One whole wire frame: header and encoded message.
std::string frame(const google::protobuf::MessageLite& message);
std::string frame(const std::vector<EngineToClientMessage>& messages);  // frames back to back
/// "5a 0d 52" <-> bytes, for byte-exact checks.
std::string bytesFromHex(const std::string& hex);
std::string hexOf(const std::string& bytes);

// ---- Engine messages that tests need again and again ------------------------------------------------
EngineToClientMessage acknowledgement(int errorCode = 0);
EngineToClientMessage loadingState(SDK::LoadingStateReport_stateType state);
EngineToClientMessage endOfSimulation(const std::string& reason);
/// With the frame number and simulation time that the proxy reports as current.
EngineToClientMessage stamped(EngineToClientMessage message, uint32_t frameNumber,
                              float simulationTime);
/// True for the commands that the engine answers with an acknowledgement: version, configuration,
/// start and sensor commands (register or modify).
bool expectsAcknowledgement(const ClientToEngineMessage& message);

/// One wire frame received from the client.
struct ClientFrame {
  std::string raw;      // the whole frame, header included
  std::string payload;  // the bytes after the header
  bool decoded = false;
  ClientToEngineMessage message;
};

/// The engine side of one accepted connection. Incoming bytes are cut into frames by the library's
/// own framing, so engine and client share one reading of the wire format.
class EngineConnection {
 public:
  EngineConnection();
  ~EngineConnection();
  EngineConnection(const EngineConnection&) = delete;
  EngineConnection& operator=(const EngineConnection&) = delete;

  /// Takes the next client from `listening`; false when none came within `timeout` seconds.
  bool accept(zel_net_socket_t& listening, float timeout);
  bool isOpen() const { return m_Socket.descriptor != -1; }
  void close();
  bool sendBytes(const std::string& bytes);
  bool sendMessage(const EngineToClientMessage& message) { return sendBytes(frame(message)); }

  enum class ReadResult { Frames, Nothing, Closed, BadFraming };
  /// Waits up to `timeout` seconds, reads once and appends the frames completed to `frames`. A
  /// negative length or an undecodable frame gives BadFraming; the frames before it are kept.
  ReadResult receive(float timeout, std::vector<ClientFrame>& frames);

 private:
  zel_net_socket_t m_Socket;
  zel_net_set_t m_Set;
  SDK::VantrelSocket m_Framer;
  std::vector<ClientFrame>* m_Sink = nullptr;
  bool m_Undecodable = false;
};

class TestEngine {
 public:
  /// Replies to one client frame; called on the engine's thread. The messages returned are sent
  /// together in one write.
  using Responder = std::function<std::vector<EngineToClientMessage>(const ClientToEngineMessage&)>;

  TestEngine();  // listens at once and starts its thread
  ~TestEngine();
  TestEngine(const TestEngine&) = delete;
  TestEngine& operator=(const TestEngine&) = delete;

  std::string host() const { return "127.0.0.1"; }
  std::string port() const { return std::to_string(m_Port); }
  /// "127.0.0.1 PORT", as VantrelSim::connectToEngine takes it.
  std::string connectionString() const { return host() + " " + port(); }

  /// Script steps, played in order once a client is connected; they may be added at any time.
  TestEngine& send(const EngineToClientMessage& message);
  TestEngine& sendTogether(const std::vector<EngineToClientMessage>& messages);  // one write
  TestEngine& sendRaw(const std::string& bytes);
  /// Writes `bytes` in pieces cut at the given offsets, pausing between the pieces.
  TestEngine& sendCut(const std::string& bytes, const std::vector<size_t>& cuts,
                      std::chrono::milliseconds pauseBetween = std::chrono::milliseconds(20));
  TestEngine& pause(std::chrono::milliseconds duration);
  /// Holds the script until the client has sent `total` frames since the engine started.
  TestEngine& awaitFrames(size_t total);
  TestEngine& closeConnection();
  /// Takes the next client (after closeConnection, or once the client has gone).
  TestEngine& acceptNext();
  /// Runs `action` on the engine's thread, in script order.
  TestEngine& run(std::function<void(EngineConnection&)> action);

  /// Replies to every client frame from now on (in addition to the script).
  void respondWith(Responder responder);
  /// A responder that acknowledges every command expecting it with `errorCode`.
  void acknowledgeCommands(int errorCode = 0);

  /// What the client has sent so far.
  std::vector<ClientFrame> frames() const;
  size_t frameCount() const;
  bool waitForFrames(size_t total, std::chrono::milliseconds timeout) const;
  /// True once every step added so far has been played.
  bool waitForScript(std::chrono::milliseconds timeout) const;
  bool clientConnected() const;

 private:
  struct Step {
    enum Kind { Bytes, Pause, AwaitFrames, Close, AcceptNext, Action };
    Step() = default;
    explicit Step(Kind stepKind) : kind(stepKind) {}
    Kind kind = Bytes;
    std::string bytes;
    std::chrono::milliseconds duration{0};
    size_t frames = 0;
    std::function<void(EngineConnection&)> action;
  };

  TestEngine& addStep(Step step);
  void serve();
  bool playNextStep(std::chrono::steady_clock::time_point& pauseUntil);
  void readFromClient(float timeout);

  zel_net_socket_t m_Listening;
  int m_Port = 0;
  EngineConnection m_Connection;

  mutable std::mutex m_Mutex;
  mutable std::condition_variable m_Changed;
  std::deque<Step> m_Steps;
  size_t m_StepsPlayed = 0;
  size_t m_StepsAdded = 0;
  std::vector<ClientFrame> m_Frames;
  Responder m_Responder;
  bool m_Stopping = false;
  bool m_WantClient = true;
  std::thread m_Thread;
};

}  // namespace Testing
}  // namespace Vantrel

#endif
