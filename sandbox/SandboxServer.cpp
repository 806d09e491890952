#include "SandboxServer.h"

#include <chrono>
#include <iostream>
#include <thread>
#include <vector>

#include "Session.h"
#include "TestEngine.h"

namespace Vantrel {
namespace Sandbox {

using Testing::ClientFrame;
using Testing::EngineConnection;

namespace {

// How often a waiting server looks whether it is to stop.
constexpr float kPollSeconds = 0.05f;
// The scene "loads" in visible steps, so that a client can show its progress. Only the timing
// depends on it, never the bytes.
constexpr std::chrono::milliseconds kLoadingStepPause(20);

}  // namespace

SandboxServer::SandboxServer(EngineOptions options, std::ostream& events)
    : m_Options(std::move(options)), m_Events(events) {
  zel_net_reset_socket(&m_Listening);
}

SandboxServer::~SandboxServer() { zel_net_close_socket(&m_Listening); }

bool SandboxServer::listen() {
  if (zel_net_open_listening_socket(&m_Listening, m_Options.host.c_str(), m_Options.port.c_str()) !=
      0) {
    std::cerr << "sandbox: cannot listen on " << m_Options.host << ":" << m_Options.port << ": "
              << zel_net_get_last_error() << std::endl;
    return false;
  }
  m_Port = zel_net_get_local_port(&m_Listening);
  return true;
}

int SandboxServer::port() const { return m_Port; }

void SandboxServer::serve() {
  unsigned long clients = 0;
  while (!m_Stopping.load()) {
    EngineConnection connection;
    if (!connection.accept(m_Listening, kPollSeconds)) continue;
    ++clients;
    m_Events << "client " << clients << " connected" << std::endl;
    serveClient(connection, clients);
    connection.close();
    m_Events << "client " << clients << " gone" << std::endl;
  }
}

void SandboxServer::serveClient(EngineConnection& connection, unsigned long client) {
  Session session(m_Options, m_Events, std::cerr);
  std::vector<ClientFrame> frames;
  while (!m_Stopping.load()) {
    frames.clear();
    const EngineConnection::ReadResult result = connection.receive(kPollSeconds, frames);
    for (const ClientFrame& frame : frames) {
      if (!frame.decoded) {
        std::cerr << "sandbox: client " << client << " sent a message that does not decode ("
                  << frame.payload.size() << " bytes); disconnected" << std::endl;
        return;
      }
      for (const SDK::EngineToClientMessage& reply : session.handle(frame.message)) {
        if (reply.has_loadingstate()) std::this_thread::sleep_for(kLoadingStepPause);
        if (!connection.sendMessage(reply)) {
          std::cerr << "sandbox: client " << client << ": cannot send: " << zel_net_get_last_error()
                    << std::endl;
          return;
        }
      }
    }
    switch (result) {
      case EngineConnection::ReadResult::Closed:
        return;
      case EngineConnection::ReadResult::BadFraming:
        std::cerr << "sandbox: client " << client << " sent a negative frame length; disconnected"
                  << std::endl;
        return;
      case EngineConnection::ReadResult::Frames:
      case EngineConnection::ReadResult::Nothing:
        break;
    }
  }
}

}  // namespace Sandbox
}  // namespace Vantrel
