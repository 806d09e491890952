// A query that the engine answers with an acknowledgement instead of a reply: it waits out its
// whole 60 s time-out. A program of its own, labelled slow.
#include <gtest/gtest.h>

#include <chrono>

#include "Capture.h"
#include "TestEngine.h"
#include "VantrelSim.h"

using namespace Vantrel::SDK;
using namespace Vantrel::Testing;
using namespace std::chrono_literals;

namespace {

TEST(QueryTimeout, AnErrorMessageInsteadOfTheReplyTimesOutAndLeavesLastErrorAlone) {
  TestEngine engine;
  VantrelSim sim;
  ASSERT_EQ(sim.connectToEngine(engine.connectionString()), 0);
  // A refused version announcement gives lastError() a value of its own first.
  engine.awaitFrames(1).send(acknowledgement(VANTREL_ERR_BAD_PARAMS));
  auto* version = new VersionCommand;
  stderrOf([&] { EXPECT_EQ(sim.setVersionCommand(version), VANTREL_ERR_BAD_PARAMS); });
  ASSERT_EQ(sim.lastError(), VANTREL_ERR_BAD_PARAMS);

  engine.awaitFrames(2).send(acknowledgement(VANTREL_ERR_QUERY));
  std::string engineVersion = "stale text";
  int result = 1;
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(stderrOf([&] { result = sim.getEngineVersion(engineVersion); }), "");
  const auto waited = std::chrono::steady_clock::now() - begin;
  EXPECT_EQ(result, VANTREL_ERR_CONNECTION_TIMEOUT);
  EXPECT_GE(waited, 59s) << "the query gave up before its time-out";
  EXPECT_EQ(engineVersion, "stale text");
  EXPECT_EQ(sim.lastError(), VANTREL_ERR_BAD_PARAMS);

  // The acknowledgement was filed all the same and waits for the next acknowledgement wait.
  engine.send(loadingState(LoadingStateReport::Done));
  EXPECT_EQ(sim.waitForErrorMessage(5.0f), VANTREL_ERR_QUERY);
  EXPECT_EQ(sim.lastError(), VANTREL_ERR_QUERY);
}

}  // namespace
