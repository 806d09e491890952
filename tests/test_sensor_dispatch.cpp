// Delivering the queued sensor data to the registered Sensor<T> objects: which object is called, in
// which order, what is written when none is registered, and what callbacks may do meanwhile.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Capture.h"
#include "SensorSession.h"
#include "TestEngine.h"
#include "VantrelSim.h"

using namespace Vantrel::SDK;
using namespace Vantrel::Testing;
using namespace std::chrono_literals;

namespace {

using Calls = std::vector<std::string>;

SensorOutput out(SensorOutput::SensorTypeCase sensorType, uint32_t sensorId) {
  return sensorOutput(sensorType, sensorId);
}

template <typename T>
struct KindTag {
  using type = T;
};

// The twelve kinds that can be registered, with the SensorType member that carries each.
template <typename Visit>
void forEachKind(Visit visit) {
  visit(KindTag<RGBCameraOutput>{}, SensorOutput::kRgbCameraOutput);
  visit(KindTag<ROIOutput>{}, SensorOutput::kRoiOutput);
  visit(KindTag<GPSOutput>{}, SensorOutput::kGpsOutput);
  visit(KindTag<LidarOutput>{}, SensorOutput::kLidarOutput);
  visit(KindTag<E2COutput>{}, SensorOutput::kMsgToClientOutput);
  visit(KindTag<LaneDetectorOutput>{}, SensorOutput::kLaneDetectorOutput);
  visit(KindTag<SemanticInstanceLabelingOutput>{}, SensorOutput::kSemanticInstanceLabelingOutput);
  visit(KindTag<SemanticClassLabelingOutput>{}, SensorOutput::kSemanticClassLabelingOutput);
  visit(KindTag<CarTelemetriesOutput>{}, SensorOutput::kCarTelemetriesOutput);
  visit(KindTag<DepthCameraOutput>{}, SensorOutput::kDepthCameraOutput);
  visit(KindTag<RadarOutput>{}, SensorOutput::kRadarOutput);
  visit(KindTag<DynamicObjectGroundTruthOutput>{}, SensorOutput::kDynamicObjectGroundTruthOutput);
}

struct Registration {
  SensorOutput::SensorTypeCase kind;
  unsigned int sensorId;
};

// Recorders of any kind, labelled with the name of their output message ("GPSOutput").
class Recorders {
 public:
  explicit Recorders(CallLog& log) : m_Log(log) {}

  int add(SensorSession& session, const Registration& registration) {
    int result = -1;
    forEachKind([&](auto tag, SensorOutput::SensorTypeCase kind) {
      using T = typename decltype(tag)::type;
      if (kind != registration.kind) return;
      auto recorder = std::make_shared<Recorder<T>>(T::descriptor()->name(), m_Log);
      m_Recorders.push_back(recorder);
      result = session.registerSensor<T>(registration.sensorId, *recorder);
    });
    return result;
  }

 private:
  CallLog& m_Log;
  std::vector<std::shared_ptr<void>> m_Recorders;
};

std::vector<Registration> everyKindUnder(unsigned int sensorId) {
  std::vector<Registration> registrations;
  forEachKind([&](auto, SensorOutput::SensorTypeCase kind) {
    registrations.push_back({kind, sensorId});
  });
  return registrations;
}

std::vector<SensorOutput> everyKindFrom(unsigned int sensorId) {
  std::vector<SensorOutput> outputs;
  forEachKind(
      [&](auto, SensorOutput::SensorTypeCase kind) { outputs.push_back(out(kind, sensorId)); });
  return outputs;
}

struct DispatchCase {
  const char* name;
  std::vector<Registration> registered;
  std::vector<EngineToClientMessage> frames;  // in the order the engine sends them
  Calls calls;                                // in the order the objects are called
  std::string lines;                          // standard error meanwhile
  bool stoppedWhileQueued = false;  // dispatch first while stopped, then again after a new start
};

const SensorOutput::SensorTypeCase kNoType = SensorOutput::SENSORTYPE_NOT_SET;

TEST(SensorDispatch, DeliversEachOutputToItsKindsObject) {
  const DispatchCase cases[] = {
      {"newest entry first, the outputs of one entry in their order",
       {{SensorOutput::kGpsOutput, 7}, {SensorOutput::kLidarOutput, 3}},
       {sensorData(1, {out(SensorOutput::kGpsOutput, 7)}),
        sensorData(2, {out(SensorOutput::kGpsOutput, 7), out(SensorOutput::kLidarOutput, 3)})},
       {"GPSOutput 7 @2", "LidarOutput 3 @2", "GPSOutput 7 @1"},
       ""},
      {"an empty entry calls nothing",
       {{SensorOutput::kGpsOutput, 7}},
       {sensorData(1, {out(SensorOutput::kGpsOutput, 7)}), sensorData(2, {})},
       {"GPSOutput 7 @1"},
       ""},
      {"an output without an object is reported, the others still delivered",
       {{SensorOutput::kGpsOutput, 7}},
       {sensorData(1, {out(SensorOutput::kLidarOutput, 3), out(SensorOutput::kGpsOutput, 7)})},
       {"GPSOutput 7 @1"},
       "Received Lidar output for Lidar ID:3 without a Callback\n"},
      {"every kind reaches its own object",
       everyKindUnder(9),
       {sensorData(4, everyKindFrom(9))},
       {"RGBCameraOutput 9 @4", "ROIOutput 9 @4", "GPSOutput 9 @4", "LidarOutput 9 @4",
        "E2COutput 9 @4", "LaneDetectorOutput 9 @4", "SemanticInstanceLabelingOutput 9 @4",
        "SemanticClassLabelingOutput 9 @4", "CarTelemetriesOutput 9 @4", "DepthCameraOutput 9 @4",
        "RadarOutput 9 @4", "DynamicObjectGroundTruthOutput 9 @4"},
       ""},
      {"every kind without an object",
       {},
       {sensorData(1, everyKindFrom(42))},
       {},
       "Received RGB Camera output for Camera ID:42 without a Callback\n"
       "Received ROI output for ROI ID:42 without a Callback\n"
       "Received GPS output for GPS ID:42 without a Callback\n"
       "Received Lidar output for Lidar ID:42 without a Callback\n"
       "Received E2C output for E2C ID:42 without a Callback\n"
       "Received LaneDetector output for LaneDetector ID:42 without a Callback\n"
       "Received Semantic Instance Sensor output with no Callback\n"
       "Received Semantic Class Sensor output with no Callback\n"
       "Car telemetries output for Telemetry ID:42 without a Callback\n"
       "Received Depth Camera output for Camera ID:42 without a Callback\n"
       "Received Radar output for Radar ID:42 without a Callback\n"
       "Received Dynamic Object GT output DOGT ID:42 without a Callback\n"},
      {"the id is written unsigned",
       {},
       {sensorData(1, {out(SensorOutput::kRadarOutput, 4294967295u)})},
       {},
       "Received Radar output for Radar ID:4294967295 without a Callback\n"},
      {"an id registered in another kind only counts as not registered",
       {{SensorOutput::kGpsOutput, 5}, {SensorOutput::kSemanticClassLabelingOutput, 5}},
       {sensorData(1, {out(SensorOutput::kLidarOutput, 5),
                       out(SensorOutput::kSemanticInstanceLabelingOutput, 5)})},
       {},
       "Received Lidar output for Lidar ID:5 without a Callback\n"
       "Received Semantic Instance Sensor output with no Callback\n"},
      {"a wakeup output is passed over in silence",
       {{SensorOutput::kGpsOutput, 7}, {SensorOutput::kGpsOutput, 8}},
       {sensorData(1, {out(SensorOutput::kGpsOutput, 7), out(SensorOutput::kWakeupOutput, 7),
                       out(SensorOutput::kGpsOutput, 8)})},
       {"GPSOutput 7 @1", "GPSOutput 8 @1"},
       ""},
      {"an output with no type is unknown, whatever is registered under its id",
       {{SensorOutput::kGpsOutput, 7}},
       {sensorData(1, {out(kNoType, 7), out(SensorOutput::kGpsOutput, 7)})},
       {"GPSOutput 7 @1"},
       "Received unknown sensor output\n"},
      {"entries queued while stopped stay until the simulation runs again",
       {{SensorOutput::kGpsOutput, 7}},
       {sensorData(1, {out(SensorOutput::kGpsOutput, 7)}),
        sensorData(2, {out(SensorOutput::kGpsOutput, 7), out(kNoType, 7)})},
       {"GPSOutput 7 @2", "GPSOutput 7 @1"},
       "Received unknown sensor output\n",
       true},
  };
  for (const DispatchCase& c : cases) {
    SCOPED_TRACE(c.name);
    SensorSession session;
    CallLog log;
    Recorders recorders(log);
    for (const Registration& registration : c.registered) {
      ASSERT_EQ(recorders.add(session, registration), VANTREL_ERR_OK);
    }
    ASSERT_EQ(session.sim.start(Blocking), VANTREL_ERR_OK);
    for (const EngineToClientMessage& frame : c.frames) {
      ASSERT_EQ(session.advanceWith(frame), VANTREL_ERR_OK);
    }
    if (c.stoppedWhileQueued) {
      ASSERT_EQ(session.sim.stop(0, "paused"), VANTREL_ERR_OK);
      EXPECT_EQ(stderrOf([&] { EXPECT_EQ(session.sim.dispatchMessages(), VANTREL_ERR_OK); }), "");
      EXPECT_TRUE(log.empty());
      ASSERT_EQ(session.sim.start(Blocking), VANTREL_ERR_OK);
    }

    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(session.sim.dispatchMessages(), VANTREL_ERR_OK); }),
              c.lines);
    EXPECT_EQ(callsIn(log), c.calls);
    for (size_t i = 1; i < log.size(); ++i) {
      if (log[i].frameNumber != log[i - 1].frameNumber) continue;
      EXPECT_EQ(log[i].envelope, log[i - 1].envelope) << "the outputs of one entry share it";
    }

    log.clear();
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(session.sim.dispatchMessages(), VANTREL_ERR_OK); }), "")
        << "every entry was taken out of the list";
    EXPECT_TRUE(log.empty());
  }
}

TEST(SensorDispatch, NothingIsQueuedBeforeTheFirstFrame) {
  SensorSession session;
  ASSERT_EQ(session.sim.start(Blocking), VANTREL_ERR_OK);
  EXPECT_EQ(stderrOf([&] { EXPECT_EQ(session.sim.dispatchMessages(), VANTREL_ERR_OK); }), "");
}

// A fixture of three objects: GPS 1 and 2 and lidar 3, with frame 1 {GPS 1} and frame 2 {GPS 2,
// lidar 3} queued, the simulation running.
class TwoQueuedFrames : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(session.registerSensor(1, gps), VANTREL_ERR_OK);
    ASSERT_EQ(session.registerSensor(2, gps), VANTREL_ERR_OK);
    ASSERT_EQ(session.registerSensor(3, lidar), VANTREL_ERR_OK);
    ASSERT_EQ(session.sim.start(Blocking), VANTREL_ERR_OK);
    ASSERT_EQ(session.advanceWith(sensorData(1, {out(SensorOutput::kGpsOutput, 1)})),
              VANTREL_ERR_OK);
    ASSERT_EQ(session.advanceWith(sensorData(
                  2, {out(SensorOutput::kGpsOutput, 2), out(SensorOutput::kLidarOutput, 3)})),
              VANTREL_ERR_OK);
  }

  bool isRunning() {
    bool running = false;
    session.sim.isRunning(running);
    return running;
  }

  SensorSession session;
  CallLog log;
  Recorder<GPSOutput> gps{"GPS", log};
  Recorder<LidarOutput> lidar{"Lidar", log};
};

// Whether the client stops or the engine ends the simulation while a callback runs, the rest of
// that entry is still delivered and the older entries wait for the next run.
TEST_F(TwoQueuedFrames, EndingTheSimulationInACallbackEndsTheCallAfterItsEntry) {
  gps.then = [&](const EngineToClientMessage&, const SensorOutput&, const GPSOutput&) {
    EXPECT_EQ(session.sim.stop(0, "enough"), VANTREL_ERR_OK);
  };
  EXPECT_EQ(session.sim.dispatchMessages(), VANTREL_ERR_OK);
  EXPECT_EQ(callsIn(log), (Calls{"GPS 2 @2", "Lidar 3 @2"}));
  EXPECT_FALSE(isRunning());
  const size_t stopFrame = 7;  // after three registrations, the start and two frames
  ASSERT_TRUE(session.engine.waitForFrames(stopFrame, 5s));
  EXPECT_EQ(session.engine.frames()[stopFrame - 1]
                .message.command()
                .simulationcommand()
                .stopsimulation()
                .reasontext(),
            "enough");

  gps.then = [&](const EngineToClientMessage&, const SensorOutput&, const GPSOutput&) {
    session.answerNextFrameWith(endOfSimulation("over"));
    EXPECT_EQ(session.sim.advanceFramesAndBlockForMessages(SensorSession::kFrameTimeout),
              VANTREL_ERR_DISCONNECTED);
  };
  ASSERT_EQ(session.sim.start(Blocking), VANTREL_ERR_OK);
  ASSERT_EQ(session.advanceWith(sensorData(
                4, {out(SensorOutput::kGpsOutput, 1), out(SensorOutput::kLidarOutput, 3)})),
            VANTREL_ERR_OK);
  log.clear();
  EXPECT_EQ(stdoutOf([&] { EXPECT_EQ(session.sim.dispatchMessages(), VANTREL_ERR_OK); }),
            "Simulation Ended, Reason: over\n");
  EXPECT_EQ(callsIn(log), (Calls{"GPS 1 @4", "Lidar 3 @4"}));
  EXPECT_FALSE(isRunning());

  gps.then = nullptr;
  ASSERT_EQ(session.sim.start(Blocking), VANTREL_ERR_OK);
  log.clear();
  EXPECT_EQ(session.sim.dispatchMessages(), VANTREL_ERR_OK);
  EXPECT_EQ(callsIn(log), (Calls{"GPS 1 @1"}));
}

// Callbacks that read from the engine let new entries in behind the one being walked: they come
// later in the same call, newest first, and the walked entry stays as it was.
TEST_F(TwoQueuedFrames, EntriesAppendedByACallbackAreDeliveredInTheSameCall) {
  bool advanced = false;
  gps.then = [&](const EngineToClientMessage& message, const SensorOutput& output,
                 const GPSOutput&) {
    if (advanced) return;
    advanced = true;
    EXPECT_EQ(session.advanceWith(sensorData(3, {out(SensorOutput::kLidarOutput, 3)})),
              VANTREL_ERR_OK);
    EXPECT_EQ(session.advanceWith(sensorData(4, {out(SensorOutput::kGpsOutput, 1)})),
              VANTREL_ERR_OK);
    EXPECT_EQ(message.framenumber(), 2u);
    ASSERT_EQ(message.registerreport().sensorsoutput_size(), 2);
    EXPECT_EQ(&message.registerreport().sensorsoutput(0), &output);
    EXPECT_EQ(message.registerreport().sensorsoutput(1).outputsensorid(), 3u);
  };
  EXPECT_EQ(session.sim.dispatchMessages(), VANTREL_ERR_OK);
  EXPECT_EQ(callsIn(log), (Calls{"GPS 2 @2", "Lidar 3 @2", "GPS 1 @4", "Lidar 3 @3", "GPS 1 @1"}));
  log.clear();
  EXPECT_EQ(session.sim.dispatchMessages(), VANTREL_ERR_OK);
  EXPECT_TRUE(log.empty());
}

// The entry whose callback threw goes back to its place: behind the entries that arrived while it
// was walked, in front of the older ones. The next call delivers it again from its first output.
TEST_F(TwoQueuedFrames, AThrowingCallbackLeavesItsEntryQueuedInItsPlace) {
  bool advanced = false;
  gps.then = [&](const EngineToClientMessage& message, const SensorOutput&, const GPSOutput&) {
    if (advanced || message.framenumber() != 2) return;
    advanced = true;
    EXPECT_EQ(session.advanceWith(sensorData(3, {out(SensorOutput::kGpsOutput, 1)})),
              VANTREL_ERR_OK);
  };
  int throwsLeft = 1;
  lidar.then = [&](const EngineToClientMessage&, const SensorOutput&, const LidarOutput&) {
    if (throwsLeft-- > 0) throw std::runtime_error("lidar callback failed");
  };
  EXPECT_THROW(session.sim.dispatchMessages(), std::runtime_error);
  EXPECT_EQ(callsIn(log), (Calls{"GPS 2 @2", "Lidar 3 @2"}));

  log.clear();
  EXPECT_EQ(session.sim.dispatchMessages(), VANTREL_ERR_OK);
  EXPECT_EQ(callsIn(log), (Calls{"GPS 1 @3", "GPS 2 @2", "Lidar 3 @2", "GPS 1 @1"}));
}

}  // namespace
