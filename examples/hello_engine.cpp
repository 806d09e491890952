// The smallest client: start the test engine in this process, connect to it, announce the
// versions and print the engine's acknowledgement.
#include <iostream>

#include "TestEngine.h"
#include "VantrelSim.h"

int main() {
  using namespace Vantrel::SDK;
  Vantrel::Testing::TestEngine engine;
  engine.acknowledgeCommands(VANTREL_ERR_OK);

  VantrelSim sim;
  if (sim.connectToEngine(engine.connectionString()) != VANTREL_ERR_OK) {
    std::cerr << "cannot connect to the test engine at " << engine.connectionString() << "\n";
    return 1;
  }
  auto* version = new VersionCommand;  // the proxy takes it over
  version->set_sdkversion(sim.getSDKVersion());
  version->set_oemversion("hello_engine example");
  const int acknowledged = sim.setVersionCommand(version);
  std::cout << "engine at " << engine.connectionString() << " acknowledged the versions with code "
            << acknowledged << " (" << VantrelErr_Name(static_cast<VantrelErr>(acknowledged))
            << ")" << std::endl;
  sim.disconnectFromEngine();
  return acknowledged == VANTREL_ERR_OK ? 0 : 1;
}
