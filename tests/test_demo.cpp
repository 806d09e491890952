// The demo client's loop driven against a sandbox engine in this process: the car keeps its lane
// and its speed, every sensor delivers when it is due, the pictures show what they should, and
// one seed gives one stream.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DemoClient.h"
#include "LaneKeeper.h"
#include "SandboxServer.h"
#include "Scene.h"

namespace {

using Vantrel::Demo::DemoClient;
using Vantrel::Demo::DemoOptions;
using Vantrel::Demo::DemoRun;
using Vantrel::Sandbox::EngineOptions;
using Vantrel::Sandbox::SandboxServer;

constexpr unsigned int kFrames = 100;
constexpr unsigned int kSlowFps = 10;  // the camera's and the lidar's rate, half the frame rate

// The engine on its own thread for the lifetime of the object; it serves one client after another.
class InProcessSandbox {
 public:
  explicit InProcessSandbox(uint32_t seed) : m_Server(optionsFor(seed), m_Events) {
    m_Listening = m_Server.listen();
    if (m_Listening) m_Thread = std::thread([this] { m_Server.serve(); });
  }
  ~InProcessSandbox() {
    m_Server.stop();
    if (m_Thread.joinable()) m_Thread.join();
  }
  bool listening() const { return m_Listening; }
  std::string connectionString() const { return "127.0.0.1 " + std::to_string(m_Server.port()); }

 private:
  static EngineOptions optionsFor(uint32_t seed) {
    EngineOptions options;
    options.port = "0";
    options.seed = seed;
    options.camera.width = 160;
    options.camera.height = 120;
    return options;
  }
  std::ostringstream m_Events;  // written by the engine's thread only
  SandboxServer m_Server;
  bool m_Listening = false;
  std::thread m_Thread;
};

DemoRun runDemo(const InProcessSandbox& sandbox) {
  DemoOptions options;
  options.connection = sandbox.connectionString();
  options.frames = kFrames;
  options.cameraFps = kSlowFps;
  options.lidarFps = kSlowFps;
  DemoClient client(options);
  client.run();
  return client.result();
}

// A sensor sampling at `fps` is due in the frames whose step covers one of its instants n / fps;
// at 20 Hz that is every frame, at 10 fps every odd frame.
std::vector<unsigned int> dueFrames(unsigned int fps) {
  std::vector<unsigned int> frames;
  const unsigned int period = 20 / fps;
  for (unsigned int frame = 1; frame <= kFrames; frame += period) frames.push_back(frame);
  return frames;
}

float floatAt(const std::string& bytes, size_t offset) {
  float value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);  // little-endian, as is the host
  return value;
}

class DemoLoop : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sandbox = new InProcessSandbox(7);
    ASSERT_TRUE(sandbox->listening());
    first = new DemoRun(runDemo(*sandbox));
  }
  static void TearDownTestSuite() {
    delete first;
    delete sandbox;
  }
  static InProcessSandbox* sandbox;
  static DemoRun* first;
};
InProcessSandbox* DemoLoop::sandbox = nullptr;
DemoRun* DemoLoop::first = nullptr;

TEST_F(DemoLoop, GoesThroughTheTypicalRun) {
  const DemoRun& run = *first;
  EXPECT_EQ(run.result, 0) << run.failure;
  EXPECT_EQ(run.endReason, "");
  EXPECT_EQ(run.loadingStates,
            (std::vector<std::string>{"init", "Terrain", "SpawningEgoCar", "Sensors",
                                      "SpawningCars", "SpawningPedestrians", "Done"}));
  EXPECT_FALSE(run.engineVersion.empty());
  EXPECT_FALSE(run.terrain.empty());
  EXPECT_FALSE(run.cars.empty());
  ASSERT_EQ(run.frames.size(), kFrames);
  for (unsigned int i = 0; i < kFrames; ++i) EXPECT_EQ(run.frames[i].frame, i + 1);
  EXPECT_NEAR(run.frames.back().time, kFrames * 0.05f, 1e-3f);
}

TEST_F(DemoLoop, KeepsItsLaneAndReachesItsSpeed) {
  const DemoRun& run = *first;
  ASSERT_EQ(run.frames.size(), kFrames);
  for (const auto& frame : run.frames) {
    EXPECT_LT(std::abs(frame.laneOffset), 0.3) << "frame " << frame.frame;
  }
  // From a standstill to the target of 12 m/s within the five seconds, without overshooting.
  EXPECT_GT(run.frames.back().speed, 11.0);
  for (const auto& frame : run.frames) EXPECT_LT(frame.speed, 12.5) << "frame " << frame.frame;
}

TEST_F(DemoLoop, EverySensorDeliversOnItsDueFrames) {
  const DemoRun& run = *first;
  EXPECT_EQ(run.sensors.size(), run.sensorReports.size() + run.globalSensorReports.size());
  for (const auto& entry : run.sensors) {
    const Vantrel::Demo::SensorRecord& sensor = entry.second;
    const bool slow = sensor.kind == "RGB camera" || sensor.kind == "lidar";
    EXPECT_EQ(sensor.frames, dueFrames(slow ? kSlowFps : 20))
        << sensor.name << " (" << sensor.kind << ")";
  }
}

TEST_F(DemoLoop, CameraSeesSkyAboveAndRoadBelow) {
  const Vantrel::Demo::Image& camera = first->camera;
  ASSERT_EQ(camera.frame, kFrames - 1);  // the camera's last due frame
  ASSERT_EQ(camera.pixels.size(), static_cast<size_t>(camera.width) * camera.height * 4);
  auto pixel = [&](unsigned int x, unsigned int y) {
    const unsigned char* p =
        reinterpret_cast<const unsigned char*>(camera.pixels.data()) + 4 * (y * camera.width + x);
    return std::vector<int>{p[0], p[1], p[2]};
  };
  for (unsigned int x = 0; x < camera.width; x += 8) {
    const std::vector<int> sky = pixel(x, 0);
    EXPECT_GT(sky[2], sky[0] + 40) << "top row, column " << x;  // blue over red
    EXPECT_GT(sky[2], sky[1]) << "top row, column " << x;
  }
  const std::vector<int> road = pixel(camera.width / 2, camera.height - 1);
  EXPECT_LT(std::abs(road[0] - road[1]), 16);  // grey asphalt
  EXPECT_LT(std::abs(road[1] - road[2]), 16);
  EXPECT_LT(road[0], 140);

  const Vantrel::Demo::Image& classes = first->semantic;
  ASSERT_EQ(classes.pixels.size(), static_cast<size_t>(classes.width) * classes.height);
  for (unsigned int x = 0; x < classes.width; ++x) {
    EXPECT_EQ(static_cast<unsigned char>(classes.pixels[x]), Vantrel::Sandbox::kClassSky) << x;
  }
  EXPECT_EQ(static_cast<unsigned char>(
                classes.pixels[(classes.height - 1) * classes.width + classes.width / 2]),
            Vantrel::Sandbox::kClassRoad);
}

// The lidar's lowest channel looks down by half its vertical field of view, so on flat ground it
// draws a ring at the mount's height over the tangent of that angle.
TEST_F(DemoLoop, LidarHitsTheGroundAtTheExpectedRange) {
  const DemoRun& run = *first;
  double halfVFov = 0.0;
  for (const auto& report : run.sensorReports) {
    if (report.has_lidarreport()) halfVFov = report.lidarreport().vfov() / 2 * M_PI / 180.0;
  }
  ASSERT_GT(halfVFov, 0.0);
  const double height = run.lidarMount.position().z();
  ASSERT_GT(height, 0.5);
  const double expectedRange = height / std::tan(halfVFov);

  ASSERT_EQ(run.lidarPoints.size() % 12, 0u);
  ASSERT_FALSE(run.lidarPoints.empty());
  size_t groundPoints = 0;
  size_t innerRing = 0;
  double nearestGround = 1e9;
  for (size_t offset = 0; offset < run.lidarPoints.size(); offset += 12) {
    const double x = floatAt(run.lidarPoints, offset);
    const double y = floatAt(run.lidarPoints, offset + 4);
    const double z = floatAt(run.lidarPoints, offset + 8);
    if (std::abs(z + height) > 0.01) continue;
    ++groundPoints;
    const double range = std::hypot(x, y);
    nearestGround = std::min(nearestGround, range);
    if (std::abs(range - expectedRange) < 0.02 * expectedRange) ++innerRing;
  }
  EXPECT_GT(groundPoints, 1000u);
  EXPECT_NEAR(nearestGround, expectedRange, 0.02 * expectedRange);
  // All around, but for the azimuths that another object hides.
  EXPECT_GT(innerRing, 300u);
}

TEST_F(DemoLoop, SameSeedGivesTheSameStream) {
  const DemoRun again = runDemo(*sandbox);
  ASSERT_EQ(again.result, 0) << again.failure;
  EXPECT_EQ(again.frames.size(), first->frames.size());
  EXPECT_EQ(again.bytesReceived, first->bytesReceived);
  EXPECT_EQ(again.streamHash, first->streamHash);

  InProcessSandbox otherSeed(8);
  ASSERT_TRUE(otherSeed.listening());
  const DemoRun other = runDemo(otherSeed);
  ASSERT_EQ(other.result, 0) << other.failure;
  EXPECT_NE(other.streamHash, first->streamHash);
}

// The controller's signs, one situation each: which way it steers and which pedal it presses.
TEST(LaneKeeper, SteersBackIntoTheLaneAndHoldsItsSpeed) {
  using Vantrel::Demo::Observation;
  struct Case {
    const char* situation;
    Observation observation;
    int steering;  // the sign of the steering wanted
    bool gas;
    bool brake;
  };
  auto observed = [](double speed) {
    Observation observation;
    observation.speed = speed;
    return observation;
  };
  std::vector<Case> cases;
  cases.push_back({"centred on a straight at speed", observed(12.0), 0, true, false});
  Observation left = observed(12.0);
  left.laneOffset = 0.5;
  cases.push_back({"left of the centre", left, -1, true, false});
  Observation right = observed(12.0);
  right.laneOffset = -0.5;
  cases.push_back({"right of the centre", right, 1, true, false});
  Observation pointingLeft = observed(12.0);
  pointingLeft.headingError = 0.1;
  cases.push_back({"heading left of the lane", pointingLeft, -1, true, false});
  Observation bend = observed(12.0);
  bend.laneCurvature = 1.0 / 30.0;
  cases.push_back({"lane bending left", bend, 1, true, false});
  Observation tooFast = observed(16.0);
  cases.push_back({"too fast", tooFast, 0, false, true});
  Observation behindSlowCar = observed(12.0);
  behindSlowCar.leadCar = true;
  behindSlowCar.leadGap = 10.0;
  behindSlowCar.leadSpeed = 6.0;
  cases.push_back({"close behind a slow car", behindSlowCar, 0, false, true});
  Observation redLight = observed(10.0);
  redLight.stopAhead = true;
  redLight.stopDistance = 20.0;
  cases.push_back({"red light 20 m ahead", redLight, 0, false, true});
  Observation waiting = observed(0.0);
  waiting.stopAhead = true;
  waiting.stopDistance = 1.5;
  cases.push_back({"standing at the stop line", waiting, 0, false, true});

  const Vantrel::Demo::LaneKeeper keeper(12.0);
  for (const Case& c : cases) {
    const Vantrel::Demo::Controls controls = keeper.control(c.observation);
    const int steering = controls.steering > 1e-6 ? 1 : (controls.steering < -1e-6 ? -1 : 0);
    EXPECT_EQ(steering, c.steering) << c.situation;
    EXPECT_EQ(controls.gas > 0.0, c.gas) << c.situation;
    EXPECT_EQ(controls.brake > 0.0, c.brake) << c.situation;
  }
}

}  // namespace
