// Connecting, announcing versions, sending frames and disconnecting, against the test engine.
#include <gtest/gtest.h>

#include "Capture.h"
#include "TestEngine.h"
#include "VantrelSim.h"

using namespace Vantrel::SDK;
using namespace Vantrel::Testing;
using namespace std::chrono_literals;

namespace {

VersionCommand* versions(const std::string& sdk, const std::string& oem) {
  auto* version = new VersionCommand;
  version->set_sdkversion(sdk);
  version->set_oemversion(oem);
  return version;
}

TEST(Connection, VersionCommandIsSentAndAcknowledged) {
  TestEngine engine;
  engine.awaitFrames(1).send(acknowledgement(0));
  VantrelSim sim;
  ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
  int result = -1;
  const std::string lines = stderrOf([&] { result = sim.setVersionCommand(versions("1.3.51", "oem 7")); });
  EXPECT_EQ(result, VANTREL_ERR_OK);
  EXPECT_EQ(lines, "sending the version  1.3.51\nsending the version  oem 7\n");
  ASSERT_TRUE(engine.waitForFrames(1, 2s));
  const ClientFrame sent = engine.frames()[0];
  ASSERT_TRUE(sent.decoded);
  EXPECT_EQ(sent.message.command().versioncommand().sdkversion(), "1.3.51");
  EXPECT_EQ(sent.message.command().versioncommand().oemversion(), "oem 7");
  EXPECT_EQ(sent.raw, frameHeader(sent.payload.size()) + sent.payload);
}

}  // namespace
