// Registering Sensor<T> objects: the registration commands on the wire, the acknowledgement, and
// which object receives a sensor's output afterwards.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "Capture.h"
#include "SensorSession.h"
#include "TestEngine.h"
#include "VantrelSim.h"

using namespace Vantrel::SDK;
using namespace Vantrel::Testing;
using namespace std::chrono_literals;

namespace {

// Exactly the twelve output kinds can be registered, each in its one form; a wrong type is refused
// by registerSensor's static_assert on these traits at compile time.
template <typename T>
constexpr bool registeredByCar =
    detail::SensorKind<T>::isCarSensor && !detail::SensorKind<T>::isGlobalSensor;
static_assert(registeredByCar<RGBCameraOutput> && registeredByCar<ROIOutput> &&
              registeredByCar<GPSOutput> && registeredByCar<LidarOutput> &&
              registeredByCar<E2COutput> && registeredByCar<LaneDetectorOutput> &&
              registeredByCar<SemanticInstanceLabelingOutput> &&
              registeredByCar<SemanticClassLabelingOutput> &&
              registeredByCar<CarTelemetriesOutput> && registeredByCar<DepthCameraOutput> &&
              registeredByCar<RadarOutput>);
static_assert(detail::SensorKind<DynamicObjectGroundTruthOutput>::isGlobalSensor &&
              !detail::SensorKind<DynamicObjectGroundTruthOutput>::isCarSensor);
static_assert(!detail::SensorKind<WakeupOutput>::isCarSensor &&
              !detail::SensorKind<WakeupOutput>::isGlobalSensor);
static_assert(!detail::SensorKind<SensorOutput>::isCarSensor &&
              !detail::SensorKind<SensorOutput>::isGlobalSensor);

struct RegistrationBytes {
  const char* name;
  std::function<int(VantrelSim&, Recorder<GPSOutput>&, Recorder<DynamicObjectGroundTruthOutput>&)>
      registration;
  const char* payload;  // the encoded ClientToEngineMessage
};

TEST(SensorRegistration, SendsTheRegistrationCommand) {
  const RegistrationBytes cases[] = {
      {"car 3, sensor 5", [](auto& sim, auto& gps, auto&) { return sim.registerSensor(3, 5, gps); },
       "5a 06 62 04 10 05 52 00"},
      {"car 0, sensor 5: the car id is not sent",
       [](auto& sim, auto& gps, auto&) { return sim.registerSensor(0, 5, gps); },
       "5a 06 62 04 10 05 52 00"},
      {"sensor 0: no id field at all",
       [](auto& sim, auto& gps, auto&) { return sim.registerSensor(3, 0, gps); },
       "5a 04 62 02 52 00"},
      {"global sensor 5", [](auto& sim, auto&, auto& dogt) { return sim.registerSensor(5, dogt); },
       "5a 06 7a 04 08 05 52 00"},
      {"global sensor 0", [](auto& sim, auto&, auto& dogt) { return sim.registerSensor(0, dogt); },
       "5a 04 7a 02 52 00"},
  };
  for (const RegistrationBytes& c : cases) {
    SCOPED_TRACE(c.name);
    SensorSession session;
    CallLog log;
    Recorder<GPSOutput> gps("gps", log);
    Recorder<DynamicObjectGroundTruthOutput> dogt("dogt", log);
    EXPECT_EQ(c.registration(session.sim, gps, dogt), VANTREL_ERR_OK);
    EXPECT_EQ(session.sim.lastError(), VANTREL_ERR_OK);
    const std::vector<ClientFrame> sent = session.engine.frames();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(hexOf(sent[0].payload), c.payload);
    EXPECT_EQ(sent[0].raw, frameHeader(sent[0].payload.size()) + sent[0].payload);
  }
}

// Runs the simulation, delivers one frame with `outputs` and returns what was written meanwhile.
std::string deliverOneFrame(SensorSession& session, const std::vector<SensorOutput>& outputs) {
  EXPECT_EQ(session.sim.start(Blocking), VANTREL_ERR_OK);
  EXPECT_EQ(session.advanceWith(sensorData(1, outputs)), VANTREL_ERR_OK);
  return stderrOf([&] { EXPECT_EQ(session.sim.dispatchMessages(), VANTREL_ERR_OK); });
}

TEST(SensorRegistration, TheLaterObjectForAKindAndIdReplacesTheEarlier) {
  SensorSession session;
  CallLog log;
  Recorder<GPSOutput> first("first", log);
  Recorder<GPSOutput> second("second", log);
  ASSERT_EQ(session.sim.registerSensor(3, 5, first), VANTREL_ERR_OK);
  ASSERT_EQ(session.sim.registerSensor(0, 5, second), VANTREL_ERR_OK);
  EXPECT_EQ(deliverOneFrame(session, {sensorOutput(SensorOutput::kGpsOutput, 5)}), "");
  EXPECT_EQ(callsIn(log), (std::vector<std::string>{"second 5 @1"}));
}

TEST(SensorRegistration, OneIdInTwoKindsReachesEachKindsObject) {
  SensorSession session;
  CallLog log;
  Recorder<GPSOutput> gps("gps", log);
  Recorder<LidarOutput> lidar("lidar", log);
  Recorder<DynamicObjectGroundTruthOutput> dogt("dogt", log);
  ASSERT_EQ(session.sim.registerSensor(1, 5, gps), VANTREL_ERR_OK);
  ASSERT_EQ(session.sim.registerSensor(2, 5, lidar), VANTREL_ERR_OK);
  ASSERT_EQ(session.sim.registerSensor(5, dogt), VANTREL_ERR_OK);
  EXPECT_EQ(
      deliverOneFrame(session, {sensorOutput(SensorOutput::kLidarOutput, 5),
                                sensorOutput(SensorOutput::kDynamicObjectGroundTruthOutput, 5),
                                sensorOutput(SensorOutput::kGpsOutput, 5)}),
      "");
  EXPECT_EQ(callsIn(log), (std::vector<std::string>{"lidar 5 @1", "dogt 5 @1", "gps 5 @1"}));
}

TEST(SensorRegistration, ARefusalReturnsTheEnginesCodeAndRecordsNothing) {
  SensorSession session;
  CallLog log;
  Recorder<GPSOutput> earlier("earlier", log);
  Recorder<GPSOutput> refused("refused", log);
  ASSERT_EQ(session.sim.registerSensor(1, 5, earlier), VANTREL_ERR_OK);

  session.acknowledgeWith(VANTREL_ERR_UNEXPECTED);
  EXPECT_EQ(session.sim.registerSensor(1, 5, refused), VANTREL_ERR_UNEXPECTED);
  EXPECT_EQ(session.sim.lastError(), VANTREL_ERR_UNEXPECTED);
  EXPECT_EQ(session.sim.registerSensor(1, 6, refused), VANTREL_ERR_UNEXPECTED);

  session.acknowledgeWith(VANTREL_ERR_OK);
  EXPECT_EQ(deliverOneFrame(session, {sensorOutput(SensorOutput::kGpsOutput, 5),
                                      sensorOutput(SensorOutput::kGpsOutput, 6)}),
            "Received GPS output for GPS ID:6 without a Callback\n");
  EXPECT_EQ(session.sim.lastError(), VANTREL_ERR_OK);
  EXPECT_EQ(callsIn(log), (std::vector<std::string>{"earlier 5 @1"}));
}

TEST(SensorRegistration, AFailedSendRecordsNothing) {
  TestEngine engine;
  engine.acknowledgeCommands(0);
  VantrelSim sim;
  CallLog log;
  Recorder<GPSOutput> gps("gps", log);
  Recorder<DynamicObjectGroundTruthOutput> dogt("dogt", log);
  EXPECT_EQ(sim.registerSensor(1, 5, gps), VANTREL_ERR_CONNECTION_FAILED);
  EXPECT_EQ(sim.registerSensor(5, dogt), VANTREL_ERR_CONNECTION_FAILED);

  ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
  ASSERT_EQ(sim.start(Blocking), VANTREL_ERR_OK);
  engine.respondWith([](const ClientToEngineMessage& message) {
    std::vector<EngineToClientMessage> replies;
    if (message.command().simulationcommand().has_nextframe()) {
      replies.push_back(
          sensorData(1, {sensorOutput(SensorOutput::kGpsOutput, 5),
                         sensorOutput(SensorOutput::kDynamicObjectGroundTruthOutput, 5)}));
    }
    return replies;
  });
  ASSERT_EQ(sim.advanceFramesAndBlockForMessages(30.0f), VANTREL_ERR_OK);
  EXPECT_EQ(stderrOf([&] { sim.dispatchMessages(); }),
            "Received GPS output for GPS ID:5 without a Callback\n"
            "Received Dynamic Object GT output DOGT ID:5 without a Callback\n");
  EXPECT_TRUE(log.empty());
}

// While the simulation runs, sensor data can wake the acknowledgement wait before the answer comes:
// the registration fails and the object is not recorded, even though the engine accepts it.
TEST(SensorRegistration, AWaitWokenBySensorDataFailsAndRecordsNothing) {
  TestEngine engine;
  engine.awaitFrames(1).send(acknowledgement(0));
  engine.awaitFrames(2)
      .send(sensorData(7, {sensorOutput(SensorOutput::kGpsOutput, 5)}))
      .pause(200ms)
      .send(acknowledgement(0));
  VantrelSim sim;
  ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
  ASSERT_EQ(sim.start(Blocking), VANTREL_ERR_OK);
  CallLog log;
  Recorder<GPSOutput> gps("gps", log);
  int result = 0;
  EXPECT_EQ(stderrOf([&] { result = sim.registerSensor(1, 5, gps); }),
            "should not awake if m_ErrorList is empty\n");
  EXPECT_EQ(result, VANTREL_ERR_UNEXPECTED);
  EXPECT_EQ(stderrOf([&] { sim.dispatchMessages(); }),
            "Received GPS output for GPS ID:5 without a Callback\n");
  EXPECT_TRUE(log.empty());
}

}  // namespace
