// The sandbox engine, run in this process on an ephemeral port: its side of the protocol, seen
// through the library and through a raw socket, its refusals, its handling of a misbehaving client,
// the ends of a run, what its sensors see, their rates, and that one seed gives one byte stream.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Capture.h"
#include "Options.h"
#include "SandboxServer.h"
#include "TestEngine.h"
#include "VantrelSim.h"

using namespace Vantrel::SDK;
using namespace Vantrel::Testing;
using Vantrel::Sandbox::CameraSize;
using Vantrel::Sandbox::EngineOptions;
using Vantrel::Sandbox::ParseResult;
using Vantrel::Sandbox::SandboxServer;

namespace {

constexpr float kFrameTimeout = 10.0f;
constexpr CameraSize kSmallCamera{80, 60};
// Where the sensors sit on the ego car (x forward, z up).
constexpr double kCameraHeight = 1.5;
constexpr double kLidarHeight = 1.9;
constexpr double kLidarLowestElevation = 15.0 * 3.14159265358979323846 / 180.0;

EngineOptions sandboxOptions(uint32_t frameBudget = 0, uint32_t seed = 1) {
  EngineOptions options;
  options.port = "0";
  options.frameBudget = frameBudget;
  options.seed = seed;
  options.camera = kSmallCamera;
  return options;
}

// The engine on its own thread for the lifetime of the object.
class RunningSandbox {
 public:
  explicit RunningSandbox(const EngineOptions& options = sandboxOptions())
      : m_Server(options, m_Events) {
    m_Listening = m_Server.listen();
    if (m_Listening) m_Thread = std::thread([this] { m_Server.serve(); });
  }
  ~RunningSandbox() {
    m_Server.stop();
    if (m_Thread.joinable()) m_Thread.join();
  }
  bool listening() const { return m_Listening; }
  int port() const { return m_Server.port(); }
  std::string connectionString() const { return "127.0.0.1 " + std::to_string(port()); }

 private:
  std::ostringstream m_Events;  // written by the engine's thread only
  SandboxServer m_Server;
  bool m_Listening = false;
  std::thread m_Thread;
};

VersionCommand* versions() {
  auto* version = new VersionCommand;
  version->set_sdkversion("1.3.51");
  version->set_oemversion("sandbox tests");
  return version;
}

// Connects, announces the versions and follows the loading to its end.
void connectAndLoad(VantrelSim& sim, const RunningSandbox& sandbox) {
  ASSERT_TRUE(sandbox.listening());
  ASSERT_EQ(sim.connectToEngine(sandbox.connectionString()), VANTREL_ERR_OK);
  int result = -1;
  stderrOf([&] { result = sim.setVersionCommand(versions()); });
  ASSERT_EQ(result, VANTREL_ERR_OK);
  for (bool loading = true; loading;) ASSERT_EQ(sim.isLoadingScene(loading), VANTREL_ERR_OK);
}

// Keeps every output delivered to it, with the frame of the envelope that carried it.
template <typename T>
class Recorder : public Sensor<T> {
 public:
  void onSensorOutput(const EngineToClientMessage& message, const SensorOutput& output,
                      const T& typed) override {
    envelopeFrames.push_back(message.framenumber());
    envelopeTimes.push_back(message.simulationtimeinsec());
    frames.push_back(output.outputframenum());
    outputs.push_back(typed);
  }
  std::vector<uint32_t> envelopeFrames;
  std::vector<float> envelopeTimes;
  std::vector<uint32_t> frames;
  std::vector<T> outputs;
};

void advanceAndDispatch(VantrelSim& sim, int frames) {
  for (int i = 0; i < frames; ++i) {
    ASSERT_EQ(sim.advanceFramesAndBlockForMessages(kFrameTimeout), VANTREL_ERR_OK);
    ASSERT_EQ(sim.dispatchMessages(), VANTREL_ERR_OK);
  }
}

ConfigurationCommand* stepOf(float seconds) {
  auto* configuration = new ConfigurationCommand;
  configuration->mutable_timestepconfig()->set_fixeddeltatime(seconds);
  return configuration;
}

CarCommand* teleportTo(double x, double y, double yaw) {
  auto* command = new CarCommand;
  Transform3* transform = command->mutable_teleport()->mutable_transform();
  transform->mutable_position()->set_x(static_cast<float>(x));
  transform->mutable_position()->set_y(static_cast<float>(y));
  transform->mutable_rotation()->set_z(static_cast<float>(yaw));
  return command;
}

template <typename Parameters>
Parameters* rate(uint32_t fps) {
  auto* parameters = new Parameters;
  parameters->set_fps(fps);
  return parameters;
}

float floatAt(const std::string& bytes, size_t index) {
  float value;
  std::memcpy(&value, bytes.data() + 4 * index, sizeof value);
  return value;
}

// ---- A client on a bare socket, for what the library does not show: exact bytes, closing --------

ClientToEngineMessage commandWith(const std::function<void(Command&)>& fill) {
  ClientToEngineMessage message;
  fill(*message.mutable_command());
  return message;
}

ClientToEngineMessage versionMessage() {
  return commandWith([](Command& c) { c.set_allocated_versioncommand(versions()); });
}
ClientToEngineMessage startMessage() {
  return commandWith([](Command& c) { c.mutable_simulationcommand()->mutable_startsimulation(); });
}
ClientToEngineMessage nextFrameMessage() {
  return commandWith([](Command& c) { c.mutable_simulationcommand()->mutable_nextframe(); });
}
ClientToEngineMessage registerMessage(uint32_t sensorId) {
  return commandWith([sensorId](Command& c) {
    if (sensorId == DOGTID) {
      c.mutable_globalsensorcommand()->set_sensorid(sensorId);
      c.mutable_globalsensorcommand()->mutable_registersensor();
    } else {
      c.mutable_sensorcommand()->set_sensorid(sensorId);
      c.mutable_sensorcommand()->mutable_registersensor();
    }
  });
}
ClientToEngineMessage carMessage(const std::function<void(CarCommand&)>& fill) {
  return commandWith([&fill](Command& c) { fill(*c.mutable_carcommand()); });
}

class RawClient {
 public:
  explicit RawClient(int port) {
    m_Socket.register_callback([this](unsigned char* data, unsigned long size, VantrelErr&) {
      m_Payloads.emplace_back(reinterpret_cast<const char*>(data), size);
    });
    m_Connected = m_Socket.connect("127.0.0.1", std::to_string(port)) == VANTREL_ERR_OK;
  }
  bool connected() const { return m_Connected; }
  bool sendBytes(std::string bytes) {
    return m_Socket.send(reinterpret_cast<unsigned char*>(&bytes[0]),
                         static_cast<int>(bytes.size())) == VANTREL_ERR_OK;
  }
  bool send(const ClientToEngineMessage& message) { return sendBytes(frame(message)); }
  // Waits until `count` payloads have arrived in all; false on a time-out or a closed socket.
  bool waitFor(size_t count) {
    while (m_Payloads.size() < count) {
      if (m_Socket.waitForMessage(kFrameTimeout) != VANTREL_ERR_OK) return false;
    }
    return true;
  }
  const std::vector<std::string>& payloads() const { return m_Payloads; }
  EngineToClientMessage message(size_t index) const {
    EngineToClientMessage decoded;
    EXPECT_TRUE(decoded.ParseFromString(m_Payloads.at(index)));
    return decoded;
  }

 private:
  VantrelSocket m_Socket;
  std::vector<std::string> m_Payloads;
  bool m_Connected = false;
};

// A client that only writes bytes and reads until the engine closes, with no framing of its own,
// so that nothing but the engine writes diagnostics.
class BareClient {
 public:
  explicit BareClient(int port) {
    zel_net_reset_socket(&m_Socket);
    zel_net_init_socket_set(&m_Set);
    m_Connected = zel_net_open_socket(&m_Socket, "127.0.0.1", std::to_string(port).c_str()) == 0 &&
                  zel_net_add_socket_to_set(&m_Socket, &m_Set) == 0;
  }
  ~BareClient() { zel_net_close_socket(&m_Socket); }
  bool connected() const { return m_Connected; }
  bool sendBytes(const std::string& bytes) {
    return zel_net_send(&m_Socket, bytes.data(), static_cast<int>(bytes.size())) == 0;
  }
  // Reads and drops whatever comes until the engine closes the connection; false on a time-out.
  bool closedByEngine() {
    char chunk[4096];
    while (zel_net_check_socket_set(&m_Set, kFrameTimeout) > 0) {
      if (zel_net_recv(&m_Socket, chunk, sizeof chunk) <= 0) return true;
    }
    return false;
  }

 private:
  zel_net_socket_t m_Socket;
  zel_net_set_t m_Set;
  bool m_Connected = false;
};

// ---- The contract ------------------------------------------------------------------------------

TEST(SandboxContract, AcknowledgesTheVersionThenLoadsTheSceneStateByState) {
  RunningSandbox sandbox;
  ASSERT_TRUE(sandbox.listening());
  RawClient client(sandbox.port());
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.send(versionMessage()));
  ASSERT_TRUE(client.waitFor(8));
  EXPECT_EQ(client.payloads()[0], acknowledgement(0).SerializeAsString());
  for (int state = LoadingStateReport::init; state <= LoadingStateReport::Done; ++state) {
    SCOPED_TRACE(state);
    EXPECT_EQ(client.payloads()[1 + state],
              loadingState(static_cast<LoadingStateReport_stateType>(state)).SerializeAsString());
  }
  // A second announcement is acknowledged; the scene is not loaded again.
  ASSERT_TRUE(client.send(versionMessage()));
  ASSERT_TRUE(client.send(nextFrameMessage()));  // not running yet: answered without data
  ASSERT_TRUE(client.waitFor(10));
  EXPECT_EQ(client.message(8).ReportType_case(), EngineToClientMessage::kErrorMessage);
  EXPECT_EQ(client.message(9).ReportType_case(), EngineToClientMessage::kRegisterReport);
}

TEST(SandboxContract, StopLogAndCarCommandsGetNoReplyAndEveryReplyIsStamped) {
  RunningSandbox sandbox;
  ASSERT_TRUE(sandbox.listening());
  RawClient client(sandbox.port());
  ASSERT_TRUE(client.send(registerMessage(GPSID)));
  ASSERT_TRUE(client.send(startMessage()));
  ASSERT_TRUE(client.send(nextFrameMessage()));
  ASSERT_TRUE(client.send(nextFrameMessage()));
  ASSERT_TRUE(client.send(
      commandWith([](Command& c) { c.mutable_logcommand()->set_msg("from the client"); })));
  ASSERT_TRUE(client.send(carMessage([](CarCommand& car) { car.mutable_aidriving(); })));
  ASSERT_TRUE(client.send(
      commandWith([](Command& c) { c.mutable_simulationcommand()->mutable_stopsimulation(); })));
  ASSERT_TRUE(client.send(startMessage()));
  ASSERT_TRUE(client.send(nextFrameMessage()));
  ASSERT_TRUE(client.waitFor(6));
  const EngineToClientMessage::ReportTypeCase expected[] = {
      EngineToClientMessage::kErrorMessage,   EngineToClientMessage::kErrorMessage,
      EngineToClientMessage::kRegisterReport, EngineToClientMessage::kRegisterReport,
      EngineToClientMessage::kErrorMessage,   EngineToClientMessage::kRegisterReport};
  const uint32_t frames[] = {0, 0, 1, 2, 2, 3};
  for (size_t i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    const EngineToClientMessage message = client.message(i);
    EXPECT_EQ(message.ReportType_case(), expected[i]);
    EXPECT_EQ(message.framenumber(), frames[i]);
    EXPECT_FLOAT_EQ(message.simulationtimeinsec(), frames[i] * 0.05f);
  }
  EXPECT_EQ(client.message(5).registerreport().sensorsoutput_size(), 1);
}

TEST(SandboxContract, AnswersEveryQuery) {
  RunningSandbox sandbox;
  VantrelSim sim;
  ASSERT_NO_FATAL_FAILURE(connectAndLoad(sim, sandbox));

  std::string version;
  ASSERT_EQ(sim.getEngineVersion(version), VANTREL_ERR_OK);
  EXPECT_EQ(version.rfind("vantrel-sandbox-engine ", 0), 0u) << version;
  std::string terrain;
  ASSERT_EQ(sim.getTerrain(terrain), VANTREL_ERR_OK);
  EXPECT_EQ(terrain.rfind("stadium track: 2 lanes", 0), 0u) << terrain;

  std::vector<CarQueryReport> cars;
  ASSERT_EQ(sim.getCarsInfo(cars), VANTREL_ERR_OK);
  ASSERT_EQ(cars.size(), 4u);
  EXPECT_EQ(cars[0].name(), "ego");
  EXPECT_FLOAT_EQ(cars[0].boundingbox().length(), 4.5f);
  for (size_t i = 0; i < cars.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(cars[i].roiobjectid(), i + 1);
    EXPECT_GT(cars[i].behaviourparams().desiredspeed(), 0.0f);
  }

  std::vector<MovingObjectQueryReport> pedestrians;
  ASSERT_EQ(sim.getMovingObjectInfo(pedestrians), VANTREL_ERR_OK);
  ASSERT_EQ(pedestrians.size(), 2u);
  EXPECT_GT(pedestrians[0].path().waypoints_size(), 10);

  struct Expected {
    uint32_t id;
    SensorQueryReport::QueryTypeCase kind;
  };
  const Expected expected[] = {
      {1, SensorQueryReport::kRgbCameraReport},
      {2, SensorQueryReport::kDepthCameraReport},
      {3, SensorQueryReport::kSlClassReport},
      {4, SensorQueryReport::kLidarReport},
      {5, SensorQueryReport::kRadarReport},
      {6, SensorQueryReport::kLaneDetectorReport},
      {7, SensorQueryReport::kE2CReport},
      {8, SensorQueryReport::kSlInstanceReport},
      {ROIID, SensorQueryReport::kRoiReport},
      {GPSID, SensorQueryReport::kGpsReport},
      {CARTELEMETRYID, SensorQueryReport::kCarTelemetriesReport},
  };
  std::vector<SensorQueryReport> sensors;
  ASSERT_EQ(sim.getSensorsInfo(sensors), VANTREL_ERR_OK);
  ASSERT_EQ(sensors.size(), std::size(expected));
  for (size_t i = 0; i < sensors.size(); ++i) {
    SCOPED_TRACE(sensors[i].name());
    EXPECT_EQ(sensors[i].sensorid(), expected[i].id);
    EXPECT_EQ(sensors[i].QueryType_case(), expected[i].kind);
    EXPECT_EQ(sensors[i].fps(), 20u);  // every frame of the default 0.05 s step
  }
  EXPECT_EQ(sensors[0].rgbcamerareport().width(), kSmallCamera.width);
  EXPECT_EQ(sensors[0].rgbcamerareport().height(), kSmallCamera.height);

  std::vector<GlobalSensorQueryReport> global;
  ASSERT_EQ(sim.getGlobalSensors(global), VANTREL_ERR_OK);
  ASSERT_EQ(global.size(), 1u);
  EXPECT_EQ(global[0].sensorid(), static_cast<uint32_t>(DOGTID));
  EXPECT_TRUE(global[0].has_dogtreport());
}

TEST(SandboxContract, AcknowledgesCommandsWithTheSchemasCodes) {
  RunningSandbox sandbox;
  VantrelSim sim;
  ASSERT_NO_FATAL_FAILURE(connectAndLoad(sim, sandbox));
  Recorder<GPSOutput> gps;
  Recorder<RGBCameraOutput> camera;
  Recorder<DynamicObjectGroundTruthOutput> truth;
  struct Case {
    const char* name;
    std::function<int()> command;
    int expected;
  };
  const float notANumber = std::numeric_limits<float>::quiet_NaN();
  const Case cases[] = {
      {"step 0.05 s", [&] { return sim.setConfiguration(stepOf(0.05f)); }, VANTREL_ERR_OK},
      {"step 1 s", [&] { return sim.setConfiguration(stepOf(1.0f)); }, VANTREL_ERR_OK},
      {"no time stepping at all: the step stays",
       [&] { return sim.setConfiguration(new ConfigurationCommand); }, VANTREL_ERR_OK},
      {"step 0", [&] { return sim.setConfiguration(stepOf(0.0f)); },
       VANTREL_ERR_BAD_TIMING_SETTINGS},
      {"step -0.1 s", [&] { return sim.setConfiguration(stepOf(-0.1f)); },
       VANTREL_ERR_BAD_TIMING_SETTINGS},
      {"step 1.5 s", [&] { return sim.setConfiguration(stepOf(1.5f)); },
       VANTREL_ERR_BAD_TIMING_SETTINGS},
      {"step NaN", [&] { return sim.setConfiguration(stepOf(notANumber)); },
       VANTREL_ERR_BAD_TIMING_SETTINGS},
      {"register GPS 101", [&] { return sim.registerSensor(0, GPSID, gps); }, VANTREL_ERR_OK},
      {"register camera 1", [&] { return sim.registerSensor(0, 1, camera); }, VANTREL_ERR_OK},
      {"register sensor 999", [&] { return sim.registerSensor(0, 999, gps); },
       VANTREL_ERR_SENSORS_NOT_FOUND},
      {"register ground truth 200", [&] { return sim.registerSensor(DOGTID, truth); },
       VANTREL_ERR_OK},
      {"register global sensor 1", [&] { return sim.registerSensor(1, truth); },
       VANTREL_ERR_SENSORS_NOT_FOUND},
      {"camera 1 at 10 fps",
       [&] { return sim.setSensorParam(0, 1, rate<RGBCameraModifiable>(10)); }, VANTREL_ERR_OK},
      {"lidar 4 at 10 fps", [&] { return sim.setSensorParam(0, 4, rate<LidarModifiable>(10)); },
       VANTREL_ERR_OK},
      {"lidar 999", [&] { return sim.setSensorParam(0, 999, rate<LidarModifiable>(10)); },
       VANTREL_ERR_SENSORS_NOT_FOUND},
      {"lidar parameters for camera 1",
       [&] { return sim.setSensorParam(0, 1, rate<LidarModifiable>(10)); }, VANTREL_ERR_BAD_PARAMS},
      {"ground truth 200 at 5 fps",
       [&] { return sim.setSensorParam(DOGTID, rate<DOGTModifiable>(5)); }, VANTREL_ERR_OK},
      {"ground truth 201", [&] { return sim.setSensorParam(201, rate<DOGTModifiable>(5)); },
       VANTREL_ERR_SENSORS_NOT_FOUND},
      {"start", [&] { return sim.start(Blocking); }, VANTREL_ERR_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.command(), c.expected);
    EXPECT_EQ(sim.lastError(), c.expected);
  }
}

// ---- A misbehaving client
// ------------------------------------------------------------------------

TEST(SandboxMisbehavingClient, IsLoggedAndDisconnectedAndTheNextClientIsServed) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string log;
  };
  const Case cases[] = {
      {"bytes that do not decode", frameHeader(3) + "\xff\xff\xff",
       "sandbox: client 1 sent a message that does not decode (3 bytes); disconnected\n"},
      {"a negative length", frameHeader(-5) + "hello",
       "Can't parse negative size message\n"
       "sandbox: client 1 sent a negative frame length; disconnected\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunningSandbox sandbox;
    ASSERT_TRUE(sandbox.listening());
    bool closed = false;
    const std::string log = stderrOf([&] {
      BareClient client(sandbox.port());
      ASSERT_TRUE(client.connected());
      ASSERT_TRUE(client.sendBytes(frame(versionMessage())));
      ASSERT_TRUE(client.sendBytes(c.bytes));
      closed = client.closedByEngine();
    });
    EXPECT_TRUE(closed);
    EXPECT_EQ(log, c.log);

    VantrelSim next;
    ASSERT_NO_FATAL_FAILURE(connectAndLoad(next, sandbox));
    std::string version;
    EXPECT_EQ(next.getEngineVersion(version), VANTREL_ERR_OK);
  }
}

TEST(SandboxCarCommands, ProblemsGoToStandardErrorOnly) {
  RunningSandbox sandbox;
  VantrelSim sim;
  ASSERT_NO_FATAL_FAILURE(connectAndLoad(sim, sandbox));
  ASSERT_EQ(sim.start(Blocking), VANTREL_ERR_OK);
  int advanced = -1;
  const std::string log = stderrOf([&] {
    EXPECT_EQ(sim.sendCarControlGasCmd(0, 1.7f), VANTREL_ERR_OK);
    EXPECT_EQ(sim.sendCarControlSteeringCmd(9, 0.5f), VANTREL_ERR_OK);
    EXPECT_EQ(sim.sendCarControlBrakesCmd(0, std::numeric_limits<float>::quiet_NaN()),
              VANTREL_ERR_OK);
    advanced = sim.advanceFramesAndBlockForMessages(kFrameTimeout);
  });
  EXPECT_EQ(advanced, VANTREL_ERR_OK);
  EXPECT_EQ(log,
            "sandbox: ego: gas 1.7 outside [0, 1], clamped to 1\n"
            "sandbox: car command for unknown car 9, ignored\n"
            "sandbox: ego: brake nan is not a number, ignored\n");
  EXPECT_EQ(sim.lastError(), VANTREL_ERR_OK);
}

// ---- The end of a run --------------------------------------------------------------------------

TEST(SandboxEndOfSimulation, EndsWithAReadableReason) {
  struct Case {
    const char* name;
    uint32_t frameBudget;
    std::function<void(VantrelSim&, const std::vector<CarQueryReport>&)> before;
    int framesServed;
    std::string reason;
  };
  const Case cases[] = {
      {"frame budget", 3, nullptr, 3, "frame budget of 3 frames reached"},
      {"ego car into the infield", 0,
       [](VantrelSim& sim, const std::vector<CarQueryReport>&) {
         EXPECT_EQ(sim.carControlCmd(teleportTo(0.0, 0.0, 0.0)), VANTREL_ERR_OK);
       },
       0, "ego car left the road at frame 1"},
      {"ego car onto car-1", 0,
       [](VantrelSim& sim, const std::vector<CarQueryReport>& cars) {
         const SDKVector3& at = cars[1].boundingbox().transform().position();
         EXPECT_EQ(sim.carControlCmd(teleportTo(at.x() - 1.0, at.y(), 0.0)), VANTREL_ERR_OK);
       },
       0, "collision between ego and car-1 at frame 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunningSandbox sandbox(sandboxOptions(c.frameBudget));
    VantrelSim sim;
    ASSERT_NO_FATAL_FAILURE(connectAndLoad(sim, sandbox));
    std::vector<CarQueryReport> cars;
    ASSERT_EQ(sim.getCarsInfo(cars), VANTREL_ERR_OK);
    ASSERT_EQ(sim.start(Blocking), VANTREL_ERR_OK);
    if (c.before) c.before(sim, cars);
    for (int frame = 0; frame < c.framesServed; ++frame) {
      ASSERT_EQ(sim.advanceFramesAndBlockForMessages(kFrameTimeout), VANTREL_ERR_OK);
    }
    int advanced = 0;
    const std::string notice =
        stdoutOf([&] { advanced = sim.advanceFramesAndBlockForMessages(kFrameTimeout); });
    EXPECT_EQ(advanced, VANTREL_ERR_DISCONNECTED);
    EXPECT_EQ(notice, "Simulation Ended, Reason: " + c.reason + "\n");
    bool running = true;
    sim.isRunning(running);
    EXPECT_FALSE(running);
  }
}

// ---- What the sensors see ----------------------------------------------------------------------

TEST(SandboxSensors, CameraSeesSkyAboveAndRoadBelowAndTheCarAhead) {
  RunningSandbox sandbox;
  VantrelSim sim;
  ASSERT_NO_FATAL_FAILURE(connectAndLoad(sim, sandbox));
  Recorder<RGBCameraOutput> rgb;
  Recorder<DepthCameraOutput> depth;
  Recorder<SemanticClassLabelingOutput> classes;
  ASSERT_EQ(sim.registerSensor(0, 1, rgb), VANTREL_ERR_OK);
  ASSERT_EQ(sim.registerSensor(0, 2, depth), VANTREL_ERR_OK);
  ASSERT_EQ(sim.registerSensor(0, 3, classes), VANTREL_ERR_OK);
  ASSERT_EQ(sim.start(Blocking), VANTREL_ERR_OK);
  ASSERT_NO_FATAL_FAILURE(advanceAndDispatch(sim, 1));
  ASSERT_EQ(rgb.outputs.size(), 1u);
  ASSERT_EQ(depth.outputs.size(), 1u);
  ASSERT_EQ(classes.outputs.size(), 1u);

  const uint32_t width = kSmallCamera.width;
  const uint32_t height = kSmallCamera.height;
  const std::string& pixels = rgb.outputs[0].pixels();
  const std::string& labels = classes.outputs[0].pixels();
  ASSERT_EQ(rgb.outputs[0].width(), width);
  ASSERT_EQ(rgb.outputs[0].height(), height);
  ASSERT_EQ(pixels.size(), 4u * width * height);
  ASSERT_EQ(labels.size(), 1u * width * height);
  ASSERT_EQ(depth.outputs[0].pixels().size(), 4u * width * height);
  auto rgbAt = [&](uint32_t u, uint32_t v, int channel) {
    return static_cast<unsigned char>(pixels[4 * (v * width + u) + channel]);
  };
  const char kSky = 1;
  const char kRoad = 3;
  const char kVehicle = 5;
  for (uint32_t u = 0; u < width; ++u) EXPECT_EQ(labels[u], kSky) << "top row, column " << u;
  const uint32_t centre = width / 2;
  EXPECT_EQ(labels[(height - 1) * width + centre], kRoad);
  // Sky is blue; the road is a dark grey.
  EXPECT_GT(rgbAt(centre, 0, 2), rgbAt(centre, 0, 0));
  EXPECT_EQ(rgbAt(centre, 0, 3), 255);
  const int red = rgbAt(centre, height - 1, 0);
  EXPECT_LT(red, 128);
  EXPECT_LE(std::abs(red - rgbAt(centre, height - 1, 2)), 16);
  // The bottom row meets the ground where the camera's height and the ray's slope say.
  const double slope = (height / 2.0 - 0.5) / (width / 2.0);
  EXPECT_NEAR(floatAt(depth.outputs[0].pixels(), (height - 1) * width + centre),
              kCameraHeight / slope, 1e-3);
  // car-1 stands ahead in the same lane.
  EXPECT_NE(labels.find(kVehicle), std::string::npos);
}

TEST(SandboxSensors, LidarHitsTheGroundAtTheRangeOfItsLowestChannel) {
  RunningSandbox sandbox;
  VantrelSim sim;
  ASSERT_NO_FATAL_FAILURE(connectAndLoad(sim, sandbox));
  Recorder<LidarOutput> lidar;
  ASSERT_EQ(sim.registerSensor(0, 4, lidar), VANTREL_ERR_OK);
  ASSERT_EQ(sim.start(Blocking), VANTREL_ERR_OK);
  ASSERT_NO_FATAL_FAILURE(advanceAndDispatch(sim, 1));
  ASSERT_EQ(lidar.outputs.size(), 1u);
  const std::string& points = lidar.outputs[0].points();
  ASSERT_EQ(points.size() % 12, 0u);
  ASSERT_GT(points.size(), 0u);

  const double expectedRange = kLidarHeight / std::tan(kLidarLowestElevation);
  double nearestGround = 1e9;
  size_t groundPoints = 0;
  for (size_t i = 0; i < points.size() / 12; ++i) {
    const float x = floatAt(points, 3 * i);
    const float y = floatAt(points, 3 * i + 1);
    const float z = floatAt(points, 3 * i + 2);
    if (std::abs(z + kLidarHeight) > 1e-3) continue;
    ++groundPoints;
    nearestGround = std::min(nearestGround, std::hypot(double{x}, double{y}));
  }
  EXPECT_GT(groundPoints, 360u);
  EXPECT_NEAR(nearestGround, expectedRange, 1e-3);
  // The scan begins straight ahead, from the top channel down: the first ground point straight
  // ahead is the lowest channel's, unless something stands nearer.
  EXPECT_NEAR(floatAt(points, 1), 0.0f, 1e-3);
}

TEST(SandboxSensors, DeliversEachSensorAtItsRate) {
  RunningSandbox sandbox;
  VantrelSim sim;
  ASSERT_NO_FATAL_FAILURE(connectAndLoad(sim, sandbox));
  Recorder<RGBCameraOutput> camera;
  Recorder<GPSOutput> gps;
  Recorder<DynamicObjectGroundTruthOutput> truth;
  ASSERT_EQ(sim.setConfiguration(stepOf(0.05f)), VANTREL_ERR_OK);
  ASSERT_EQ(sim.registerSensor(0, 1, camera), VANTREL_ERR_OK);
  ASSERT_EQ(sim.registerSensor(0, GPSID, gps), VANTREL_ERR_OK);
  ASSERT_EQ(sim.registerSensor(DOGTID, truth), VANTREL_ERR_OK);
  ASSERT_EQ(sim.setSensorParam(0, 1, rate<RGBCameraModifiable>(10)), VANTREL_ERR_OK);
  ASSERT_EQ(sim.setSensorParam(DOGTID, rate<DOGTModifiable>(5)), VANTREL_ERR_OK);
  ASSERT_EQ(sim.start(Blocking), VANTREL_ERR_OK);
  ASSERT_NO_FATAL_FAILURE(advanceAndDispatch(sim, 8));

  EXPECT_EQ(camera.frames, (std::vector<uint32_t>{1, 3, 5, 7}));
  EXPECT_EQ(truth.frames, (std::vector<uint32_t>{1, 5}));
  EXPECT_EQ(gps.frames, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  for (size_t i = 0; i < gps.frames.size(); ++i) {
    EXPECT_EQ(gps.envelopeFrames[i], gps.frames[i]);
    EXPECT_FLOAT_EQ(gps.envelopeTimes[i], gps.frames[i] * 0.05f);
  }
  // Every dynamic object: four cars, two pedestrians, the traffic light.
  ASSERT_FALSE(truth.outputs.empty());
  EXPECT_EQ(truth.outputs[0].objects_size(), 7);
}

TEST(SandboxWorld, TheEngineKeepsTheEgoCarInItsLaneThroughTheCurve) {
  RunningSandbox sandbox;
  VantrelSim sim;
  ASSERT_NO_FATAL_FAILURE(connectAndLoad(sim, sandbox));
  Recorder<GPSOutput> gps;
  ASSERT_EQ(sim.registerSensor(0, GPSID, gps), VANTREL_ERR_OK);
  ASSERT_EQ(sim.start(Blocking), VANTREL_ERR_OK);
  ASSERT_EQ(sim.sendAiDriveCarCmd(0), VANTREL_ERR_OK);
  ASSERT_NO_FATAL_FAILURE(advanceAndDispatch(sim, 400));
  ASSERT_EQ(gps.outputs.size(), 400u);
  bool sawTheCurve = false;
  for (const GPSOutput& fix : gps.outputs) {
    ASSERT_EQ(fix.lanenumber(), 1);
    ASSERT_LT(std::abs(fix.laneoffset()), 0.5f) << "at x " << fix.position().x();
    sawTheCurve = sawTheCurve || fix.navigationsegment() == 1;
  }
  EXPECT_TRUE(sawTheCurve);
  EXPECT_GT(gps.outputs.back().speed(), 8.0f);
}

// ---- Determinism ------------------------------------------------------------------------------

// Every byte the engine sends to a client that registers every sensor and drives for a while.
std::vector<std::string> streamOfRun(uint32_t seed) {
  RunningSandbox sandbox(sandboxOptions(0, seed));
  EXPECT_TRUE(sandbox.listening());
  RawClient client(sandbox.port());
  EXPECT_TRUE(client.send(versionMessage()));
  const uint32_t sensors[] = {1, 2, 3, 4, 5, 6, 7, 8, ROIID, GPSID, CARTELEMETRYID, DOGTID};
  for (uint32_t id : sensors) EXPECT_TRUE(client.send(registerMessage(id)));
  EXPECT_TRUE(client.send(startMessage()));
  size_t expected = 8 + std::size(sensors) + 1;
  for (int frame = 1; frame <= 30; ++frame) {
    if (frame == 20) {
      EXPECT_TRUE(client.send(carMessage([](CarCommand& car) { car.mutable_aidriving(); })));
    } else if (frame < 20) {
      EXPECT_TRUE(client.send(carMessage([frame](CarCommand& car) {
        car.mutable_drive()->set_gas(0.6f);
        car.mutable_drive()->set_steering(frame % 2 == 0 ? 0.05f : -0.05f);
      })));
    }
    EXPECT_TRUE(client.send(nextFrameMessage()));
    EXPECT_TRUE(client.waitFor(++expected));
  }
  return client.payloads();
}

TEST(SandboxDeterminism, OneSeedAndOneSequenceOfCommandsGiveOneByteStream) {
  const std::vector<std::string> first = streamOfRun(7);
  const std::vector<std::string> second = streamOfRun(7);
  const std::vector<std::string> otherSeed = streamOfRun(8);
  ASSERT_EQ(first.size(), second.size());
  for (size_t i = 0; i < first.size(); ++i) EXPECT_EQ(first[i], second[i]) << "message " << i;
  ASSERT_EQ(otherSeed.size(), first.size());
  EXPECT_NE(otherSeed.back(), first.back());
}

// ---- The command line --------------------------------------------------------------------------

TEST(SandboxOptions, ReadsTheCommandLine) {
  struct Case {
    std::vector<std::string> arguments;
    ParseResult result;
    std::string port;
    uint32_t frames;
    uint32_t seed;
    uint32_t width;
    uint32_t height;
    std::string error;
  };
  const Case cases[] = {
      {{}, ParseResult::Run, "8052", 0, 1, 320, 240, ""},
      {{"--port", "0", "--frames", "500", "--seed", "9", "--camera", "64x48"},
       ParseResult::Run,
       "0",
       500,
       9,
       64,
       48,
       ""},
      {{"--help"}, ParseResult::Help, "8052", 0, 1, 320, 240, ""},
      {{"--port", "65536"},
       ParseResult::Error,
       "8052",
       0,
       1,
       320,
       240,
       "bad value for --port: 65536"},
      {{"--camera", "64x"},
       ParseResult::Error,
       "8052",
       0,
       1,
       320,
       240,
       "bad value for --camera: 64x"},
      {{"--frames", "-1"},
       ParseResult::Error,
       "8052",
       0,
       1,
       320,
       240,
       "bad value for --frames: -1"},
      {{"--seed"}, ParseResult::Error, "8052", 0, 1, 320, 240, "--seed needs a value"},
      {{"--fast"}, ParseResult::Error, "8052", 0, 1, 320, 240, "unknown option --fast"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.empty() ? "no arguments" : c.arguments[0]);
    EngineOptions options;
    std::string error;
    EXPECT_EQ(parseOptions(c.arguments, options, error), c.result);
    EXPECT_EQ(error, c.error);
    if (c.result != ParseResult::Run) continue;
    EXPECT_EQ(options.port, c.port);
    EXPECT_EQ(options.frameBudget, c.frames);
    EXPECT_EQ(options.seed, c.seed);
    EXPECT_EQ(options.camera.width, c.width);
    EXPECT_EQ(options.camera.height, c.height);
  }
}

}  // namespace
