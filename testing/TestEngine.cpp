#include "TestEngine.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace Vantrel {
namespace Testing {

using namespace SDK;

std::string frameHeader(int64_t length) {
  std::string header(8, '\0');
  const auto value = static_cast<uint64_t>(length);
  for (int i = 0; i < 8; ++i) header[i] = static_cast<char>(value >> (8 * i));
  return header;
}

std::string frame(const google::protobuf::MessageLite& message) {
  const std::string payload = message.SerializeAsString();
  return frameHeader(static_cast<int64_t>(payload.size())) + payload;
}

std::string frame(const std::vector<EngineToClientMessage>& messages) {
  std::string bytes;
  for (const EngineToClientMessage& message : messages) bytes += frame(message);
  return bytes;
}

std::string bytesFromHex(const std::string& hex) {
  std::string bytes;
  int pending = -1;
  for (char c : hex) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    const int digit = std::isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    if (digit < 0 || digit > 15) throw std::invalid_argument("not a hex digit in: " + hex);
    if (pending < 0) {
      pending = digit;
    } else {
      bytes.push_back(static_cast<char>(pending * 16 + digit));
      pending = -1;
    }
  }
  if (pending >= 0) throw std::invalid_argument("odd number of hex digits in: " + hex);
  return bytes;
}

std::string hexOf(const std::string& bytes) {
  std::string hex;
  char digits[4];
  for (unsigned char byte : bytes) {
    std::snprintf(digits, sizeof digits, hex.empty() ? "%02x" : " %02x", byte);
    hex += digits;
  }
  return hex;
}

EngineToClientMessage acknowledgement(int errorCode) {
  EngineToClientMessage message;
  message.mutable_errormessage()->set_errorcode(static_cast<VantrelErr>(errorCode));
  return message;
}

EngineToClientMessage loadingState(LoadingStateReport_stateType state) {
  EngineToClientMessage message;
  message.mutable_loadingstate()->set_state(state);
  return message;
}

EngineToClientMessage endOfSimulation(const std::string& reason) {
  EngineToClientMessage message;
  message.mutable_endofsimulation()->set_reason(reason);
  return message;
}

EngineToClientMessage stamped(EngineToClientMessage message, uint32_t frameNumber,
                              float simulationTime) {
  message.set_framenumber(frameNumber);
  message.set_simulationtimeinsec(simulationTime);
  return message;
}

bool expectsAcknowledgement(const ClientToEngineMessage& message) {
  if (!message.has_command()) return false;
  const Command& command = message.command();
  switch (command.CommandType_case()) {
    case Command::kVersionCommand:
    case Command::kConfigurationCommand:
    case Command::kSensorCommand:
    case Command::kGlobalSensorCommand:
      return true;
    case Command::kSimulationCommand:
      return command.simulationcommand().has_startsimulation();
    default:
      return false;
  }
}

// ---- EngineConnection ---------------------------------------------------------------------------------

EngineConnection::EngineConnection() {
  zel_net_reset_socket(&m_Socket);
  zel_net_init_socket_set(&m_Set);
  m_Framer.register_callback([this](unsigned char* data, unsigned long size, VantrelErr&) {
    ClientFrame received;
    received.payload.assign(reinterpret_cast<const char*>(data), size);
    received.raw = frameHeader(static_cast<int64_t>(size)) + received.payload;
    received.decoded = received.message.ParseFromArray(data, static_cast<int>(size));
    if (!received.decoded) m_Undecodable = true;
    if (m_Sink != nullptr) m_Sink->push_back(std::move(received));
  });
}

EngineConnection::~EngineConnection() { close(); }

bool EngineConnection::accept(zel_net_socket_t& listening, float timeout) {
  close();
  zel_net_set_t waiting;
  zel_net_init_socket_set(&waiting);
  zel_net_add_socket_to_set(&listening, &waiting);
  if (zel_net_check_socket_set(&waiting, timeout) <= 0) return false;
  zel_net_reset_socket(&m_Socket);
  if (zel_net_accept_socket(&listening, &m_Socket) != 0) return false;
  const int noDelay = 1;
  setsockopt(m_Socket.descriptor, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
  zel_net_add_socket_to_set(&m_Socket, &m_Set);
  m_Undecodable = false;
  return true;
}

void EngineConnection::close() {
  m_Framer.disconnect();  // drops the bytes of an unfinished frame of this client
  if (m_Socket.descriptor == -1) return;
  zel_net_remove_socket_from_set(&m_Socket, &m_Set);
  zel_net_close_socket(&m_Socket);
}

bool EngineConnection::sendBytes(const std::string& bytes) {
  return zel_net_send(&m_Socket, bytes.data(), static_cast<int>(bytes.size())) == 0;
}

EngineConnection::ReadResult EngineConnection::receive(float timeout,
                                                       std::vector<ClientFrame>& frames) {
  if (!isOpen()) return ReadResult::Closed;
  const int readable = zel_net_check_socket_set(&m_Set, timeout);
  if (readable < 0) return ReadResult::Closed;
  if (readable == 0) return ReadResult::Nothing;
  unsigned char chunk[65536];
  const int received = zel_net_recv(&m_Socket, chunk, sizeof chunk);
  if (received <= 0) return ReadResult::Closed;
  int count = 0;
  m_Sink = &frames;
  const int status = m_Framer.arrangeData(chunk, received, count);
  m_Sink = nullptr;
  if (status != VANTREL_ERR_OK || m_Undecodable) return ReadResult::BadFraming;
  return count > 0 ? ReadResult::Frames : ReadResult::Nothing;
}

// ---- TestEngine ---------------------------------------------------------------------------------------

TestEngine::TestEngine() {
  zel_net_reset_socket(&m_Listening);
  if (zel_net_open_listening_socket(&m_Listening, "127.0.0.1", "0") != 0) {
    throw std::runtime_error(std::string("test engine cannot listen: ") + zel_net_get_last_error());
  }
  m_Port = zel_net_get_local_port(&m_Listening);
  m_Thread = std::thread([this] { serve(); });
}

TestEngine::~TestEngine() {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Stopping = true;
  }
  m_Thread.join();
  m_Connection.close();
  zel_net_close_socket(&m_Listening);
}

TestEngine& TestEngine::addStep(Step step) {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Steps.push_back(std::move(step));
    ++m_StepsAdded;
  }
  m_Changed.notify_all();
  return *this;
}

TestEngine& TestEngine::send(const EngineToClientMessage& message) {
  return sendRaw(frame(message));
}

TestEngine& TestEngine::sendTogether(const std::vector<EngineToClientMessage>& messages) {
  return sendRaw(frame(messages));
}

TestEngine& TestEngine::sendRaw(const std::string& bytes) {
  Step step(Step::Bytes);
  step.bytes = bytes;
  return addStep(std::move(step));
}

TestEngine& TestEngine::sendCut(const std::string& bytes, const std::vector<size_t>& cuts,
                                std::chrono::milliseconds pauseBetween) {
  size_t from = 0;
  for (size_t cut : cuts) {
    if (cut <= from || cut >= bytes.size()) continue;
    sendRaw(bytes.substr(from, cut - from));
    pause(pauseBetween);
    from = cut;
  }
  return sendRaw(bytes.substr(from));
}

TestEngine& TestEngine::pause(std::chrono::milliseconds duration) {
  Step step(Step::Pause);
  step.duration = duration;
  return addStep(std::move(step));
}

TestEngine& TestEngine::awaitFrames(size_t total) {
  Step step(Step::AwaitFrames);
  step.frames = total;
  return addStep(std::move(step));
}

TestEngine& TestEngine::closeConnection() { return addStep(Step(Step::Close)); }

TestEngine& TestEngine::acceptNext() { return addStep(Step(Step::AcceptNext)); }

TestEngine& TestEngine::run(std::function<void(EngineConnection&)> action) {
  Step step(Step::Action);
  step.action = std::move(action);
  return addStep(std::move(step));
}

void TestEngine::respondWith(Responder responder) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_Responder = std::move(responder);
}

void TestEngine::acknowledgeCommands(int errorCode) {
  respondWith([errorCode](const ClientToEngineMessage& message) {
    std::vector<EngineToClientMessage> replies;
    if (expectsAcknowledgement(message)) replies.push_back(acknowledgement(errorCode));
    return replies;
  });
}

std::vector<ClientFrame> TestEngine::frames() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Frames;
}

size_t TestEngine::frameCount() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Frames.size();
}

bool TestEngine::waitForFrames(size_t total, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_Mutex);
  return m_Changed.wait_for(lock, timeout, [&] { return m_Frames.size() >= total; });
}

bool TestEngine::waitForScript(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_Mutex);
  return m_Changed.wait_for(lock, timeout, [&] { return m_StepsPlayed == m_StepsAdded; });
}

bool TestEngine::clientConnected() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return !m_WantClient;
}

void TestEngine::serve() {
  std::chrono::steady_clock::time_point pauseUntil{};
  for (;;) {
    bool wantClient;
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      if (m_Stopping) return;
      wantClient = m_WantClient;
    }
    if (wantClient) {
      if (m_Connection.accept(m_Listening, 0.01f)) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_WantClient = false;
      }
      m_Changed.notify_all();
      continue;
    }
    if (!playNextStep(pauseUntil)) readFromClient(0.002f);
  }
}

// Plays the step at the front if it can be played now; false when there is none or it must wait.
bool TestEngine::playNextStep(std::chrono::steady_clock::time_point& pauseUntil) {
  Step step;
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Steps.empty()) return false;
    Step& next = m_Steps.front();
    if (next.kind == Step::AwaitFrames && m_Frames.size() < next.frames) return false;
    if (next.kind == Step::Pause) {
      const auto now = std::chrono::steady_clock::now();
      if (pauseUntil == std::chrono::steady_clock::time_point{}) pauseUntil = now + next.duration;
      if (now < pauseUntil) return false;
      pauseUntil = {};
    }
    step = std::move(next);
    m_Steps.pop_front();
  }
  switch (step.kind) {
    case Step::Bytes:
      m_Connection.sendBytes(step.bytes);
      break;
    case Step::Close:
      m_Connection.close();
      break;
    case Step::AcceptNext: {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_WantClient = true;
      break;
    }
    case Step::Action:
      step.action(m_Connection);
      break;
    case Step::Pause:
    case Step::AwaitFrames:
      break;
  }
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    ++m_StepsPlayed;
  }
  m_Changed.notify_all();
  return true;
}

void TestEngine::readFromClient(float timeout) {
  std::vector<ClientFrame> received;
  const EngineConnection::ReadResult result = m_Connection.receive(timeout, received);
  if (result == EngineConnection::ReadResult::Nothing && !m_Connection.isOpen()) {
    std::this_thread::sleep_for(std::chrono::duration<float>(timeout));
  }
  for (ClientFrame& clientFrame : received) {
    Responder responder;
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_Frames.push_back(clientFrame);
      responder = m_Responder;
    }
    m_Changed.notify_all();
    if (!responder || !clientFrame.decoded) continue;
    const std::vector<EngineToClientMessage> replies = responder(clientFrame.message);
    if (!replies.empty()) m_Connection.sendBytes(frame(replies));
  }
  if (result == EngineConnection::ReadResult::Closed && m_Connection.isOpen()) {
    // The client has gone: take the next one.
    m_Connection.close();
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_WantClient = true;
  } else if (result == EngineConnection::ReadResult::Closed) {
    std::this_thread::sleep_for(std::chrono::duration<float>(timeout));
  } else if (result == EngineConnection::ReadResult::BadFraming) {
    m_Connection.close();
  }
}

}  // namespace Testing
}  // namespace Vantrel
