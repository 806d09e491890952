#include "BenchEngine.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <thread>
#include <vector>

#include "ClientToEngineMessage.pb.h"
#include "EngineToClientMessage.pb.h"
#include "GrpcPeer.h"
#include "Sockets.h"
#include "Workloads.h"

namespace VantrelBench {

using namespace Vantrel::SDK;

const std::string* WorkloadCache::frame(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  auto found = m_Frames.find(name);
  if (found != m_Frames.end()) return found->second.get();
  EngineToClientMessage message;
  if (!buildWorkload(name, message)) return nullptr;
  auto inserted = m_Frames.emplace(
      name, std::unique_ptr<const std::string>(new std::string(wireFrame(message))));
  return inserted.first->second.get();
}

namespace {

// Requests are commands of at most 2048 bytes; anything far larger is not a client of this bench.
constexpr int64_t kLargestRequest = 1 << 16;

bool expectsAcknowledgement(const Command& command) {
  switch (command.CommandType_case()) {
    case Command::kSimulationCommand:
      return command.simulationcommand().has_startsimulation();
    case Command::kSensorCommand:
    case Command::kGlobalSensorCommand:
    case Command::kConfigurationCommand:
    case Command::kVersionCommand:
      return true;
    default:
      return false;
  }
}

// One connection, in lockstep with its client: a next-frame request gets the selected workload's
// frame, a command that expects an acknowledgement gets code 0, anything else gets nothing.
void serveConnection(int descriptor, WorkloadCache& workloads) {
  const int noDelay = 1;
  ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
  EngineToClientMessage accepted;
  accepted.mutable_errormessage()->set_errorcode(VANTREL_ERR_OK);
  const std::string acknowledgement = wireFrame(accepted);
  const std::string* answer = nullptr;
  std::vector<unsigned char> request;
  ClientToEngineMessage message;
  for (;;) {
    unsigned char header[kFrameHeaderSize];
    if (!receiveAll(descriptor, header, sizeof header)) break;
    const int64_t length = frameLength(header);
    if (length < 0 || length > kLargestRequest) {
      std::cerr << "bench engine: request of " << length << " bytes" << std::endl;
      break;
    }
    request.resize(static_cast<size_t>(length));
    if (!receiveAll(descriptor, request.data(), request.size())) break;
    if (!message.ParseFromArray(request.data(), static_cast<int>(request.size())) ||
        !message.has_command()) {
      std::cerr << "bench engine: a request that is not a command" << std::endl;
      break;
    }
    const Command& command = message.command();
    const std::string* reply = nullptr;
    if (command.has_simulationcommand() && command.simulationcommand().has_nextframe()) {
      if (answer == nullptr) {
        std::cerr << "bench engine: next frame before a workload was selected" << std::endl;
        break;
      }
      reply = answer;
    } else if (command.has_logcommand()) {
      const std::string name = selectedWorkload(command.logcommand().msg());
      if (!name.empty()) {
        answer = workloads.frame(name);
        if (answer == nullptr) {
          std::cerr << "bench engine: unknown workload " << name << std::endl;
          break;
        }
      }
    } else if (expectsAcknowledgement(command)) {
      reply = &acknowledgement;
    }
    if (reply != nullptr && !sendAll(descriptor, reply->data(), reply->size())) break;
  }
  ::close(descriptor);
}

}  // namespace

int runEngineProcess() {
  WorkloadCache workloads;
  int tcpPort = 0;
  const int listener = listenLoopback(tcpPort);
  if (listener < 0) {
    std::cerr << "bench engine: cannot listen: " << std::strerror(errno) << std::endl;
    return 1;
  }
  const int grpcPort = startGrpcEngine(workloads);
  std::thread([listener, &workloads] {
    for (;;) {
      const int descriptor = ::accept(listener, nullptr, nullptr);
      if (descriptor < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        std::cerr << "bench engine: accept failed: " << std::strerror(errno) << std::endl;
        return;
      }
      std::thread(serveConnection, descriptor, std::ref(workloads)).detach();
    }
  }).detach();
  std::cout << "ready " << tcpPort << ' ' << grpcPort << std::endl;

  char ignored[64];
  while (::read(STDIN_FILENO, ignored, sizeof ignored) > 0) {
  }
  // The connection threads are still blocked in their reads: leave without unwinding them.
  std::cout.flush();
  _exit(0);
}

}  // namespace VantrelBench
