// The sandbox's sensors: the fixed set mounted on the ego car and the one global ground-truth
// sensor, how the sensors query describes them, and the outputs they produce from the world.
//
// Conventions of the outputs:
// - Car and sensor frames: x forward, y left, z up, metres; mounts are given relative to the car's
//   centre on the ground. World frame: x east, y north, z up, the infield's centre at the origin.
// - Angles of poses, headings and bearings are radians, counterclockwise positive; fields of view
//   (HFov, VFov, HorizontalFOV, VerticalFOV) are degrees.
// - Cameras: row-major from the top-left pixel. RGB: 4 bytes R, G, B, A per pixel. Depth: a
//   little-endian float32 per pixel, the distance along the optical axis in metres, the far plane
//   (1000 m) where nothing is hit. Semantic class: one SemanticClass byte per pixel. Semantic
//   instance: one byte per pixel, the roiObjectId of the object seen, 0 for ground and sky.
// - Lidar: one point per ray that hits within range, three little-endian float32 x, y, z in the
//   lidar's frame; rays ordered by azimuth (from straight ahead, counterclockwise) and within one
//   azimuth from the top channel down.
// - GPS: Position in the world frame, orientation (0, 0, yaw), LaneOffset in metres to the left
//   of the centre of the lane the car is in, laneNumber 1 (right, outer) or 2 (left, inner),
//   navigationSegment the track segment 0 to 3; lat and long place the world frame's origin at
//   48 N 11 E (a float keeps them to about half a metre; Position is exact).
// - Radar: a target per other car within 60 degrees and 150 m ahead; its id is the car's id.
// - Lane detector: the centre line of the ego car's lane in the car's frame, ahead (0 to 50 m,
//   every 5 m) in frontCoordsBuff and behind (5 to 25 m) in backCoordsBuff.
// - ROI: the objects within the front camera's field of view and 100 m, in the car's frame.
//   Ground truth: every car (the ego car included), pedestrian and traffic light, in the world
//   frame. An object's Id is its roiObjectId in decimal, as the cars query reports it.
// - E2C: one output per value: "lap", "distanceAlongTrack", "headingError" (the ego car's heading
//   minus the lane's direction), "trafficLight", "distanceToStopLine".
#ifndef VANTREL_SANDBOX_SENSORS_H
#define VANTREL_SANDBOX_SENSORS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "EngineToClientMessage.pb.h"
#include "Geometry.h"
#include "World.h"

namespace Vantrel {
namespace Sandbox {

enum class SensorKind {
  RGBCamera,
  DepthCamera,
  SemanticClassCamera,
  SemanticInstanceCamera,
  Lidar,
  Radar,
  LaneDetector,
  EngineToClient,
  ObjectsOfInterest,
  GPS,
  CarTelemetry,
  GroundTruth,
};

struct SensorEntry {
  uint32_t id;
  SensorKind kind;
  const char* name;
  Vec3 mount;  // on the car; unused by the global sensor
};

// Every sensor of the scene, ascending by id; the ground-truth sensor is the one global sensor.
const std::vector<SensorEntry>& sensorCatalogue();
const SensorEntry* findSensor(uint32_t id);
bool isGlobalSensor(const SensorEntry& sensor);
bool isCamera(const SensorEntry& sensor);

struct CameraSize {
  uint32_t width = 320;
  uint32_t height = 240;
};

// When and at which simulation time the outputs are made.
struct Stamp {
  uint32_t frame = 0;
  float time = 0.0f;
};

// The sensors of one client's run. Camera images are rendered once per frame for all cameras.
class Sensors {
 public:
  explicit Sensors(CameraSize camera) : m_Camera(camera) {}

  // `fps` is what the report announces as the sensor's rate.
  void describe(const SensorEntry& sensor, uint32_t fps, SDK::SensorQueryReport& report) const;
  void describe(const SensorEntry& sensor, uint32_t fps,
                SDK::GlobalSensorQueryReport& report) const;
  // Appends the outputs of `sensor` for the world as it is now.
  void produce(const SensorEntry& sensor, const World& world, Stamp stamp, SDK::SensorData& data);

 private:
  struct Images {
    uint32_t frame = 0;
    bool valid = false;
    std::string rgba;
    std::string depth;
    std::string classes;
    std::string instances;
  };
  const Images& render(const World& world, uint32_t frame);
  std::string scan(const World& world, const SensorEntry& lidar) const;
  void produceRadar(const SensorEntry& sensor, const World& world, Stamp stamp,
                    SDK::RadarOutput& radar);

  CameraSize m_Camera;
  Images m_Images;
  // Radar tracks: per car, the frame in which the radar took it up, while it stays in view.
  std::map<uint32_t, uint32_t> m_RadarTracks;
};

}  // namespace Sandbox
}  // namespace Vantrel

#endif
