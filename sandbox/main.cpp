// vantrel-sandbox-engine: a driving-simulation engine to develop and test clients against.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "Options.h"
#include "SandboxServer.h"

namespace {

Vantrel::Sandbox::SandboxServer* g_Server = nullptr;

extern "C" void stopServing(int) {
  if (g_Server != nullptr) g_Server->stop();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace Vantrel::Sandbox;
  const std::string program = "vantrel-sandbox-engine";
  EngineOptions options;
  std::string error;
  switch (parseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    case ParseResult::Help:
      std::cout << usage(program);
      return 0;
    case ParseResult::Error:
      std::cerr << program << ": " << error << " (see --help)" << std::endl;
      return 2;
    case ParseResult::Run:
      break;
  }

  SandboxServer server(options, std::cout);
  if (!server.listen()) return 1;
  g_Server = &server;
  std::signal(SIGINT, stopServing);
  std::signal(SIGTERM, stopServing);
  // Scripts that start the engine on port 0 read the port from this first line.
  std::cout << "listening on " << options.host << ":" << server.port() << std::endl;
  server.serve();
  g_Server = nullptr;
  return 0;
}
