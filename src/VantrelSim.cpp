// The proxy object, its connection, the sending of messages, the receive handler that files every
// engine message into its list, and the two waits on which every blocking operation is built.
#include <chrono>
#include <climits>
#include <cstdint>
#include <iostream>

#include "VantrelSim.h"

#ifndef VANTREL_SDK_VERSION
#error "VANTREL_SDK_VERSION must be set by the build"
#endif

namespace Vantrel {
namespace SDK {

namespace {

constexpr size_t kFrameHeaderSize = 8;
constexpr size_t kMaxFrameSize = VantrelSocket::kChunkSize;
constexpr size_t kMaxPayloadSize = kMaxFrameSize - kFrameHeaderSize;

void writeFrameLength(unsigned char* header, uint64_t length) {
  for (size_t i = 0; i < kFrameHeaderSize; ++i) header[i] = static_cast<unsigned char>(length >> (8 * i));
}

}  // namespace

VantrelSim::VantrelSim()
    : m_LoadingStateCallback(nullptr),
      m_CurrSimulationTime(0.0f),
      m_CurrFrame(0),
      m_LastError(VANTREL_ERR_OK),
      m_IsLoadingScene(true),
      m_IsRunning(false) {}

VantrelSim::~VantrelSim() {
  disconnectFromEngine();
  delete m_LoadingStateCallback;
}

int VantrelSim::connectToEngine() { return connectToEngine("127.0.0.1 8052"); }

int VantrelSim::connectToEngine(const std::string& connection) {
  const size_t blank = connection.find(' ');
  if (blank == std::string::npos) {
    std::cerr << "invalid connection string" << std::flush;
    return VANTREL_ERR_CONNECTION_FAILED;
  }
  m_Socket.register_callback([this](unsigned char* data, unsigned long size, VantrelErr& status) {
    receiveMessageCB(data, static_cast<long>(size), status);
  });
  return m_Socket.connect(connection.substr(0, blank), connection.substr(blank + 1));
}

int VantrelSim::disconnectFromEngine() {
  if (m_IsRunning) {
    const int stopped = stop(0, "Disconnect requested");
    if (stopped != VANTREL_ERR_OK) return stopped;
  }
  return m_Socket.disconnect();
}

int VantrelSim::setVersionCommand(VersionCommand* version) {
  if (version == nullptr) return VANTREL_ERR_BAD_PARAMS;
  std::cerr << "sending the version  " << version->sdkversion() << std::endl;
  std::cerr << "sending the version  " << version->oemversion() << std::endl;
  auto* command = new Command;
  command->set_allocated_versioncommand(version);
  return awaitAcknowledgement(sendCommand(command));
}

std::string VantrelSim::getSDKVersion() { return VANTREL_SDK_VERSION; }

int VantrelSim::geStudioVersion(std::string& version) {
  version.clear();
  return VANTREL_ERR_NOT_IMPLEMENTED;
}

std::string VantrelSim::getId() { return m_Id; }

int VantrelSim::lastError() { return m_LastError; }

int VantrelSim::checkMessageError(EngineToClientMessage& message) {
  if (message.ReportType_case() != EngineToClientMessage::kErrorMessage) return VANTREL_ERR_OK;
  m_LastError = message.errormessage().errorcode();
  return m_LastError;
}

int VantrelSim::sendMessage(ClientToEngineMessage& message) {
  if (message.Msg_case() == ClientToEngineMessage::kQuery && m_IsRunning) {
    std::cerr << "Can't call query commands after simulation has started" << std::endl;
    return VANTREL_ERR_UNEXPECTED;
  }
  const size_t size = message.ByteSizeLong();
  if (size > kMaxPayloadSize) return VANTREL_ERR_SEND_CMD_FAILED;
  unsigned char frame[kMaxFrameSize];
  writeFrameLength(frame, size);
  if (!message.SerializeToArray(frame + kFrameHeaderSize, static_cast<int>(size))) {
    return VANTREL_ERR_SEND_CMD_FAILED;
  }
  return m_Socket.send(frame, static_cast<int>(kFrameHeaderSize + size));
}

int VantrelSim::sendCommand(Command* command) {
  ClientToEngineMessage message;
  message.set_allocated_command(command);
  return sendMessage(message);
}

int VantrelSim::awaitAcknowledgement(int sendResult) {
  if (sendResult != VANTREL_ERR_OK) return sendResult;
  return waitForErrorMessage(kAcknowledgementTimeout);
}

void VantrelSim::receiveMessageCB(unsigned char* data, long size, VantrelErr& status) {
  status = VANTREL_ERR_OK;
  EngineToClientMessage message;
  if (size < 0 || size > INT_MAX || !message.ParseFromArray(data, static_cast<int>(size))) {
    std::cerr << "bad message" << std::endl;
    status = VANTREL_ERR_UNEXPECTED;
    return;
  }
  m_CurrFrame = message.framenumber();
  m_CurrSimulationTime = message.simulationtimeinsec();

  switch (message.ReportType_case()) {
    case EngineToClientMessage::kQueryReport:
      m_QueryList.push_back(std::move(message));
      break;
    case EngineToClientMessage::kRegisterReport:
      m_SensorDataList.push_back(std::move(message));
      break;
    case EngineToClientMessage::kErrorMessage:
      m_ErrorList.push_back(std::move(message));
      break;
    case EngineToClientMessage::kEndOfSimulation:
      m_IsLoadingScene = false;
      m_IsRunning = false;
      status = VANTREL_ERR_DISCONNECTED;
      std::cout << "Simulation Ended, Reason: " << message.endofsimulation().reason() << std::endl;
      break;
    case EngineToClientMessage::kLoadingState:
      m_LoadingStateList.push_back(std::move(*message.mutable_loadingstate()));
      break;
    default:
      std::cerr << "Unknown ReportType" << std::endl;
      break;
  }
}

int VantrelSim::waitForErrorMessage(float timeout) {
  const int waited = m_Socket.waitForMessage(timeout);
  if (waited != VANTREL_ERR_OK) return waited;
  if (m_ErrorList.empty()) {
    std::cerr << "should not awake if m_ErrorList is empty" << std::endl;
    return VANTREL_ERR_UNEXPECTED;
  }
  m_LastError = m_ErrorList.back().errormessage().errorcode();
  m_ErrorList.pop_back();
  return m_LastError;
}

// The time-out is a budget in seconds for the whole call, however many reads it takes: other
// traffic (sensor data, loading states) wakes the wait without ending it.
int VantrelSim::waitForQueryMessage(float timeout) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  float remaining = timeout;
  for (;;) {
    const int waited = m_Socket.waitForMessage(remaining);
    if (waited != VANTREL_ERR_OK) return waited;
    if (!m_QueryList.empty()) return VANTREL_ERR_OK;
    const std::chrono::duration<float> elapsed = Clock::now() - start;
    remaining = timeout - elapsed.count();
    if (remaining < 0.0f) return VANTREL_ERR_CONNECTION_TIMEOUT;
  }
}

}  // namespace SDK
}  // namespace Vantrel
