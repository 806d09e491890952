// The ten queries about the scene against the test engine, as one table of cases: what each sends,
// what it copies out, how it meets a reply of another kind, a refusal, a failed send and a wait
// that ends without a reply.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Capture.h"
#include "TestEngine.h"
#include "VantrelSim.h"

using namespace Vantrel::SDK;
using namespace Vantrel::Testing;
using namespace std::chrono_literals;

namespace {

// ---- The scene that the test engine reports -----------------------------------------------------

CarQueryReport car(const std::string& name, const std::string& brand, uint32_t roiObjectId) {
  CarQueryReport entry;
  entry.set_name(name);
  entry.set_brand(brand);
  entry.set_roiobjectid(roiObjectId);
  entry.mutable_velocity()->set_x(12.5f);
  return entry;
}

MovingObjectQueryReport movingObject(const std::string& name, uint32_t roiObjectId) {
  MovingObjectQueryReport entry;
  entry.set_name(name);
  entry.set_roiobjectid(roiObjectId);
  entry.mutable_locationparams()->set_roadid("road " + name);
  return entry;
}

SensorQueryReport sensor(const std::string& name, uint32_t sensorId, uint32_t fps) {
  SensorQueryReport entry;
  entry.set_name(name);
  entry.set_sensorid(sensorId);
  entry.set_fps(fps);
  return entry;
}

GlobalSensorQueryReport globalSensor(const std::string& name, uint32_t sensorId) {
  GlobalSensorQueryReport entry;
  entry.set_name(name);
  entry.set_sensorid(sensorId);
  return entry;
}

std::vector<CarQueryReport> cars() { return {car("ego", "Vantrel", 7), car("truck", "Hauler", 9)}; }
std::vector<MovingObjectQueryReport> movingObjects() {
  return {movingObject("walker", 21), movingObject("cyclist", 22)};
}
std::vector<SensorQueryReport> carSensors() {
  return {sensor("front camera", 1, 30), sensor("roof lidar", 2, 10), sensor("gps", 5, 1)};
}
std::vector<GlobalSensorQueryReport> globalSensors() {
  return {globalSensor("ground truth", 40), globalSensor("ground truth 2", 41)};
}

EngineToClientMessage queryReply(const std::function<void(QueryReport&)>& fill) {
  EngineToClientMessage message;
  fill(*message.mutable_queryreport());
  return message;
}

EngineToClientMessage engineVersionReply() {
  return queryReply([](QueryReport& r) { r.mutable_engineversionreport()->set_version("4.2.0"); });
}
EngineToClientMessage terrainReply() {
  return queryReply(
      [](QueryReport& r) { r.mutable_terrainqueryreport()->set_terraintype("Alps"); });
}
EngineToClientMessage carsReply(const std::vector<CarQueryReport>& entries) {
  return queryReply([&](QueryReport& r) {
    for (const auto& entry : entries) *r.mutable_carsqueryreport()->add_carqueryreport() = entry;
    r.mutable_carsqueryreport();  // the kind is set even with no entries
  });
}
EngineToClientMessage movingObjectsReply() {
  return queryReply([](QueryReport& r) {
    for (const auto& entry : movingObjects()) {
      *r.mutable_movingobjectsqueryreport()->add_movingobjectqueryreport() = entry;
    }
  });
}
EngineToClientMessage sensorsReply(const std::vector<SensorQueryReport>& entries) {
  return queryReply([&](QueryReport& r) {
    for (const auto& entry : entries) {
      *r.mutable_sensorsqueryreport()->add_sensorsqueryreport() = entry;
    }
    r.mutable_sensorsqueryreport();
  });
}
EngineToClientMessage globalSensorsReply() {
  return queryReply([](QueryReport& r) {
    for (const auto& entry : globalSensors()) {
      *r.mutable_globalsensorsqueryreport()->add_globalsensorqueryreport() = entry;
    }
  });
}

// A reply of every kind, and one that names no kind at all.
std::vector<EngineToClientMessage> everyKindOfReply() {
  return {engineVersionReply(),
          terrainReply(),
          carsReply(cars()),
          movingObjectsReply(),
          sensorsReply(carSensors()),
          globalSensorsReply(),
          queryReply([](QueryReport&) {})};
}

// Answers every query with `reply` and acknowledges the commands that expect it.
TestEngine::Responder answeringQueriesWith(const EngineToClientMessage& reply) {
  return [reply](const ClientToEngineMessage& message) {
    std::vector<EngineToClientMessage> replies;
    if (message.has_query()) {
      replies.push_back(reply);
    } else if (expectsAcknowledgement(message)) {
      replies.push_back(acknowledgement(0));
    }
    return replies;
  };
}

// ---- Out-parameters, written out for comparison
// --------------------------------------------------

std::string describe(const std::string& text) { return "\"" + text + "\""; }
std::string describe(unsigned int count) { return std::to_string(count); }
std::string describe(const google::protobuf::Message& entry) {
  return "{" + entry.ShortDebugString() + "}";
}
template <typename Entry>
std::string describe(const std::vector<Entry>& entries) {
  std::string text = "[";
  for (const Entry& entry : entries) text += describe(entry);
  return text + "]";
}

// What an out-parameter holds before the query: every stale entry carries a field that no reported
// entry has, so that an exact copy shows that the previous content was discarded.
const std::string kStaleText = "stale text";
constexpr unsigned int kStaleCount = 77;
CarQueryReport staleCar() {
  CarQueryReport entry = car("stale car", "stale brand", 99);
  entry.mutable_acceleration()->set_z(-1.0f);
  return entry;
}
MovingObjectQueryReport staleMovingObject() {
  MovingObjectQueryReport entry = movingObject("stale object", 98);
  entry.mutable_path()->add_waypoints()->set_x(3.0f);
  return entry;
}
SensorQueryReport staleSensor() {
  SensorQueryReport entry = sensor("stale sensor", 97, 60);
  entry.mutable_lidarreport();
  return entry;
}
GlobalSensorQueryReport staleGlobalSensor() {
  GlobalSensorQueryReport entry = globalSensor("stale global sensor", 96);
  entry.set_fps(15);
  return entry;
}

// A vector that held `stale` and then had `entries` appended `times` times.
template <typename Entry>
std::string staleThen(const Entry& stale, const std::vector<Entry>& entries, int times) {
  std::vector<Entry> expected{stale};
  for (int i = 0; i < times; ++i) expected.insert(expected.end(), entries.begin(), entries.end());
  return describe(expected);
}

// ---- The table
// ------------------------------------------------------------------------------------

// One query called again and again through one out-parameter, which starts out stale.
class Probe {
 public:
  virtual ~Probe() = default;
  virtual int call(VantrelSim& sim) = 0;
  virtual std::string outParameter() const = 0;
};

template <typename Out>
class ProbeOf : public Probe {
 public:
  using Call = std::function<int(VantrelSim&, Out&)>;
  ProbeOf(Out stale, Call call) : m_Out(std::move(stale)), m_Call(std::move(call)) {}
  int call(VantrelSim& sim) override { return m_Call(sim, m_Out); }
  std::string outParameter() const override { return describe(m_Out); }

 private:
  Out m_Out;
  Call m_Call;
};

template <typename Out>
std::function<std::unique_ptr<Probe>()> probe(const Out& stale, typename ProbeOf<Out>::Call call) {
  return [stale, call] { return std::make_unique<ProbeOf<Out>>(stale, call); };
}

struct QueryCase {
  std::string name;
  std::function<std::unique_ptr<Probe>()> makeProbe;
  std::string requestFrameHex;  // the whole wire frame the query sends
  EngineToClientMessage reply;  // of the kind the query expects
  std::string afterOneCall;     // the out-parameter after one answered call
  std::string afterTwoCalls;
  std::string sendDiagnostic;  // written when the send fails
  std::string otherKindLines;  // written for a reply of another kind
  int otherKindResult;
  std::string afterOtherKind;  // the out-parameter after a reply of another kind
};

std::ostream& operator<<(std::ostream& out, const QueryCase& row) { return out << row.name; }

// Every request is an empty message inside the Query: a 4-byte payload after the 8-byte length.
std::string requestFrame(const std::string& queryFieldTag) {
  return "04 00 00 00 00 00 00 00 52 02 " + queryFieldTag + " 00";
}

std::vector<QueryCase> queryCases() {
  const std::string otherThanSensors = "asked for sensors, received other message\n";
  const std::string otherThanCars = "asked for cars, received other message\n";
  return {
      {"getEngineVersion",
       probe<std::string>(
           kStaleText, [](VantrelSim& sim, std::string& out) { return sim.getEngineVersion(out); }),
       requestFrame("5a"), engineVersionReply(), "\"4.2.0\"", "\"4.2.0\"",
       "failed to send engine version message\n",
       "asked for engine version, received other message\n", VANTREL_ERR_UNEXPECTED,
       describe(kStaleText)},
      {"getTerrain",
       probe<std::string>(kStaleText,
                          [](VantrelSim& sim, std::string& out) { return sim.getTerrain(out); }),
       requestFrame("6a"), terrainReply(), "\"Alps\"", "\"Alps\"",
       "failed to send get terrain message\n", "asked for terrain, received other message\n",
       VANTREL_ERR_NOT_IMPLEMENTED, describe(kStaleText)},
      {"getNumberOfCars",
       probe<unsigned int>(kStaleCount, [](VantrelSim& sim,
                                           unsigned int& out) { return sim.getNumberOfCars(out); }),
       requestFrame("62"), carsReply(cars()), "2", "2", "failed to send getNumberOfCars message\n",
       "", VANTREL_ERR_UNEXPECTED, describe(kStaleCount)},
      {"getCarInfo",
       probe<CarQueryReport>(
           staleCar(), [](VantrelSim& sim, CarQueryReport& out) { return sim.getCarInfo(1, out); }),
       requestFrame("62"), carsReply(cars()), describe(cars()[1]), describe(cars()[1]), "", "",
       VANTREL_ERR_UNEXPECTED, describe(staleCar())},
      {"getCarsInfo",
       probe<std::vector<CarQueryReport>>(
           {staleCar()},
           [](VantrelSim& sim, std::vector<CarQueryReport>& out) { return sim.getCarsInfo(out); }),
       requestFrame("62"), carsReply(cars()), staleThen(staleCar(), cars(), 1),
       staleThen(staleCar(), cars(), 2), "", otherThanCars, VANTREL_ERR_OK,
       staleThen(staleCar(), cars(), 0)},
      {"getMovingObjectInfo",
       probe<std::vector<MovingObjectQueryReport>>(
           {staleMovingObject()},
           [](VantrelSim& sim, std::vector<MovingObjectQueryReport>& out) {
             return sim.getMovingObjectInfo(out);
           }),
       requestFrame("72"), movingObjectsReply(), staleThen(staleMovingObject(), movingObjects(), 1),
       staleThen(staleMovingObject(), movingObjects(), 2), "", otherThanCars, VANTREL_ERR_OK,
       staleThen(staleMovingObject(), movingObjects(), 0)},
      {"getNumberSensors",
       probe<unsigned int>(
           kStaleCount,
           [](VantrelSim& sim, unsigned int& out) { return sim.getNumberSensors(out); }),
       requestFrame("52"), sensorsReply(carSensors()), "3", "3", "", otherThanSensors,
       VANTREL_ERR_OK, "0"},
      {"getSensorInfo",
       probe<SensorQueryReport>(
           staleSensor(),
           [](VantrelSim& sim, SensorQueryReport& out) { return sim.getSensorInfo(2, out); }),
       requestFrame("52"), sensorsReply(carSensors()), describe(carSensors()[2]),
       describe(carSensors()[2]), "", otherThanSensors, VANTREL_ERR_UNEXPECTED,
       describe(staleSensor())},
      {"getGlobalSensors",
       probe<std::vector<GlobalSensorQueryReport>>(
           {staleGlobalSensor()},
           [](VantrelSim& sim, std::vector<GlobalSensorQueryReport>& out) {
             return sim.getGlobalSensors(out);
           }),
       requestFrame("7a"), globalSensorsReply(), staleThen(staleGlobalSensor(), globalSensors(), 1),
       staleThen(staleGlobalSensor(), globalSensors(), 2), "",
       "asked for global sensors, received other message\n", VANTREL_ERR_NOT_IMPLEMENTED,
       staleThen(staleGlobalSensor(), globalSensors(), 0)},
      {"getSensorsInfo",
       probe<std::vector<SensorQueryReport>>(
           {staleSensor()},
           [](VantrelSim& sim, std::vector<SensorQueryReport>& out) {
             return sim.getSensorsInfo(out);
           }),
       requestFrame("52"), sensorsReply(carSensors()), staleThen(staleSensor(), carSensors(), 1),
       staleThen(staleSensor(), carSensors(), 2), "", otherThanSensors, VANTREL_ERR_NOT_IMPLEMENTED,
       staleThen(staleSensor(), carSensors(), 0)},
  };
}

QueryReport::QueryTypeCase kindOf(const EngineToClientMessage& reply) {
  return reply.queryreport().QueryType_case();
}

class Queries : public ::testing::TestWithParam<QueryCase> {
 protected:
  void SetUp() override { ASSERT_EQ(m_Sim.connectToEngine(m_Engine.connectionString()), 0); }

  TestEngine m_Engine;
  VantrelSim m_Sim;
};

TEST_P(Queries, SendsItsRequestAndCopiesTheAnswerOut) {
  const QueryCase& row = GetParam();
  // A loading state in a read of its own comes first: the wait goes on until the reply.
  m_Engine.awaitFrames(1)
      .send(loadingState(LoadingStateReport::Sensors))
      .pause(30ms)
      .send(row.reply)
      .awaitFrames(2)
      .send(row.reply);
  const auto query = row.makeProbe();
  const std::string lines = stderrOf([&] {
    EXPECT_EQ(query->call(m_Sim), VANTREL_ERR_OK);
    EXPECT_EQ(query->outParameter(), row.afterOneCall);
    EXPECT_EQ(query->call(m_Sim), VANTREL_ERR_OK);
    EXPECT_EQ(query->outParameter(), row.afterTwoCalls);
  });
  EXPECT_EQ(lines, "");
  const std::vector<ClientFrame> sent = m_Engine.frames();
  ASSERT_EQ(sent.size(), 2u);
  for (const ClientFrame& request : sent) EXPECT_EQ(hexOf(request.raw), row.requestFrameHex);
}

TEST_P(Queries, DropsAReplyOfAnotherKind) {
  const QueryCase& row = GetParam();
  for (const EngineToClientMessage& other : everyKindOfReply()) {
    if (kindOf(other) == kindOf(row.reply)) continue;
    SCOPED_TRACE("reply " + other.ShortDebugString());
    m_Engine.respondWith(answeringQueriesWith(other));
    const auto query = row.makeProbe();
    int result = 1;
    EXPECT_EQ(stderrOf([&] { result = query->call(m_Sim); }), row.otherKindLines);
    EXPECT_EQ(result, row.otherKindResult);
    EXPECT_EQ(query->outParameter(), row.afterOtherKind);
  }
}

TEST_P(Queries, IsRefusedWhileTheSimulationRuns) {
  const QueryCase& row = GetParam();
  m_Engine.acknowledgeCommands(0);
  ASSERT_EQ(m_Sim.start(NonBlocking), VANTREL_ERR_OK);
  const auto query = row.makeProbe();
  const std::string stale = query->outParameter();
  int result = 1;
  EXPECT_EQ(stderrOf([&] { result = query->call(m_Sim); }),
            "Can't call query commands after simulation has started\n" + row.sendDiagnostic);
  EXPECT_EQ(result, VANTREL_ERR_UNEXPECTED);
  EXPECT_EQ(query->outParameter(), stale);
  // The next frame the engine sees is the stop: the query never went out.
  ASSERT_EQ(m_Sim.stop(0, "done"), VANTREL_ERR_OK);
  ASSERT_TRUE(m_Engine.waitForFrames(2, 2s));
  EXPECT_TRUE(m_Engine.frames()[1].message.command().simulationcommand().has_stopsimulation());
}

TEST_P(Queries, FailsToSendOnAnUnconnectedProxy) {
  const QueryCase& row = GetParam();
  VantrelSim unconnected;
  const auto query = row.makeProbe();
  const std::string stale = query->outParameter();
  int result = 1;
  EXPECT_EQ(stderrOf([&] { result = query->call(unconnected); }), row.sendDiagnostic);
  EXPECT_EQ(result, VANTREL_ERR_CONNECTION_FAILED);
  EXPECT_EQ(query->outParameter(), stale);
}

TEST_P(Queries, TakesTheNewerOfTwoQueuedRepliesAndLeavesTheOlder) {
  const QueryCase& row = GetParam();
  const std::vector<QueryCase> table = queryCases();
  const QueryCase* older = nullptr;
  for (const QueryCase& candidate : table) {
    if (kindOf(candidate.reply) != kindOf(row.reply)) older = &candidate;
  }
  ASSERT_NE(older, nullptr);
  SCOPED_TRACE("older reply for " + older->name);
  m_Engine.awaitFrames(1).sendTogether({older->reply, row.reply});
  const auto newerQuery = row.makeProbe();
  EXPECT_EQ(newerQuery->call(m_Sim), VANTREL_ERR_OK);
  EXPECT_EQ(newerQuery->outParameter(), row.afterOneCall);
  // The older reply is still queued; something has to wake the next query's first wait.
  m_Engine.awaitFrames(2).send(loadingState(LoadingStateReport::Done));
  const auto olderQuery = older->makeProbe();
  EXPECT_EQ(olderQuery->call(m_Sim), VANTREL_ERR_OK);
  EXPECT_EQ(olderQuery->outParameter(), older->afterOneCall);
}

TEST_P(Queries, EndOfSimulationDuringTheWaitEndsIt) {
  const QueryCase& row = GetParam();
  m_Engine.respondWith(answeringQueriesWith(endOfSimulation("scene unloaded")));
  const auto query = row.makeProbe();
  const std::string stale = query->outParameter();
  int result = 1;
  EXPECT_EQ(stdoutOf([&] { result = query->call(m_Sim); }),
            "Simulation Ended, Reason: scene unloaded\n");
  EXPECT_EQ(result, VANTREL_ERR_DISCONNECTED);
  EXPECT_EQ(query->outParameter(), stale);
}

TEST_P(Queries, ConnectionClosedDuringTheWaitEndsIt) {
  const QueryCase& row = GetParam();
  m_Engine.awaitFrames(1).closeConnection();
  const auto query = row.makeProbe();
  const std::string stale = query->outParameter();
  int result = 1;
  EXPECT_EQ(stderrOf([&] { result = query->call(m_Sim); }), "Connection closed by peer\n");
  EXPECT_EQ(result, VANTREL_ERR_CONNECTION_FAILED);
  EXPECT_EQ(query->outParameter(), stale);
}

INSTANTIATE_TEST_SUITE_P(EveryQuery, Queries, ::testing::ValuesIn(queryCases()),
                         [](const ::testing::TestParamInfo<QueryCase>& info) {
                           return info.param.name;
                         });

// ---- The index rule of getCarInfo and getSensorInfo ---------------------------------------------

template <typename Entry>
void expectIndexRule(int (VantrelSim::*query)(unsigned int, Entry&),
                     const std::vector<Entry>& entries,
                     EngineToClientMessage (*replyWith)(const std::vector<Entry>&),
                     const Entry& stale) {
  TestEngine engine;
  VantrelSim sim;
  ASSERT_EQ(sim.connectToEngine(engine.connectionString()), 0);
  engine.respondWith(answeringQueriesWith(replyWith(entries)));
  size_t calls = 0;
  for (unsigned int index = 0; index < entries.size(); ++index) {
    Entry out = stale;
    EXPECT_EQ((sim.*query)(index, out), VANTREL_ERR_OK) << "index " << index;
    EXPECT_EQ(describe(out), describe(entries[index]));
    // Each call is an exchange of its own.
    EXPECT_EQ(engine.frameCount(), ++calls);
  }
  const unsigned int count = static_cast<unsigned int>(entries.size());
  for (unsigned int index : {count, count + 1, UINT_MAX}) {
    Entry out = stale;
    int result = 1;
    EXPECT_EQ(stderrOf([&] { result = (sim.*query)(index, out); }), "");
    EXPECT_EQ(result, VANTREL_ERR_BAD_PARAMS) << "index " << index;
    EXPECT_EQ(describe(out), describe(stale));
  }
  engine.respondWith(answeringQueriesWith(replyWith({})));
  for (unsigned int index : {0u, 1u}) {
    Entry out = stale;
    EXPECT_EQ((sim.*query)(index, out), VANTREL_ERR_BAD_PARAMS) << "no entries, index " << index;
    EXPECT_EQ(describe(out), describe(stale));
  }
}

TEST(QueryIndex, CarInfoCopiesTheCarAtThatPositionAndRefusesPositionsPastTheEnd) {
  expectIndexRule(&VantrelSim::getCarInfo, cars(), carsReply, staleCar());
}

TEST(QueryIndex, SensorInfoCopiesTheSensorAtThatPositionAndRefusesPositionsPastTheEnd) {
  expectIndexRule(&VantrelSim::getSensorInfo, carSensors(), sensorsReply, staleSensor());
}

}  // namespace
