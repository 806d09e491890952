// A client built against an installed SDK: it starts the SDK's test engine in this process,
// connects, announces its versions and checks what came back and what went out. The build passes
// the SDK version it found (VANTREL_EXPECTED_SDK_VERSION), so that the package metadata, the
// library's own version and the version it sends are checked to be one.
#include <iostream>
#include <string>

#include "TestEngine.h"
#include "VantrelSim.h"

#ifndef VANTREL_EXPECTED_SDK_VERSION
#error "build with -DVANTREL_EXPECTED_SDK_VERSION=\"<the version of the SDK found>\""
#endif

namespace {

int fail(const std::string& what) {
  std::cerr << "consumer: " << what << std::endl;
  return 1;
}

}  // namespace

int main() {
  using namespace Vantrel::SDK;
  Vantrel::Testing::TestEngine engine;
  engine.acknowledgeCommands(VANTREL_ERR_OK);

  VantrelSim sim;
  if (sim.getSDKVersion() != VANTREL_EXPECTED_SDK_VERSION) {
    return fail("the library reports version " + sim.getSDKVersion() + ", the package " +
                VANTREL_EXPECTED_SDK_VERSION);
  }
  if (sim.connectToEngine(engine.connectionString()) != VANTREL_ERR_OK) {
    return fail("cannot connect to the test engine at " + engine.connectionString());
  }

  auto* version = new VersionCommand;  // the proxy takes it over
  version->set_sdkversion(sim.getSDKVersion());
  version->set_oemversion("installed-sdk consumer");
  const int acknowledged = sim.setVersionCommand(version);
  if (acknowledged != VANTREL_ERR_OK) {
    return fail("the versions were answered with " +
                VantrelErr_Name(static_cast<VantrelErr>(acknowledged)));
  }

  // What the engine received, read back through the message classes' reflection, which needs the
  // descriptor tables that the library exports.
  const auto frames = engine.frames();
  if (frames.size() != 1 || !frames[0].decoded) {
    return fail("the engine did not receive exactly one decodable frame");
  }
  const ClientToEngineMessage& sent = frames[0].message;
  if (sent.GetDescriptor()->full_name() != "Vantrel.SDK.ClientToEngineMessage" ||
      !sent.has_command() || !sent.command().has_versioncommand() ||
      sent.command().versioncommand().sdkversion() != VANTREL_EXPECTED_SDK_VERSION ||
      sent.command().versioncommand().oemversion() != "installed-sdk consumer") {
    return fail("the engine received " + sent.ShortDebugString());
  }

  sim.disconnectFromEngine();
  std::cout << "consumer: SDK " << sim.getSDKVersion() << " announced its versions and got "
            << VantrelErr_Name(VANTREL_ERR_OK) << std::endl;
  return 0;
}
