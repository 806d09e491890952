// The sandbox engine's server: it listens on one address, serves one client at a time with a
// Session of its own and, once that client has gone, takes the next. A client that sends bytes
// that do not decode, or a negative frame length, is told so on standard error and disconnected.
#ifndef VANTREL_SANDBOX_SERVER_H
#define VANTREL_SANDBOX_SERVER_H

#include <atomic>
#include <ostream>
#include <string>

#include "Options.h"
#include "zel_net.h"

namespace Vantrel {
namespace Testing {
class EngineConnection;
}
namespace Sandbox {

class SandboxServer {
 public:
  // `events` receives the story of each run (see Session); problems go to standard error.
  SandboxServer(EngineOptions options, std::ostream& events);
  ~SandboxServer();
  SandboxServer(const SandboxServer&) = delete;
  SandboxServer& operator=(const SandboxServer&) = delete;

  // Opens the listening socket on the options' host and port; false, with a line on standard
  // error, when that fails.
  bool listen();
  // The port listened on, the system's choice for port "0"; -1 before listen().
  int port() const;
  // Serves clients one after another until stop() is called.
  void serve();
  // Ends serve() within a fraction of a second; callable from any thread or a signal handler.
  void stop() { m_Stopping.store(true); }

 private:
  void serveClient(Testing::EngineConnection& connection, unsigned long client);

  EngineOptions m_Options;
  std::ostream& m_Events;
  zel_net_socket_t m_Listening;
  int m_Port = -1;
  std::atomic<bool> m_Stopping{false};
};

}  // namespace Sandbox
}  // namespace Vantrel

#endif
