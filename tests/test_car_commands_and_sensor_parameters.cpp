// Car commands (sent while the simulation runs, without waiting) and sensor parameter changes
// (acknowledged, before the start), against the test engine: wire bytes, diagnostics, refusals and
// who owns the messages handed in. Run under the sanitizer build, a leak or a double free of a
// handed-in object fails these tests.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
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

const char kMarkerText[] = "end of the operation under test";
const float kNaN = std::numeric_limits<float>::quiet_NaN();

const std::string kNotRunning = "Simulation not running\n";
const std::string kSteeringWarning = "steering value out of range, must be between -1.0f to 1.0f";
const std::string kGasWarning = "gas value out of range, must be between 0.0f to 1.0f";
const std::string kBrakeWarning = "brake value out of range, must be between 0.0f to 1.0f";
const std::string kAccelerationRefusal =
    "acceleration control not implemented yet, please use gas/brake instead";
const std::string kSensorChangeWhileRunning =
    "Can't modify sensors when simulation is already running\n";

bool isMarker(const ClientFrame& sent) {
  return sent.decoded && sent.message.command().has_logcommand() &&
         sent.message.command().logcommand().msg() == kMarkerText;
}

// A proxy connected to a test engine that acknowledges every command that expects it with 0.
class Session {
 public:
  enum State { NeverStarted, Running, Stopped };

  explicit Session(State state) {
    engine.acknowledgeCommands(VANTREL_ERR_OK);
    EXPECT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
    if (state == NeverStarted) return;
    EXPECT_EQ(sim.start(Blocking), VANTREL_ERR_OK);
    if (state == Stopped) {
      EXPECT_EQ(sim.stop(0, "stopped by the test"), VANTREL_ERR_OK);
    }
    takeSent();
  }

  // What the client has sent since the last call, up to a log line sent now as a marker: the
  // operation under test has written its frame before the marker is written, so an empty result
  // means that it sent nothing.
  std::vector<ClientFrame> takeSent() {
    EXPECT_EQ(sim.log(0, kMarkerText), VANTREL_ERR_OK);
    for (size_t total = m_Seen + 1; engine.waitForFrames(total, 2s); ++total) {
      const std::vector<ClientFrame> all = engine.frames();
      if (!isMarker(all.back())) continue;
      std::vector<ClientFrame> sent(all.begin() + static_cast<long>(m_Seen), all.end() - 1);
      m_Seen = all.size();
      return sent;
    }
    ADD_FAILURE() << "the marker never reached the engine";
    return {};
  }

  TestEngine engine;
  VantrelSim sim;

 private:
  size_t m_Seen = 0;
};

std::string payloadOf(const CarCommand& car) {
  ClientToEngineMessage message;
  *message.mutable_command()->mutable_carcommand() = car;
  return message.SerializeAsString();
}

CarCommand* driveCommand(float steering, float gas, float brake, float acceleration) {
  auto* car = new CarCommand;
  car->set_id(4);
  CarConfiguration* drive = car->mutable_drive();
  drive->set_gear(CarConfiguration::GEAR_FORWARD);
  drive->set_steering(steering);
  drive->set_gas(gas);
  drive->set_brake(brake);
  drive->set_acceleration(acceleration);
  return car;
}

// ---- Every encoded example, byte for byte ------------------------------------------------------

struct EncodedExample {
  const char* name;
  Session::State state;  // car commands go out while running, sensor changes before the start
  std::function<int(VantrelSim&)> send;
  const char* payloadHex;
};

template <typename Parameters>
Parameters* parameters(bool record, unsigned int fps) {
  auto* made = new Parameters;
  made->set_record(record);
  made->set_fps(fps);
  return made;
}

TEST(EncodedCommands, EachOperationSendsExactlyTheseBytesInOneWireFrame) {
  const EncodedExample examples[] = {
      {"gas, car 7, 0.5", Session::Running,
       [](VantrelSim& sim) { return sim.sendCarControlGasCmd(7, 0.5f); },
       "5a 0d 52 0b 08 07 6a 07 0a 05 0d 00 00 00 3f"},
      {"brakes, car 12, 1.0", Session::Running,
       [](VantrelSim& sim) { return sim.sendCarControlBrakesCmd(12, 1.0f); },
       "5a 0d 52 0b 08 0c 6a 07 1a 05 0d 00 00 80 3f"},
      {"acceleration, car 7, -2.0, unchecked", Session::Running,
       [](VantrelSim& sim) { return sim.sendCarControlAccelerationCmd(7, -2.0f); },
       "5a 0d 52 0b 08 07 6a 07 22 05 0d 00 00 00 c0"},
      {"AI driving, car 3", Session::Running,
       [](VantrelSim& sim) { return sim.sendAiDriveCarCmd(3); }, "5a 06 52 04 08 03 62 00"},
      {"steering, car 0, 0.0: empty but present member", Session::Running,
       [](VantrelSim& sim) { return sim.sendCarControlSteeringCmd(0, 0.0f); },
       "5a 06 52 04 6a 02 12 00"},
      {"RGB camera 5, record, 10 fps", Session::NeverStarted,
       [](VantrelSim& sim) {
         return sim.setSensorParam(1, 5, parameters<RGBCameraModifiable>(true, 10));
       },
       "5a 0c 62 0a 10 05 5a 06 52 04 08 01 10 0a"},
      {"lidar 3, no record, 20 fps", Session::NeverStarted,
       [](VantrelSim& sim) {
         return sim.setSensorParam(1, 3, parameters<LidarModifiable>(false, 20));
       },
       "5a 0a 62 08 10 03 5a 04 5a 02 10 14"},
      {"ground truth 200, record, 10 fps", Session::NeverStarted,
       [](VantrelSim& sim) {
         return sim.setSensorParam(200, parameters<DOGTModifiable>(true, 10));
       },
       "5a 0e 7a 0c 08 c8 01 5a 07 c2 02 04 08 01 10 0a"},
      {"ground truth 0: SensorId absent", Session::NeverStarted,
       [](VantrelSim& sim) { return sim.setSensorParam(0, parameters<DOGTModifiable>(true, 10)); },
       "5a 0b 7a 09 5a 07 c2 02 04 08 01 10 0a"},
      {"RGB camera 5, null parameters: ModifySensor without a type", Session::NeverStarted,
       [](VantrelSim& sim) {
         return sim.setSensorParam(1, 5, static_cast<RGBCameraModifiable*>(nullptr));
       },
       "5a 06 62 04 10 05 5a 00"},
  };
  for (const EncodedExample& example : examples) {
    SCOPED_TRACE(example.name);
    Session session(example.state);
    int result = -1;
    EXPECT_EQ(stderrOf([&] { result = example.send(session.sim); }), "");
    EXPECT_EQ(result, VANTREL_ERR_OK);
    const std::vector<ClientFrame> sent = session.takeSent();
    ASSERT_EQ(sent.size(), 1u);
    const std::string payload = bytesFromHex(example.payloadHex);
    EXPECT_EQ(hexOf(sent[0].payload), example.payloadHex);
    EXPECT_EQ(hexOf(sent[0].raw),
              hexOf(frameHeader(static_cast<int64_t>(payload.size())) + payload));
  }
}

TEST(EncodedCommands, GasCommandIsOneWireFrameOf23Bytes) {
  Session session(Session::Running);
  EXPECT_EQ(session.sim.sendCarControlGasCmd(7, 0.5f), VANTREL_ERR_OK);
  const std::vector<ClientFrame> sent = session.takeSent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(hexOf(sent[0].raw),
            "0f 00 00 00 00 00 00 00 5a 0d 52 0b 08 07 6a 07 0a 05 0d 00 00 00 3f");
}

// ---- carControlCmd: the checks of a drive command ----------------------------------------------

struct DriveCase {
  const char* name;
  float steering, gas, brake, acceleration;
  std::string written;
  int result;  // 0: sent as built; -101: refused, nothing sent
};

TEST(CarControlCmd, DriveValuesAreWarnedAboutOrRefusedAndSentUnchanged) {
  const DriveCase cases[] = {
      {"lower bounds", -1.0f, 0.0f, 0.0f, 0.0f, "", VANTREL_ERR_OK},
      {"upper bounds", 1.0f, 1.0f, 1.0f, 0.0f, "", VANTREL_ERR_OK},
      {"steering -1, gas 1, brake 0", -1.0f, 1.0f, 0.0f, 0.0f, "", VANTREL_ERR_OK},
      {"steering 1.5, gas -0.2", 1.5f, -0.2f, 0.0f, 0.0f, kSteeringWarning + kGasWarning,
       VANTREL_ERR_OK},
      {"steering just below -1", -1.01f, 0.5f, 0.0f, 0.0f, kSteeringWarning, VANTREL_ERR_OK},
      {"gas just above 1", 0.0f, 1.01f, 0.0f, 0.0f, kGasWarning, VANTREL_ERR_OK},
      {"brake below 0", 0.0f, 0.5f, -0.1f, 0.0f, kBrakeWarning, VANTREL_ERR_OK},
      {"all three out of range", 2.0f, 2.0f, -1.0f, 0.0f,
       kSteeringWarning + kGasWarning + kBrakeWarning, VANTREL_ERR_OK},
      {"NaN steering, gas and brake", kNaN, kNaN, kNaN, 0.0f, "", VANTREL_ERR_OK},
      {"acceleration -0.0", 0.0f, 0.5f, 0.0f, -0.0f, "", VANTREL_ERR_OK},
      {"acceleration 0.5", 0.0f, 0.5f, 0.0f, 0.5f, kAccelerationRefusal,
       VANTREL_ERR_NOT_IMPLEMENTED},
      {"acceleration NaN", 0.0f, 0.5f, 0.0f, kNaN, kAccelerationRefusal,
       VANTREL_ERR_NOT_IMPLEMENTED},
      {"brake 2.0, acceleration 0.5", 0.0f, 0.5f, 2.0f, 0.5f, kBrakeWarning + kAccelerationRefusal,
       VANTREL_ERR_NOT_IMPLEMENTED},
      {"everything out of range", 1.5f, -0.2f, 2.0f, 1.0f,
       kSteeringWarning + kGasWarning + kBrakeWarning + kAccelerationRefusal,
       VANTREL_ERR_NOT_IMPLEMENTED},
  };
  for (const DriveCase& driveCase : cases) {
    SCOPED_TRACE(driveCase.name);
    Session session(Session::Running);
    CarCommand* command =
        driveCommand(driveCase.steering, driveCase.gas, driveCase.brake, driveCase.acceleration);
    const std::string expected = payloadOf(*command);
    int result = 0;
    EXPECT_EQ(stderrOf([&] { result = session.sim.carControlCmd(command); }), driveCase.written);
    EXPECT_EQ(result, driveCase.result);
    const std::vector<ClientFrame> sent = session.takeSent();
    // Whoever owns the command now depends on what the call did, not on what it should have done.
    if (result == VANTREL_ERR_OK) {
      // The library freed the command with its message; the client must not touch it again.
      ASSERT_EQ(sent.size(), 1u);
      EXPECT_EQ(hexOf(sent[0].payload), hexOf(expected));
    } else {
      EXPECT_TRUE(sent.empty());
      std::unique_ptr<CarCommand> stillTheClients(command);
      EXPECT_EQ(hexOf(payloadOf(*stillTheClients)), hexOf(expected));
    }
  }
}

TEST(CarControlCmd, RefusedCommandStaysUsableByTheClient) {
  Session session(Session::Running);
  CarCommand* command = driveCommand(0.0f, 0.5f, 2.0f, 0.5f);
  int result = 0;
  EXPECT_EQ(stderrOf([&] { result = session.sim.carControlCmd(command); }),
            kBrakeWarning + kAccelerationRefusal);
  EXPECT_EQ(result, VANTREL_ERR_NOT_IMPLEMENTED);
  EXPECT_TRUE(session.takeSent().empty());

  command->mutable_drive()->set_acceleration(0.0f);
  const std::string expected = payloadOf(*command);
  EXPECT_EQ(stderrOf([&] { result = session.sim.carControlCmd(command); }), kBrakeWarning);
  EXPECT_EQ(result, VANTREL_ERR_OK);
  const std::vector<ClientFrame> sent = session.takeSent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(hexOf(sent[0].payload), hexOf(expected));
  EXPECT_EQ(sent[0].message.command().carcommand().drive().brake(), 2.0f);
}

// Only drive commands given to carControlCmd are checked; everything else goes out as it is.
TEST(CarControlCmd, OtherCommandsAreSentWithoutAnyCheck) {
  struct UncheckedCase {
    const char* name;
    std::function<void(CarCommand&)> fill;
    bool throughInnerSend;
  };
  const UncheckedCase cases[] = {
      {"driving command with gas 5.0",
       [](CarCommand& car) {
         car.mutable_drivingcommand()->mutable_gascommand()->set_gasvalue(5.0f);
         car.mutable_drivingcommand()->mutable_steeringcommand()->set_steervalue(-3.0f);
       },
       false},
      {"teleport",
       [](CarCommand& car) {
         Teleportation* teleport = car.mutable_teleport();
         teleport->mutable_acceleration()->set_x(50.0f);
         teleport->mutable_velocity()->set_z(-7.5f);
         teleport->set_nextlanechoice(Teleportation::Left);
       },
       false},
      {"AI driving", [](CarCommand& car) { car.mutable_aidriving(); }, false},
      {"no member set", [](CarCommand&) {}, false},
      {"drive with acceleration, through innerSendCarCommand",
       [](CarCommand& car) {
         car.mutable_drive()->set_acceleration(0.5f);
         car.mutable_drive()->set_steering(4.0f);
       },
       true},
  };
  for (const UncheckedCase& uncheckedCase : cases) {
    SCOPED_TRACE(uncheckedCase.name);
    Session session(Session::Running);
    auto* command = new CarCommand;
    command->set_id(9);
    uncheckedCase.fill(*command);
    const std::string expected = payloadOf(*command);
    int result = -1;
    EXPECT_EQ(stderrOf([&] {
                result = uncheckedCase.throughInnerSend ? session.sim.innerSendCarCommand(command)
                                                        : session.sim.carControlCmd(command);
              }),
              "");
    EXPECT_EQ(result, VANTREL_ERR_OK);
    const std::vector<ClientFrame> sent = session.takeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(hexOf(sent[0].payload), hexOf(expected));
  }
}

TEST(CarControlCmd, NullCommandIsRefusedAsBadParametersWhileRunning) {
  Session session(Session::Running);
  int result = 0;
  EXPECT_EQ(stderrOf([&] { result = session.sim.carControlCmd(nullptr); }), "");
  EXPECT_EQ(result, VANTREL_ERR_BAD_PARAMS);
  EXPECT_EQ(stderrOf([&] { result = session.sim.innerSendCarCommand(nullptr); }), "");
  EXPECT_EQ(result, VANTREL_ERR_BAD_PARAMS);
  EXPECT_TRUE(session.takeSent().empty());
}

// ---- Not running: nothing goes out, and the result is 0 ----------------------------------------

const Session::State kNotRunningStates[] = {Session::NeverStarted, Session::Stopped};

TEST(CarCommandsNotRunning, BuildingOperationsAndInnerSendSendNothing) {
  const std::pair<const char*, std::function<int(VantrelSim&)>> operations[] = {
      {"gas", [](VantrelSim& sim) { return sim.sendCarControlGasCmd(1, 0.5f); }},
      {"steering", [](VantrelSim& sim) { return sim.sendCarControlSteeringCmd(1, 0.5f); }},
      {"brakes", [](VantrelSim& sim) { return sim.sendCarControlBrakesCmd(1, 0.5f); }},
      {"acceleration", [](VantrelSim& sim) { return sim.sendCarControlAccelerationCmd(1, 0.5f); }},
      {"AI driving", [](VantrelSim& sim) { return sim.sendAiDriveCarCmd(1); }},
      // innerSendCarCommand owns what it is given, sent or not.
      {"innerSendCarCommand",
       [](VantrelSim& sim) { return sim.innerSendCarCommand(driveCommand(0, 0, 0, 0.5f)); }},
      {"innerSendCarCommand, null",
       [](VantrelSim& sim) { return sim.innerSendCarCommand(nullptr); }},
  };
  for (Session::State state : kNotRunningStates) {
    for (const auto& operation : operations) {
      SCOPED_TRACE(std::string(operation.first) +
                   (state == Session::Stopped ? ", after stop" : ", never started"));
      Session session(state);
      int result = -1;
      EXPECT_EQ(stderrOf([&] { result = operation.second(session.sim); }), kNotRunning);
      EXPECT_EQ(result, VANTREL_ERR_OK);
      EXPECT_TRUE(session.takeSent().empty());
    }
  }
}

TEST(CarCommandsNotRunning, CarControlCmdLeavesTheCommandWithTheClient) {
  const std::pair<const char*, std::function<CarCommand*()>> commands[] = {
      {"drive with acceleration 0.5", [] { return driveCommand(0.0f, 0.5f, 0.0f, 0.5f); }},
      {"drive out of range", [] { return driveCommand(3.0f, -1.0f, 2.0f, 0.0f); }},
      {"driving command",
       [] {
         auto* car = new CarCommand;
         car->mutable_drivingcommand()->mutable_gascommand()->set_gasvalue(0.5f);
         return car;
       }},
  };
  for (Session::State state : kNotRunningStates) {
    for (const auto& made : commands) {
      SCOPED_TRACE(std::string(made.first) +
                   (state == Session::Stopped ? ", after stop" : ", never started"));
      Session session(state);
      std::unique_ptr<CarCommand> command(made.second());
      const std::string before = payloadOf(*command);
      int result = -1;
      EXPECT_EQ(stderrOf([&] { result = session.sim.carControlCmd(command.get()); }), kNotRunning);
      EXPECT_EQ(result, VANTREL_ERR_OK);
      EXPECT_TRUE(session.takeSent().empty());
      EXPECT_EQ(hexOf(payloadOf(*command)), hexOf(before));
    }
  }
  Session session(Session::NeverStarted);
  int result = -1;
  EXPECT_EQ(stderrOf([&] { result = session.sim.carControlCmd(nullptr); }), kNotRunning);
  EXPECT_EQ(result, VANTREL_ERR_OK);
}

// ---- setSensorParam, in its three forms --------------------------------------------------------

struct RGBCameraForm {
  using Parameters = RGBCameraModifiable;
  static constexpr ModifySensor::SensorTypeCase kCase = ModifySensor::kRgbCameraModifiable;
  static int set(VantrelSim& sim, unsigned int sensorId, Parameters* given) {
    return sim.setSensorParam(2, sensorId, given);
  }
  static const SensorCommand& addressOf(const ClientToEngineMessage& sent) {
    return sent.command().sensorcommand();
  }
  static const Parameters& parametersIn(const ModifySensor& modify) {
    return modify.rgbcameramodifiable();
  }
};

struct LidarForm {
  using Parameters = LidarModifiable;
  static constexpr ModifySensor::SensorTypeCase kCase = ModifySensor::kLidarModifiable;
  static int set(VantrelSim& sim, unsigned int sensorId, Parameters* given) {
    return sim.setSensorParam(2, sensorId, given);
  }
  static const SensorCommand& addressOf(const ClientToEngineMessage& sent) {
    return sent.command().sensorcommand();
  }
  static const Parameters& parametersIn(const ModifySensor& modify) {
    return modify.lidarmodifiable();
  }
};

struct GroundTruthForm {
  using Parameters = DOGTModifiable;
  static constexpr ModifySensor::SensorTypeCase kCase = ModifySensor::kDOGTModifiable;
  static int set(VantrelSim& sim, unsigned int sensorId, Parameters* given) {
    return sim.setSensorParam(sensorId, given);
  }
  static const GlobalSensorCommand& addressOf(const ClientToEngineMessage& sent) {
    return sent.command().globalsensorcommand();
  }
  static const Parameters& parametersIn(const ModifySensor& modify) {
    return modify.dogtmodifiable();
  }
};

template <typename Form>
class SetSensorParam : public ::testing::Test {};
using SensorForms = ::testing::Types<RGBCameraForm, LidarForm, GroundTruthForm>;
TYPED_TEST_SUITE(SetSensorParam, SensorForms);

TYPED_TEST(SetSensorParam, RefusedWhileRunningLeavesTheParametersWithTheCaller) {
  using Parameters = typename TypeParam::Parameters;
  Session session(Session::Running);
  Parameters* given = parameters<Parameters>(true, 30);
  int result = 0;
  EXPECT_EQ(stderrOf([&] { result = TypeParam::set(session.sim, 6, given); }),
            kSensorChangeWhileRunning);
  EXPECT_EQ(result, VANTREL_ERR_UNEXPECTED);
  EXPECT_TRUE(session.takeSent().empty());
  EXPECT_TRUE(given->record());
  EXPECT_EQ(given->fps(), 30u);

  // Once stopped, the same object goes out and belongs to the message from then on.
  ASSERT_EQ(session.sim.stop(0, "stopped by the test"), VANTREL_ERR_OK);
  ASSERT_EQ(session.takeSent().size(), 1u);
  given->set_fps(31);
  EXPECT_EQ(stderrOf([&] { result = TypeParam::set(session.sim, 6, given); }), "");
  EXPECT_EQ(result, VANTREL_ERR_OK);
  const std::vector<ClientFrame> sent = session.takeSent();
  ASSERT_EQ(sent.size(), 1u);
  const auto& address = TypeParam::addressOf(sent[0].message);
  EXPECT_EQ(address.sensorid(), 6u);
  ASSERT_EQ(address.modifysensor().SensorType_case(), TypeParam::kCase);
  EXPECT_TRUE(TypeParam::parametersIn(address.modifysensor()).record());
  EXPECT_EQ(TypeParam::parametersIn(address.modifysensor()).fps(), 31u);
}

TYPED_TEST(SetSensorParam, EngineRefusalIsReturnedAndKeptAsLastError) {
  using Parameters = typename TypeParam::Parameters;
  Session session(Session::NeverStarted);
  session.engine.acknowledgeCommands(VANTREL_ERR_SENSORS_NOT_FOUND);
  EXPECT_EQ(TypeParam::set(session.sim, 8, parameters<Parameters>(false, 5)),
            VANTREL_ERR_SENSORS_NOT_FOUND);
  EXPECT_EQ(session.sim.lastError(), VANTREL_ERR_SENSORS_NOT_FOUND);
  EXPECT_EQ(session.takeSent().size(), 1u);
}

TYPED_TEST(SetSensorParam, NullParametersSendAModifySensorWithoutType) {
  Session session(Session::NeverStarted);
  EXPECT_EQ(TypeParam::set(session.sim, 5, nullptr), VANTREL_ERR_OK);
  const std::vector<ClientFrame> sent = session.takeSent();
  ASSERT_EQ(sent.size(), 1u);
  const auto& address = TypeParam::addressOf(sent[0].message);
  EXPECT_EQ(address.sensorid(), 5u);
  EXPECT_TRUE(address.has_modifysensor());
  EXPECT_EQ(address.modifysensor().SensorType_case(), ModifySensor::SENSORTYPE_NOT_SET);
}

// Past the refusal while running, the parameters belong to the message even when it fails.
TYPED_TEST(SetSensorParam, FailedSendOrWaitStillFreesTheParameters) {
  using Parameters = typename TypeParam::Parameters;
  {
    VantrelSim unconnected;
    int result = 0;
    EXPECT_EQ(
        stderrOf([&] { result = TypeParam::set(unconnected, 1, parameters<Parameters>(true, 1)); }),
        "");
    EXPECT_EQ(result, VANTREL_ERR_CONNECTION_FAILED);
  }
  TestEngine engine;
  engine.awaitFrames(1).send(loadingState(LoadingStateReport::Done));
  VantrelSim sim;
  ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
  int result = 0;
  EXPECT_EQ(stderrOf([&] { result = TypeParam::set(sim, 1, parameters<Parameters>(true, 1)); }),
            "should not awake if m_ErrorList is empty\n");
  EXPECT_EQ(result, VANTREL_ERR_UNEXPECTED);
}

TEST(SetSensorParamAddressing, TheCarIdIsNotSent) {
  Session session(Session::NeverStarted);
  ASSERT_EQ(session.sim.setSensorParam(1, 5, parameters<RGBCameraModifiable>(true, 10)),
            VANTREL_ERR_OK);
  ASSERT_EQ(session.sim.setSensorParam(4000000000u, 5, parameters<RGBCameraModifiable>(true, 10)),
            VANTREL_ERR_OK);
  ASSERT_EQ(session.sim.setSensorParam(0, 3, parameters<LidarModifiable>(false, 20)),
            VANTREL_ERR_OK);
  ASSERT_EQ(session.sim.setSensorParam(77, 3, parameters<LidarModifiable>(false, 20)),
            VANTREL_ERR_OK);
  const std::vector<ClientFrame> sent = session.takeSent();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(hexOf(sent[0].payload), hexOf(sent[1].payload));
  EXPECT_EQ(hexOf(sent[2].payload), hexOf(sent[3].payload));
  for (const ClientFrame& each : sent)
    EXPECT_EQ(each.message.command().sensorcommand().carid(), 0u);
}

}  // namespace
