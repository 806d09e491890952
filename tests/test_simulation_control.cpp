// Scene loading, start and stop, configuration, log lines and the frame loop, against the test
// engine. Replies are scripted to follow a given client frame, so every read brings exactly the
// messages a case names.
#include <gtest/gtest.h>

#include <chrono>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "Capture.h"
#include "TestEngine.h"
#include "VantrelSim.h"

using namespace Vantrel::SDK;
using namespace Vantrel::Testing;
using namespace std::chrono_literals;

namespace {

using State = LoadingStateReport_stateType;
using States = std::vector<State>;

// The proxy deletes the object it was given, so what it records lives with the test.
class RecordingLoadingState : public LoadingState {
 public:
  explicit RecordingLoadingState(States* seen, bool* destroyed = nullptr)
      : m_Seen(seen), m_Destroyed(destroyed) {}
  ~RecordingLoadingState() override {
    if (m_Destroyed != nullptr) *m_Destroyed = true;
  }
  void onLoadingStateChanged(State state) override {
    if (m_Seen != nullptr) m_Seen->push_back(state);
  }

 private:
  States* m_Seen;
  bool* m_Destroyed;
};

EngineToClientMessage sensorData() {
  EngineToClientMessage message;
  message.mutable_registerreport();
  return message;
}

EngineToClientMessage queryReport() {
  EngineToClientMessage message;
  message.mutable_queryreport();
  return message;
}

// Far below the 180-second wait for loading progress: a call that waited would not make it.
constexpr double kAtOnce = 5.0;

template <typename Action>
double secondsTaken(Action&& action) {
  const auto start = std::chrono::steady_clock::now();
  action();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string payloadHex(const TestEngine& engine, size_t index) {
  if (!engine.waitForFrames(index + 1, 2s)) return "no frame " + std::to_string(index);
  return hexOf(engine.frames()[index].payload);
}

// Sends a log line as a marker and checks that it is the only frame after the first `before`:
// anything sent in between would have arrived ahead of it.
void expectNothingSentSince(size_t before, TestEngine& engine, VantrelSim& sim) {
  ASSERT_EQ(sim.log(0, "marker"), VANTREL_ERR_OK);
  ASSERT_TRUE(engine.waitForFrames(before + 1, 2s));
  const std::vector<ClientFrame> frames = engine.frames();
  ASSERT_EQ(frames.size(), before + 1);
  EXPECT_EQ(frames.back().message.command().logcommand().msg(), "marker");
}

// Client frame 1 is the start command, which the engine accepts.
void connectAndStart(TestEngine& engine, VantrelSim& sim) {
  engine.awaitFrames(1).send(acknowledgement(0));
  ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
  ASSERT_EQ(sim.start(Blocking), VANTREL_ERR_OK);
}

bool runningOf(VantrelSim& sim) {
  bool running = false;
  EXPECT_EQ(sim.isRunning(running), VANTREL_ERR_OK);
  return running;
}

// ---- Scene loading ------------------------------------------------------------------------------

struct LoadingCase {
  const char* name;
  std::vector<States> reads;  // what the engine sends before each call, in one write
  bool registered;
  std::vector<bool> loadingAfter;  // `loading` after each call
  States seen;
};

TEST(SceneLoading, StatesAreTakenInNewestFirstAndDoneEndsTheLoading) {
  const LoadingCase cases[] = {
      {"one read",
       {{LoadingStateReport::Terrain, LoadingStateReport::Sensors, LoadingStateReport::Done}},
       true,
       {false},
       {LoadingStateReport::Done, LoadingStateReport::Sensors, LoadingStateReport::Terrain}},
      {"two reads",
       {{LoadingStateReport::Terrain},
        {LoadingStateReport::SpawningCars, LoadingStateReport::Done}},
       true,
       {true, false},
       {LoadingStateReport::Terrain, LoadingStateReport::Done, LoadingStateReport::SpawningCars}},
      {"no LoadingState registered",
       {{LoadingStateReport::Sensors, LoadingStateReport::Done}},
       false,
       {false},
       {}},
  };
  for (const LoadingCase& c : cases) {
    SCOPED_TRACE(c.name);
    TestEngine engine;
    for (size_t read = 0; read < c.reads.size(); ++read) {
      std::vector<EngineToClientMessage> messages;
      for (State state : c.reads[read]) messages.push_back(loadingState(state));
      // Before each later read the client sends a marker, so no read runs ahead of its call.
      engine.awaitFrames(read).sendTogether(messages);
    }
    States seen;
    VantrelSim sim;
    if (c.registered) sim.registerLoadingStateCallback(*new RecordingLoadingState(&seen));
    ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
    for (size_t call = 0; call < c.reads.size(); ++call) {
      if (call > 0) {
        ASSERT_EQ(sim.log(0, "next"), VANTREL_ERR_OK);
      }
      bool loading = !c.loadingAfter[call];
      EXPECT_EQ(sim.isLoadingScene(loading), VANTREL_ERR_OK);
      ASSERT_EQ(loading, c.loadingAfter[call]) << "call " << call;
    }
    EXPECT_EQ(seen, c.seen);

    // Once the loading is over the call answers at once: the engine sends nothing more.
    bool loading = true;
    int result = -1;
    EXPECT_LT(secondsTaken([&] { result = sim.isLoadingScene(loading); }), kAtOnce);
    EXPECT_EQ(result, VANTREL_ERR_OK);
    EXPECT_FALSE(loading);
    EXPECT_EQ(seen, c.seen);
  }
}

TEST(SceneLoading, UnconnectedProxyTimesOutAtOnceAndLeavesLoadingUnwritten) {
  for (const bool before : {true, false}) {
    VantrelSim sim;
    bool loading = before;
    int result = 0;
    EXPECT_LT(secondsTaken([&] { result = sim.isLoadingScene(loading); }), kAtOnce);
    EXPECT_EQ(result, VANTREL_ERR_CONNECTION_TIMEOUT);
    EXPECT_EQ(loading, before);
  }
}

TEST(SceneLoading, StatesQueuedDuringAnotherWaitAreTakenInWithoutWaiting) {
  TestEngine engine;
  // The query reply ends the query wait; the loading states that came with it stay queued.
  engine.sendTogether({loadingState(LoadingStateReport::Sensors),
                       loadingState(LoadingStateReport::Done), queryReport()});
  // A state that only a fresh wait would take in.
  engine.awaitFrames(1).send(loadingState(LoadingStateReport::Terrain));
  States seen;
  VantrelSim sim;
  sim.registerLoadingStateCallback(*new RecordingLoadingState(&seen));
  ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
  ASSERT_EQ(sim.waitForQueryMessage(60.0f), VANTREL_ERR_OK);
  ASSERT_EQ(sim.log(0, "marker"), VANTREL_ERR_OK);
  ASSERT_TRUE(engine.waitForScript(2s));

  bool loading = true;
  EXPECT_EQ(sim.isLoadingScene(loading), VANTREL_ERR_OK);
  EXPECT_FALSE(loading);
  EXPECT_EQ(seen, (States{LoadingStateReport::Done, LoadingStateReport::Sensors}));
}

TEST(SceneLoading, ReplacingTheLoadingStateDeletesTheOneBefore) {
  TestEngine engine;
  engine.send(loadingState(LoadingStateReport::Done));
  bool firstDeleted = false;
  bool secondDeleted = false;
  States seenBySecond;
  {
    VantrelSim sim;
    auto* first = new RecordingLoadingState(nullptr, &firstDeleted);
    auto* second = new RecordingLoadingState(&seenBySecond, &secondDeleted);
    sim.registerLoadingStateCallback(*first);
    sim.registerLoadingStateCallback(*first);
    EXPECT_FALSE(firstDeleted) << "registered again, the same object stays";
    sim.registerLoadingStateCallback(*second);
    EXPECT_TRUE(firstDeleted);
    sim.registerLoadingStateCallback(*second);
    EXPECT_FALSE(secondDeleted);

    ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
    bool loading = true;
    EXPECT_EQ(sim.isLoadingScene(loading), VANTREL_ERR_OK);
    EXPECT_EQ(seenBySecond, States{LoadingStateReport::Done});
  }
  EXPECT_TRUE(secondDeleted) << "the proxy deletes the last one when it goes";
}

// ---- Start and stop -----------------------------------------------------------------------------

TEST(Start, RefusedByTheEngineLeavesTheSimulationStopped) {
  TestEngine engine;
  engine.awaitFrames(1).send(acknowledgement(VANTREL_ERR_START_FAILED));
  VantrelSim sim;
  ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
  EXPECT_EQ(sim.start(NonBlocking), VANTREL_ERR_START_FAILED);
  EXPECT_EQ(sim.lastError(), VANTREL_ERR_START_FAILED);
  EXPECT_FALSE(runningOf(sim));
}

TEST(Start, EveryNonZeroMethodAsksForABlockingRun) {
  const struct {
    runMethod method;
    const char* payload;
  } cases[] = {
      {NonBlocking, "5a 04 5a 02 52 00"},  // isBlocking false: the field is absent
      {Blocking, "5a 06 5a 04 52 02 08 01"},
      {static_cast<runMethod>(7), "5a 06 5a 04 52 02 08 01"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.method));
    TestEngine engine;
    engine.awaitFrames(1).send(acknowledgement(0));
    VantrelSim sim;
    ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
    EXPECT_EQ(sim.start(c.method), VANTREL_ERR_OK);
    EXPECT_TRUE(runningOf(sim));
    EXPECT_EQ(payloadHex(engine, 0), c.payload);
  }
}

TEST(Stop, SendsNothingWhileNotRunning) {
  TestEngine engine;
  engine.awaitFrames(2).send(acknowledgement(0));  // frame 1 is the first marker
  VantrelSim sim;
  ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
  EXPECT_EQ(sim.stop(3, "never started"), VANTREL_ERR_OK);
  expectNothingSentSince(0, engine, sim);

  ASSERT_EQ(sim.start(Blocking), VANTREL_ERR_OK);
  ASSERT_EQ(sim.stop(0, "first"), VANTREL_ERR_OK);
  EXPECT_EQ(sim.stop(0, "second"), VANTREL_ERR_OK);
  expectNothingSentSince(3, engine, sim);
}

TEST(Stop, SendsTheReasonAndEndsTheRun) {
  const struct {
    int reasonId;
    const char* reasonText;
    const char* payload;
  } cases[] = {
      {7, "done", "5a 0c 5a 0a 5a 08 08 07 12 04 64 6f 6e 65"},
      {-1, "bye", "5a 0f 5a 0d 5a 0b 08 ff ff ff ff 0f 12 03 62 79 65"},  // 0xffffffff
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reasonId);
    TestEngine engine;
    VantrelSim sim;
    ASSERT_NO_FATAL_FAILURE(connectAndStart(engine, sim));
    EXPECT_EQ(sim.stop(c.reasonId, c.reasonText), VANTREL_ERR_OK);
    EXPECT_FALSE(runningOf(sim));
    EXPECT_EQ(payloadHex(engine, 1), c.payload);
  }
}

TEST(Stop, FailedSendKeepsTheSimulationRunning) {
  TestEngine engine;
  engine.awaitFrames(1).send(acknowledgement(0)).closeConnection();
  VantrelSim sim;
  ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
  ASSERT_EQ(sim.start(Blocking), VANTREL_ERR_OK);
  ASSERT_TRUE(engine.waitForScript(2s));
  // The kernel may still accept the first bytes after the engine has gone; the reset they draw
  // makes every later send fail. Probe with log lines, which leave the flags alone.
  int probe = VANTREL_ERR_OK;
  for (int attempt = 0; attempt < 200 && probe == VANTREL_ERR_OK; ++attempt) {
    probe = sim.log(0, "probe");
    if (probe == VANTREL_ERR_OK) std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(probe, VANTREL_ERR_CONNECTION_FAILED);

  EXPECT_EQ(sim.stop(5, "engine gone"), VANTREL_ERR_CONNECTION_FAILED);
  EXPECT_TRUE(runningOf(sim));
}

// ---- Log lines and configuration ----------------------------------------------------------------

TEST(Log, SentInEveryStateUpToTheFirstNulWithTheLevelUnsigned) {
  TestEngine engine;
  engine.awaitFrames(2).send(acknowledgement(0));             // frame 2: start
  engine.awaitFrames(4).send(endOfSimulation("scene over"));  // frame 4: next frame
  VantrelSim sim;
  ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);

  // Scene loading, not running.
  EXPECT_EQ(sim.log(3, "ok"), VANTREL_ERR_OK);
  ASSERT_EQ(sim.start(Blocking), VANTREL_ERR_OK);
  // Running.
  EXPECT_EQ(sim.log(-2, std::string("hi\0there", 8)), VANTREL_ERR_OK);
  stdoutOf(
      [&] { EXPECT_EQ(sim.advanceFramesAndBlockForMessages(5.0f), VANTREL_ERR_DISCONNECTED); });
  // Ended by the engine.
  EXPECT_EQ(sim.log(0, std::string("\0x", 2)), VANTREL_ERR_OK);

  EXPECT_EQ(payloadHex(engine, 0), "5a 08 6a 06 08 03 12 02 6f 6b");
  EXPECT_EQ(payloadHex(engine, 2), "5a 0c 6a 0a 08 fe ff ff ff 0f 12 02 68 69");  // 0xfffffffe
  EXPECT_EQ(payloadHex(engine, 4), "5a 02 6a 00");
}

ConfigurationCommand* smallConfiguration() {
  auto* configuration = new ConfigurationCommand;
  configuration->mutable_timestepconfig()->set_fixeddeltatime(0.05f);
  configuration->mutable_timestepconfig()->set_fps(20);
  configuration->set_optimizerendering(true);
  return configuration;
}

TEST(Configuration, SentAsGivenAndAnsweredWithTheEngineCode) {
  for (const int code : {0, static_cast<int>(VANTREL_ERR_BAD_TIMING_SETTINGS)}) {
    SCOPED_TRACE(code);
    TestEngine engine;
    engine.awaitFrames(1).send(acknowledgement(code));
    VantrelSim sim;
    ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
    EXPECT_EQ(sim.setConfiguration(smallConfiguration()), code);
    EXPECT_EQ(sim.lastError(), code);
    EXPECT_EQ(payloadHex(engine, 0), "5a 0d 72 0b 0a 07 0d cd cc 4c 3d 18 14 18 01");
  }
}

TEST(Configuration, NullIsRefusedWithoutSending) {
  TestEngine engine;
  VantrelSim sim;
  ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
  EXPECT_EQ(sim.setConfiguration(nullptr), VANTREL_ERR_BAD_PARAMS);
  expectNothingSentSince(0, engine, sim);
}

// ---- The frame loop -----------------------------------------------------------------------------

TEST(Advance, RefusedWhileNotRunning) {
  TestEngine engine;
  VantrelSim sim;
  ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
  int result = 0;
  EXPECT_EQ(stderrOf([&] { result = sim.advanceFramesAndBlockForMessages(5.0f); }),
            "Simulation not running\n");
  EXPECT_EQ(result, VANTREL_ERR_UNEXPECTED);
  expectNothingSentSince(0, engine, sim);
}

TEST(Advance, ReadWithoutSensorDataFailsAndLateDataStayQueued) {
  TestEngine engine;
  VantrelSim sim;
  ASSERT_NO_FATAL_FAILURE(connectAndStart(engine, sim));
  engine.awaitFrames(2).send(acknowledgement(0));  // the answer to the first next frame
  engine.awaitFrames(3).send(sensorData());        // after the marker: late
  engine.awaitFrames(4).send(acknowledgement(0));  // the second next frame: no data either

  int result = 0;
  EXPECT_EQ(stderrOf([&] { result = sim.advanceFramesAndBlockForMessages(5.0f); }),
            "should not awake if m_SensorDataList is empty\n");
  EXPECT_EQ(result, VANTREL_ERR_UNEXPECTED);

  // The scene never reported Done, so isLoadingScene waits once: it takes in the late data.
  ASSERT_EQ(sim.log(0, "marker"), VANTREL_ERR_OK);
  bool loading = false;
  ASSERT_EQ(sim.isLoadingScene(loading), VANTREL_ERR_OK);
  EXPECT_TRUE(loading);

  EXPECT_EQ(sim.advanceFramesAndBlockForMessages(5.0f), VANTREL_ERR_OK);
  EXPECT_EQ(payloadHex(engine, 1), "5a 04 5a 02 62 00");
  EXPECT_EQ(payloadHex(engine, 3), "5a 04 5a 02 62 00");
}

TEST(Advance, TimesOutWhenNoAnswerComes) {
  TestEngine engine;
  VantrelSim sim;
  ASSERT_NO_FATAL_FAILURE(connectAndStart(engine, sim));
  engine.awaitFrames(2).send(sensorData());
  EXPECT_EQ(sim.advanceFramesAndBlockForMessages(5.0f), VANTREL_ERR_OK);
  EXPECT_EQ(sim.advanceFramesAndBlockForMessages(0.2f), VANTREL_ERR_CONNECTION_TIMEOUT);
  EXPECT_TRUE(runningOf(sim));
}

TEST(Advance, EndOfSimulationEndsTheRun) {
  const EngineToClientMessage end = endOfSimulation("scenario finished");
  const struct {
    const char* name;
    std::vector<EngineToClientMessage> read;
    int result;
  } cases[] = {
      {"alone", {end}, VANTREL_ERR_DISCONNECTED},
      {"after sensor data", {sensorData(), end}, VANTREL_ERR_DISCONNECTED},
      {"followed by sensor data", {end, sensorData()}, VANTREL_ERR_OK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestEngine engine;
    VantrelSim sim;
    ASSERT_NO_FATAL_FAILURE(connectAndStart(engine, sim));
    engine.awaitFrames(2).sendTogether(c.read);

    int result = 0;
    EXPECT_EQ(stdoutOf([&] { result = sim.advanceFramesAndBlockForMessages(5.0f); }),
              "Simulation Ended, Reason: scenario finished\n");
    EXPECT_EQ(result, c.result);
    EXPECT_FALSE(runningOf(sim));
    bool loading = true;
    EXPECT_LT(secondsTaken([&] { EXPECT_EQ(sim.isLoadingScene(loading), VANTREL_ERR_OK); }),
              kAtOnce);
    EXPECT_FALSE(loading);

    // No stop goes out on disconnecting: the engine sees start, next frame, then the marker
    // that the proxy sends once connected again.
    EXPECT_EQ(sim.disconnectFromEngine(), VANTREL_ERR_OK);
    ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
    expectNothingSentSince(2, engine, sim);
  }
}

TEST(Advance, CurrentFrameAndTimeComeFromTheLastMessageOfAnyKind) {
  const struct {
    const char* kind;
    EngineToClientMessage message;
    unsigned int frame;
    float time;
  } cases[] = {
      {"acknowledgement", acknowledgement(0), 11, 1.5f},
      {"sensor data", sensorData(), 12, 2.0f},
      {"loading state", loadingState(LoadingStateReport::Terrain), 13, 2.5f},
      {"query report", queryReport(), 14, 3.0f},
      {"no report", EngineToClientMessage(), 15, 3.5f},
      {"end of simulation", endOfSimulation("last"), 16, 4.0f},  // ends the loading: last
  };
  TestEngine engine;
  VantrelSim sim;
  unsigned int frame = 1;
  float time = 1.0f;
  EXPECT_EQ(sim.getCurrFrame(frame), VANTREL_ERR_OK);
  EXPECT_EQ(sim.getCurrSimulationTime(time), VANTREL_ERR_OK);
  EXPECT_EQ(frame, 0u);
  EXPECT_EQ(time, 0.0f);

  ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].kind);
    engine.awaitFrames(i + 1).send(stamped(cases[i].message, cases[i].frame, cases[i].time));
    ASSERT_EQ(sim.log(0, cases[i].kind), VANTREL_ERR_OK);
    // While the scene loads, isLoadingScene waits once for whatever comes.
    bool loading = false;
    stdoutOf([&] { stderrOf([&] { sim.isLoadingScene(loading); }); });
    EXPECT_EQ(sim.getCurrFrame(frame), VANTREL_ERR_OK);
    EXPECT_EQ(sim.getCurrSimulationTime(time), VANTREL_ERR_OK);
    EXPECT_EQ(frame, cases[i].frame);
    EXPECT_EQ(time, cases[i].time);
  }
}

}  // namespace
