// The demo client: one whole run against an engine. It connects, announces its versions, follows
// the loading, prints the scene, configures 20 Hz, registers every sensor the engine offers,
// starts, drives the ego car with its lane keeper for a number of frames, stops and disconnects.
// What the sensors delivered is kept in a DemoRun for the pictures and for tests.
#ifndef VANTREL_DEMO_CLIENT_H
#define VANTREL_DEMO_CLIENT_H

#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "LaneKeeper.h"
#include "VantrelSim.h"

namespace Vantrel {
namespace Demo {

struct DemoOptions {
  std::string connection = "127.0.0.1 8052";
  unsigned int frames = 400;
  double targetSpeed = 12.0;  // m/s
  float fixedDeltaTime = 0.05f;
  // Rates set with setSensorParam before the start; 0 leaves the engine's rate (every frame).
  unsigned int cameraFps = 0;
  unsigned int lidarFps = 0;
  float frameTimeout = 10.0f;   // s to wait for one frame's sensor data
  std::ostream* out = nullptr;  // progress, scene and status lines; nullptr: none
};

struct SensorRecord {
  unsigned int id = 0;
  std::string name;
  std::string kind;
  bool global = false;
  std::vector<unsigned int> frames;  // the frames in which it delivered, ascending
};

struct FrameRecord {
  unsigned int frame = 0;
  float time = 0.0f;
  double speed = 0.0;
  double laneOffset = 0.0;
  double stepSeconds = 0.0;  // wall time of the advance and the dispatch
};

struct Image {
  unsigned int frame = 0;
  unsigned int width = 0;
  unsigned int height = 0;
  std::string pixels;
};

struct Point2 {
  double x = 0.0;
  double y = 0.0;
};

// The boxes of the objects in the world at one instant.
struct ObjectBox {
  std::string id;
  std::string type;
  double x = 0.0;
  double y = 0.0;
  double yaw = 0.0;
  double length = 0.0;
  double width = 0.0;
};

struct DemoRun {
  int result = 0;         // the first failing operation's code, 0 when the run went through
  std::string failure;    // which operation failed
  std::string endReason;  // the engine's, when it ended the run
  std::vector<std::string> loadingStates;  // in the order of the loading
  std::string engineVersion;
  std::string terrain;
  std::vector<SDK::CarQueryReport> cars;
  std::vector<SDK::SensorQueryReport> sensorReports;
  std::vector<SDK::GlobalSensorQueryReport> globalSensorReports;
  std::map<unsigned int, SensorRecord> sensors;  // by sensor id, the registered ones
  std::vector<FrameRecord> frames;
  double wallSeconds = 0.0;
  uint64_t bytesReceived = 0;  // encoded sizes of the sensor-data messages delivered
  uint64_t streamHash = 0;     // of every sensor output's encoding, in the order delivered
  // The newest of each, kept for the pictures.
  Image camera;             // RGBA
  Image semantic;           // one class byte per pixel
  std::string lidarPoints;  // float32 x, y, z in the lidar's frame
  unsigned int lidarFrame = 0;
  SDK::Transform3 lidarMount;
  std::vector<ObjectBox> objects;  // ground truth, world frame
  // Ground-truth positions over the run, by object id, with the object's kind.
  std::map<std::string, std::vector<Point2>> trajectories;
  std::map<std::string, std::string> trajectoryTypes;
  std::string egoId;  // the ground-truth id of car 0
  Point2 egoPosition;
  double egoYaw = 0.0;
};

class DemoClient {
 public:
  // Called after each frame's dispatch, for example to save pictures.
  using FrameHook = void (*)(const DemoRun& run, void* context);

  explicit DemoClient(DemoOptions options);
  ~DemoClient();
  DemoClient(const DemoClient&) = delete;
  DemoClient& operator=(const DemoClient&) = delete;

  void onFrame(FrameHook hook, void* context) {
    m_Hook = hook;
    m_HookContext = context;
  }
  // The whole run; returns its result code (0: it went through, an engine's end included).
  int run();
  const DemoRun& result() const { return m_Run; }

  // What the recording sensors hand over; public for them, not for callers.
  void recordOutput(unsigned int sensorId, const SDK::EngineToClientMessage& message,
                    const SDK::SensorOutput& output);
  void take(unsigned int frame, const SDK::GPSOutput& gps);
  void take(unsigned int frame, const SDK::RGBCameraOutput& camera);
  void take(unsigned int frame, const SDK::SemanticClassLabelingOutput& classes);
  void take(unsigned int frame, const SDK::LidarOutput& lidar);
  void take(unsigned int frame, const SDK::LaneDetectorOutput& lanes);
  void take(unsigned int frame, const SDK::ROIOutput& objects);
  void take(unsigned int frame, const SDK::E2COutput& value);
  void take(unsigned int frame, const SDK::DynamicObjectGroundTruthOutput& truth);
  template <typename T>
  void take(unsigned int, const T&) {}

  class Recorder;

 private:
  bool check(int result, const char* operation);
  bool announceAndLoad();
  bool describeScene();
  bool configure();
  bool registerSensors();
  bool registerSensor(const SDK::SensorQueryReport& report);
  template <typename T>
  int registerAs(unsigned int sensorId, const std::string& name, const char* kind);
  template <typename T>
  int registerGlobalAs(unsigned int sensorId, const std::string& name, const char* kind);
  bool setRates();
  bool drive();
  void steer();
  void printScene() const;
  void printStatus(const FrameRecord& record, double wallSinceStart) const;

  DemoOptions m_Options;
  SDK::VantrelSim m_Sim;
  LaneKeeper m_Keeper;
  DemoRun m_Run;
  Observation m_Observation;
  bool m_HaveGps = false;
  std::vector<std::unique_ptr<Recorder>> m_Recorders;
  std::map<std::string, std::string> m_EngineValues;
  unsigned int m_LastCountedFrame = 0;
  bool m_CountedAny = false;
  FrameHook m_Hook = nullptr;
  void* m_HookContext = nullptr;
};

}  // namespace Demo
}  // namespace Vantrel

#endif
