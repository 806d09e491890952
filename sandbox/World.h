// The sandbox's scene, simulated in fixed steps: four cars on the track (car 0 is the ego car,
// driven by the client's commands; cars 1 to 3 drive their lanes by themselves), two pedestrians
// walking beside the road and one traffic light that cycles. Everything that varies between runs
// comes from the seed, so one seed and one sequence of commands give one and the same run.
#ifndef VANTREL_SANDBOX_WORLD_H
#define VANTREL_SANDBOX_WORLD_H

#include <cstdint>
#include <string>
#include <vector>

#include "CarConfiguration.pb.h"
#include "ClientToEngineMessage.pb.h"
#include "Geometry.h"
#include "ROIOutput.pb.h"
#include "Track.h"

namespace Vantrel {
namespace Sandbox {

// How a car drives when the engine drives it (the schema's BehaviourParams).
struct Behaviour {
  float politeness = 0.0f;
  float safetyTime = 0.0f;          // seconds of headway kept to the car ahead
  float comfortableBraking = 0.0f;  // m/s^2
  float desiredSpeed = 0.0f;        // m/s
  float desiredInterval = 0.0f;     // metres kept to the car ahead when standing
};

// What acts on a car: pedals and steering, or a demanded acceleration instead of the pedals.
struct Controls {
  double gas = 0.0;       // 0..1
  double brake = 0.0;     // 0..1
  double steering = 0.0;  // -1 (full right) .. 1 (full left)
  bool accelerationControl = false;
  double acceleration = 0.0;  // m/s^2, used while accelerationControl is set
  bool reverse = false;
};

struct Car {
  static constexpr double kLength = 4.5;
  static constexpr double kWidth = 1.8;
  static constexpr double kHeight = 1.5;
  static constexpr double kWheelbase = 2.7;
  static constexpr double kTrack = 1.55;
  static constexpr double kWheelRadius = 0.33;
  static constexpr double kMaxSteerAngle = 0.55;   // rad, at steering 1
  static constexpr double kMaxAcceleration = 3.5;  // m/s^2, at gas 1
  static constexpr double kMaxBraking = 8.0;       // m/s^2, at brake 1
  static constexpr double kMass = 1500.0;          // kg

  uint32_t id = 0;
  uint32_t roiObjectId = 0;
  std::string name;
  Pose pose;
  double speed = 0.0;  // m/s along the heading, negative when reversing
  double slipAngle = 0.0;
  double steerAngle = 0.0;
  double longitudinalAcceleration = 0.0;
  double yawRate = 0.0;
  double yawAcceleration = 0.0;
  Vec3 velocity;      // world frame
  Vec3 acceleration;  // world frame
  double wheelRotation = 0.0;
  Controls controls;
  bool aiDriving = false;
  int lane = 1;  // the lane the engine keeps to while it drives the car
  Behaviour behaviour;
  SDK::CarConfiguration_SignalState signal = SDK::CarConfiguration::SIGNAL_OFF;
  SDK::CarConfiguration_SignalState signalLight = SDK::CarConfiguration::SIGNAL_OFF;
  SDK::LightsState lights;
  TrackPosition onTrack;
  double progress = 0.0;  // metres driven along the track since the start, for counting laps
};

struct Pedestrian {
  static constexpr double kLength = 0.5;
  static constexpr double kWidth = 0.5;
  static constexpr double kHeight = 1.8;

  uint32_t roiObjectId = 0;
  std::string name;
  double s = 0.0;
  double d = 0.0;
  double speed = 0.0;  // m/s along the track, negative against the driving direction
  Pose pose;
  Vec3 velocity;
};

struct TrafficLight {
  static constexpr double kPoleSize = 0.3;
  static constexpr double kPoleHeight = 3.2;
  static constexpr double kHeadSize = 0.45;
  static constexpr double kHeadHeight = 1.1;

  uint32_t roiObjectId = 0;
  std::string name;
  double stopLineS = 0.0;
  Pose pose;           // of the pole; its yaw faces the oncoming traffic
  double phase = 0.0;  // seconds into the cycle
  SDK::TrafficLight_Status status = SDK::TrafficLight::Go;
};

class World {
 public:
  static constexpr uint32_t kEgoId = 0;
  static constexpr double kTrafficLightCycle = 27.0;

  explicit World(uint32_t seed);

  const Track& track() const { return m_Track; }
  const std::vector<Car>& cars() const { return m_Cars; }
  const Car& ego() const { return m_Cars[kEgoId]; }
  const std::vector<Pedestrian>& pedestrians() const { return m_Pedestrians; }
  const TrafficLight& trafficLight() const { return m_TrafficLight; }

  // Advances everything by `dt` seconds. Returns why the run has to end (a collision, the ego car
  // off the road), or an empty text while it goes on.
  std::string step(double dt);
  // Applies one car command; every problem with it is appended to `problems` as one line of text.
  void command(const SDK::CarCommand& command, std::vector<std::string>& problems);

 private:
  void driveByEngine(Car& car) const;
  double engineAcceleration(const Car& car) const;
  void integrate(Car& car, double dt) const;
  void locate(Car& car, bool continuous) const;
  void walk(Pedestrian& pedestrian, double dt) const;
  void cycle(TrafficLight& light, double dt) const;
  std::string collision() const;

  Track m_Track;
  std::vector<Car> m_Cars;
  std::vector<Pedestrian> m_Pedestrians;
  TrafficLight m_TrafficLight;
};

// Status names as the schema spells them.
const char* trafficLightStatusName(SDK::TrafficLight_Status status);

}  // namespace Sandbox
}  // namespace Vantrel

#endif
