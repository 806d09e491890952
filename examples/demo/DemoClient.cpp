#include "DemoClient.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <utility>

namespace Vantrel {
namespace Demo {

using namespace SDK;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// 64-bit FNV-1a, continued from `hash`.
uint64_t fnv1a(uint64_t hash, const std::string& bytes) {
  for (unsigned char byte : bytes) {
    hash ^= byte;
    hash *= 1099511628211ull;
  }
  return hash;
}
constexpr uint64_t kFnvOffset = 14695981039346656037ull;

constexpr int kProgressWidth = 24;

// Prints the loading as a bar with the state's name. The proxy hands over the states newest
// first; they are put back in order and printed once the wait that brought them has returned.
class ProgressBar : public LoadingState {
 public:
  ProgressBar(std::vector<std::string>& names, std::ostream* out) : m_Names(names), m_Out(out) {}

  void onLoadingStateChanged(LoadingStateReport_stateType state) override {
    m_Pending.push_back(state);
  }

  void flush() {
    std::sort(m_Pending.begin(), m_Pending.end());
    for (LoadingStateReport_stateType state : m_Pending) {
      m_Names.push_back(LoadingStateReport_stateType_Name(state));
      if (m_Out == nullptr) continue;
      const int steps = LoadingStateReport_stateType_stateType_MAX;
      const int filled = kProgressWidth * state / steps;
      *m_Out << "loading [" << std::string(filled, '#') << std::string(kProgressWidth - filled, '.')
             << "] " << std::setw(3) << 100 * state / steps << "% "
             << LoadingStateReport_stateType_Name(state) << std::endl;
    }
    m_Pending.clear();
  }

 private:
  std::vector<std::string>& m_Names;
  std::ostream* m_Out;
  std::vector<LoadingStateReport_stateType> m_Pending;
};

double number(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

}  // namespace

// What the client keeps of each registered sensor, whatever its kind.
class DemoClient::Recorder {
 public:
  virtual ~Recorder() = default;
};

namespace {

// The client's side of one registered sensor: every output is recorded, then handed to the
// client's handler for its kind.
template <typename T>
class RecordingSensor : public DemoClient::Recorder, public Sensor<T> {
 public:
  explicit RecordingSensor(DemoClient& client) : m_Client(client) {}

  void onSensorOutput(const EngineToClientMessage& message, const SensorOutput& output,
                      const T& typedOutput) override {
    m_Client.recordOutput(output.outputsensorid(), message, output);
    m_Client.take(output.outputframenum(), typedOutput);
  }

 private:
  DemoClient& m_Client;
};

}  // namespace

DemoClient::DemoClient(DemoOptions options)
    : m_Options(std::move(options)), m_Keeper(m_Options.targetSpeed) {
  m_Run.streamHash = kFnvOffset;
}

DemoClient::~DemoClient() = default;

bool DemoClient::check(int result, const char* operation) {
  if (result == VANTREL_ERR_OK) return true;
  m_Run.result = result;
  m_Run.failure = operation;
  std::cerr << "vantrel-demo: " << operation << " failed with " << result << " ("
            << VantrelErr_Name(static_cast<VantrelErr>(result)) << ")" << std::endl;
  return false;
}

int DemoClient::run() {
  const Clock::time_point start = Clock::now();
  const bool ok = check(m_Sim.connectToEngine(m_Options.connection), "connectToEngine") &&
                  announceAndLoad() && describeScene() && configure() && registerSensors() &&
                  setRates() && check(m_Sim.start(Blocking), "start") && drive();
  bool running = false;
  m_Sim.isRunning(running);
  if (running) m_Sim.stop(0, "demo finished");
  m_Sim.disconnectFromEngine();
  m_Run.wallSeconds = secondsSince(start);
  return ok ? VANTREL_ERR_OK : m_Run.result;
}

bool DemoClient::announceAndLoad() {
  auto* version = new VersionCommand;  // the proxy takes it over
  version->set_sdkversion(m_Sim.getSDKVersion());
  version->set_oemversion("vantrel-demo");
  if (!check(m_Sim.setVersionCommand(version), "setVersionCommand")) return false;
  auto* bar = new ProgressBar(m_Run.loadingStates, m_Options.out);
  m_Sim.registerLoadingStateCallback(*bar);  // the proxy owns it from here on
  bool loading = true;
  while (loading) {
    if (!check(m_Sim.isLoadingScene(loading), "isLoadingScene")) return false;
    bar->flush();
  }
  return true;
}

bool DemoClient::describeScene() {
  const bool ok = check(m_Sim.getEngineVersion(m_Run.engineVersion), "getEngineVersion") &&
                  check(m_Sim.getTerrain(m_Run.terrain), "getTerrain") &&
                  check(m_Sim.getCarsInfo(m_Run.cars), "getCarsInfo") &&
                  check(m_Sim.getSensorsInfo(m_Run.sensorReports), "getSensorsInfo") &&
                  check(m_Sim.getGlobalSensors(m_Run.globalSensorReports), "getGlobalSensors");
  if (ok) printScene();
  return ok;
}

void DemoClient::printScene() const {
  if (m_Options.out == nullptr) return;
  std::ostream& out = *m_Options.out;
  out << "engine " << m_Run.engineVersion << ", terrain " << m_Run.terrain << "\n";
  out << m_Run.cars.size() << " cars:\n";
  for (size_t i = 0; i < m_Run.cars.size(); ++i) {
    const CarQueryReport& car = m_Run.cars[i];
    out << "  car " << i << ": " << car.name() << " (" << car.brand() << "), object "
        << car.roiobjectid() << ", desired speed " << car.behaviourparams().desiredspeed()
        << " m/s\n";
  }
  out << m_Run.sensorReports.size() << " sensors on car 0:\n";
  for (const SensorQueryReport& sensor : m_Run.sensorReports) {
    const auto* kind = SensorQueryReport::descriptor()->FindFieldByNumber(sensor.QueryType_case());
    out << "  " << std::setw(3) << sensor.sensorid() << " " << sensor.name() << " ("
        << (kind != nullptr ? kind->name() : "unknown kind") << ", " << sensor.fps() << " fps)\n";
  }
  out << m_Run.globalSensorReports.size() << " global sensors:\n";
  for (const GlobalSensorQueryReport& sensor : m_Run.globalSensorReports) {
    out << "  " << std::setw(3) << sensor.sensorid() << " " << sensor.name() << " (" << sensor.fps()
        << " fps)\n";
  }
  out << std::flush;
}

bool DemoClient::configure() {
  auto* configuration = new ConfigurationCommand;  // the proxy takes it over
  configuration->mutable_timestepconfig()->set_fixeddeltatime(m_Options.fixedDeltaTime);
  configuration->mutable_timestepconfig()->set_fps(
      static_cast<unsigned int>(std::lround(1.0 / m_Options.fixedDeltaTime)));
  return check(m_Sim.setConfiguration(configuration), "setConfiguration");
}

template <typename T>
int DemoClient::registerAs(unsigned int sensorId, const std::string& name, const char* kind) {
  auto recorder = std::make_unique<RecordingSensor<T>>(*this);
  const int result = m_Sim.registerSensor(0, sensorId, static_cast<Sensor<T>&>(*recorder));
  if (result != VANTREL_ERR_OK) return result;
  m_Recorders.push_back(std::move(recorder));
  m_Run.sensors[sensorId] = SensorRecord{sensorId, name, kind, false, {}};
  return result;
}

template <typename T>
int DemoClient::registerGlobalAs(unsigned int sensorId, const std::string& name, const char* kind) {
  auto recorder = std::make_unique<RecordingSensor<T>>(*this);
  const int result = m_Sim.registerSensor(sensorId, static_cast<Sensor<T>&>(*recorder));
  if (result != VANTREL_ERR_OK) return result;
  m_Recorders.push_back(std::move(recorder));
  m_Run.sensors[sensorId] = SensorRecord{sensorId, name, kind, true, {}};
  return result;
}

bool DemoClient::registerSensor(const SensorQueryReport& report) {
  const unsigned int id = report.sensorid();
  const std::string& name = report.name();
  int result = VANTREL_ERR_OK;
  switch (report.QueryType_case()) {
    case SensorQueryReport::kRgbCameraReport:
      result = registerAs<RGBCameraOutput>(id, name, "RGB camera");
      break;
    case SensorQueryReport::kDepthCameraReport:
      result = registerAs<DepthCameraOutput>(id, name, "depth camera");
      break;
    case SensorQueryReport::kSlClassReport:
      result = registerAs<SemanticClassLabelingOutput>(id, name, "semantic class camera");
      break;
    case SensorQueryReport::kSlInstanceReport:
      result = registerAs<SemanticInstanceLabelingOutput>(id, name, "semantic instance camera");
      break;
    case SensorQueryReport::kLidarReport:
      result = registerAs<LidarOutput>(id, name, "lidar");
      m_Run.lidarMount = report.transform();
      break;
    case SensorQueryReport::kRadarReport:
      result = registerAs<RadarOutput>(id, name, "radar");
      break;
    case SensorQueryReport::kGpsReport:
      result = registerAs<GPSOutput>(id, name, "GPS");
      break;
    case SensorQueryReport::kRoiReport:
      result = registerAs<ROIOutput>(id, name, "objects of interest");
      break;
    case SensorQueryReport::kE2CReport:
      result = registerAs<E2COutput>(id, name, "engine values");
      break;
    case SensorQueryReport::kLaneDetectorReport:
      result = registerAs<LaneDetectorOutput>(id, name, "lane detector");
      break;
    case SensorQueryReport::kCarTelemetriesReport:
      result = registerAs<CarTelemetriesOutput>(id, name, "car telemetry");
      break;
    case SensorQueryReport::QUERYTYPE_NOT_SET:
      if (m_Options.out != nullptr) {
        *m_Options.out << "sensor " << id << " (" << name << ") has no kind, left out\n";
      }
      return true;
  }
  return check(result, "registerSensor");
}

bool DemoClient::registerSensors() {
  for (const SensorQueryReport& report : m_Run.sensorReports) {
    if (!registerSensor(report)) return false;
  }
  for (const GlobalSensorQueryReport& report : m_Run.globalSensorReports) {
    if (!report.has_dogtreport()) continue;
    if (!check(registerGlobalAs<DynamicObjectGroundTruthOutput>(report.sensorid(), report.name(),
                                                                "ground truth"),
               "registerSensor")) {
      return false;
    }
  }
  if (m_Options.out != nullptr) {
    *m_Options.out << "registered " << m_Run.sensors.size() << " sensors" << std::endl;
  }
  return true;
}

bool DemoClient::setRates() {
  for (const SensorQueryReport& report : m_Run.sensorReports) {
    if (report.has_rgbcamerareport() && m_Options.cameraFps > 0) {
      auto* parameters = new RGBCameraModifiable;  // the proxy takes it over
      parameters->set_record(true);
      parameters->set_fps(m_Options.cameraFps);
      if (!check(m_Sim.setSensorParam(0, report.sensorid(), parameters), "setSensorParam")) {
        return false;
      }
    }
    if (report.has_lidarreport() && m_Options.lidarFps > 0) {
      auto* parameters = new LidarModifiable;  // the proxy takes it over
      parameters->set_record(true);
      parameters->set_fps(m_Options.lidarFps);
      if (!check(m_Sim.setSensorParam(0, report.sensorid(), parameters), "setSensorParam")) {
        return false;
      }
    }
  }
  return true;
}

bool DemoClient::drive() {
  const Clock::time_point start = Clock::now();
  int lastSecond = 0;
  for (unsigned int i = 0; i < m_Options.frames; ++i) {
    const Clock::time_point stepStart = Clock::now();
    const int advanced = m_Sim.advanceFramesAndBlockForMessages(m_Options.frameTimeout);
    if (advanced != VANTREL_ERR_OK) {
      bool running = true;
      m_Sim.isRunning(running);
      if (!running) {
        // The proxy has printed the engine's reason; the run itself went through.
        m_Run.endReason = "the engine ended the simulation";
        return true;
      }
      return check(advanced, "advanceFramesAndBlockForMessages");
    }
    m_Sim.dispatchMessages();
    FrameRecord record;
    m_Sim.getCurrFrame(record.frame);
    m_Sim.getCurrSimulationTime(record.time);
    record.speed = m_Observation.speed;
    record.laneOffset = m_Observation.laneOffset;
    record.stepSeconds = secondsSince(stepStart);
    m_Run.frames.push_back(record);
    if (m_Hook != nullptr) m_Hook(m_Run, m_HookContext);
    steer();
    const int second = static_cast<int>(std::floor(record.time + 1e-4f));
    if (second > lastSecond) {
      lastSecond = second;
      printStatus(record, secondsSince(start));
    }
  }
  return true;
}

void DemoClient::steer() {
  if (!m_HaveGps) return;
  const Controls controls = m_Keeper.control(m_Observation);
  m_Sim.sendCarControlSteeringCmd(0, static_cast<float>(controls.steering));
  m_Sim.sendCarControlGasCmd(0, static_cast<float>(controls.gas));
  m_Sim.sendCarControlBrakesCmd(0, static_cast<float>(controls.brake));
}

void DemoClient::printStatus(const FrameRecord& record, double wallSinceStart) const {
  if (m_Options.out == nullptr) return;
  char line[160];
  std::snprintf(line, sizeof line,
                "frame %5u  t %6.2f s  speed %5.2f m/s  lane offset %+5.2f m  %6.1f frames/s",
                record.frame, record.time, record.speed, record.laneOffset,
                wallSinceStart > 0.0 ? m_Run.frames.size() / wallSinceStart : 0.0);
  *m_Options.out << line << std::endl;
}

void DemoClient::recordOutput(unsigned int sensorId, const EngineToClientMessage& message,
                              const SensorOutput& output) {
  // The outputs of one frame come in one message: its size is counted once.
  if (!m_CountedAny || message.framenumber() != m_LastCountedFrame) {
    m_Run.bytesReceived += message.ByteSizeLong();
    m_LastCountedFrame = message.framenumber();
    m_CountedAny = true;
  }
  m_Run.streamHash = fnv1a(m_Run.streamHash, output.SerializeAsString());
  const auto sensor = m_Run.sensors.find(sensorId);
  if (sensor == m_Run.sensors.end()) return;
  std::vector<unsigned int>& frames = sensor->second.frames;
  if (frames.empty() || frames.back() != output.outputframenum()) {
    frames.push_back(output.outputframenum());
  }
}

void DemoClient::take(unsigned int, const GPSOutput& gps) {
  m_HaveGps = true;
  m_Observation.speed = gps.speed();
  m_Observation.laneOffset = gps.laneoffset();
  m_Run.egoPosition = {gps.position().x(), gps.position().y()};
  m_Run.egoYaw = gps.orientation().z();
}

void DemoClient::take(unsigned int frame, const RGBCameraOutput& camera) {
  m_Run.camera = {frame, camera.width(), camera.height(), camera.pixels()};
}

void DemoClient::take(unsigned int frame, const SemanticClassLabelingOutput& classes) {
  m_Run.semantic = {frame, classes.width(), classes.height(), classes.pixels()};
}

void DemoClient::take(unsigned int frame, const LidarOutput& lidar) {
  m_Run.lidarPoints = lidar.points();
  m_Run.lidarFrame = frame;
}

// The lane's centre line ahead, in the car's frame: its direction at the car gives the heading
// error, its bend over the next metres the curvature.
void DemoClient::take(unsigned int, const LaneDetectorOutput& lanes) {
  if (lanes.frontcoordsbuff_size() < 3) return;
  const SDKVector3& p0 = lanes.frontcoordsbuff(0);
  const SDKVector3& p1 = lanes.frontcoordsbuff(1);
  const SDKVector3& p2 = lanes.frontcoordsbuff(2);
  // The circle through three points: curvature = 2 * cross / (product of the sides).
  const double ax = p1.x() - p0.x(), ay = p1.y() - p0.y();
  const double bx = p2.x() - p1.x(), by = p2.y() - p1.y();
  const double cx = p2.x() - p0.x(), cy = p2.y() - p0.y();
  const double sides = std::hypot(ax, ay) * std::hypot(bx, by) * std::hypot(cx, cy);
  m_Observation.laneCurvature = sides > 1e-9 ? 2.0 * (ax * by - ay * bx) / sides : 0.0;
  // On a bend the chord to the next point turns away from the lane's direction at the car by
  // half the angle the lane turns over it.
  const double chordDirection = std::atan2(ay, ax);
  const double direction = chordDirection - m_Observation.laneCurvature * std::hypot(ax, ay) / 2;
  m_Observation.headingError = -direction;
}

// The nearest car ahead within the lane's corridor, in the car's frame.
void DemoClient::take(unsigned int, const ROIOutput& objects) {
  m_Observation.leadCar = false;
  for (const ObjectDescription& object : objects.objectslist()) {
    if (!object.has_vehicle()) continue;
    const SDKBoundingBox& box = object.boundingbox();
    const double x = box.transform().position().x();
    const double y = box.transform().position().y();
    // The lane bends: the corridor follows its curvature.
    const double laneY = 0.5 * m_Observation.laneCurvature * x * x - m_Observation.laneOffset;
    if (x <= 0.0 || std::abs(y - laneY) > 2.0) continue;
    const double gap = x - box.length() / 2 - 2.25;
    if (m_Observation.leadCar && gap >= m_Observation.leadGap) continue;
    m_Observation.leadCar = true;
    m_Observation.leadGap = gap;
    m_Observation.leadSpeed = object.motion().velocity().x();
  }
}

void DemoClient::take(unsigned int, const E2COutput& value) {
  m_EngineValues[value.param()] = value.value();
  const auto light = m_EngineValues.find("trafficLight");
  const auto distance = m_EngineValues.find("distanceToStopLine");
  if (light == m_EngineValues.end() || distance == m_EngineValues.end()) return;
  m_Observation.stopAhead = light->second != "Go" && light->second != "FLASH";
  m_Observation.stopDistance = number(distance->second);
}

void DemoClient::take(unsigned int, const DynamicObjectGroundTruthOutput& truth) {
  m_Run.objects.clear();
  for (const ObjectDescription& object : truth.objects()) {
    const SDKBoundingBox& box = object.boundingbox();
    ObjectBox seen;
    seen.id = object.id();
    seen.type = object.roitype();
    seen.x = box.transform().position().x();
    seen.y = box.transform().position().y();
    seen.yaw = box.transform().rotation().z();
    seen.length = box.length();
    seen.width = box.width();
    m_Run.objects.push_back(seen);
    m_Run.trajectories[seen.id].push_back({seen.x, seen.y});
    m_Run.trajectoryTypes[seen.id] = seen.type;
  }
  if (m_Run.egoId.empty() && !m_Run.cars.empty()) {
    m_Run.egoId = std::to_string(m_Run.cars.front().roiobjectid());
  }
}

}  // namespace Demo
}  // namespace Vantrel
