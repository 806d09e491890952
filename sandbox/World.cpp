#include "World.h"

#include <cstdio>
#include <random>

namespace Vantrel {
namespace Sandbox {

using SDK::CarCommand;
using SDK::CarConfiguration;
using SDK::DrivingCommand;
using SDK::Teleportation;

namespace {

constexpr double kRollingResistance = 0.15;  // m/s^2
constexpr double kAirDrag = 0.0004;          // 1/m, times speed squared
constexpr double kMaxSpeed = 60.0;
constexpr double kEngineComfortableAcceleration = 1.5;  // m/s^2, while the engine drives
constexpr double kFollowDistanceLimit = 150.0;          // cars further ahead are not followed
constexpr double kStopLineLookAhead = 80.0;
constexpr double kStopLineMargin = 1.0;
constexpr double kLaneCorridor = Track::kLaneWidth / 2 + Car::kWidth / 2;

// Deterministic across platforms: the engine's output sequence is fixed by the standard, and the
// conversion to a range is done here rather than by a distribution whose algorithm is not.
class Dice {
 public:
  explicit Dice(uint32_t seed) : m_Engine(seed) {}
  double uniform(double low, double high) {
    return low + (high - low) * (m_Engine() / 4294967296.0);
  }

 private:
  std::mt19937 m_Engine;
};

struct TrafficLightPhase {
  SDK::TrafficLight_Status status;
  double duration;
};
constexpr TrafficLightPhase kTrafficLightPhases[] = {
    {SDK::TrafficLight::Go, 12.0},
    {SDK::TrafficLight::WARN, 3.0},
    {SDK::TrafficLight::STOP, 10.0},
    {SDK::TrafficLight::STOPWARN, 2.0},
};

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// A control value from the client: a value that is not a number is dropped, one outside
// [low, high] is clamped. False when the value was dropped.
bool takeControl(const Car& car, const char* what, float value, double low, double high,
                 double& target, std::vector<std::string>& problems) {
  if (!std::isfinite(value)) {
    problems.push_back(car.name + ": " + what + " " + number(value) + " is not a number, ignored");
    return false;
  }
  target = clampTo(value, low, high);
  if (target != value) {
    problems.push_back(car.name + ": " + what + " " + number(value) + " outside [" + number(low) +
                       ", " + number(high) + "], clamped to " + number(target));
  }
  return true;
}

void applyDrive(Car& car, const CarConfiguration& drive, std::vector<std::string>& problems) {
  Controls controls = car.controls;
  takeControl(car, "gas", drive.gas(), 0.0, 1.0, controls.gas, problems);
  takeControl(car, "brake", drive.brake(), 0.0, 1.0, controls.brake, problems);
  takeControl(car, "steering", drive.steering(), -1.0, 1.0, controls.steering, problems);
  controls.accelerationControl = false;
  if (drive.acceleration() != 0.0f) {
    controls.accelerationControl =
        takeControl(car, "acceleration", drive.acceleration(), -Car::kMaxBraking,
                    Car::kMaxAcceleration, controls.acceleration, problems);
  }
  // An unset gear reads as GEAR_PARK; only an explicit reverse gear changes the direction.
  controls.reverse = drive.gear() == CarConfiguration::GEAR_REVERSE;
  car.controls = controls;
  car.aiDriving = false;
  car.signal = drive.signal();
  car.signalLight = drive.signallight();
  car.lights = drive.lightsstate();
}

void applyDrivingCommand(Car& car, const DrivingCommand& driving,
                         std::vector<std::string>& problems) {
  if (!driving.has_gascommand() && !driving.has_brakescommand() && !driving.has_steeringcommand() &&
      !driving.has_accelerationcommand()) {
    problems.push_back(car.name + ": driving command without a value, ignored");
    return;
  }
  Controls& controls = car.controls;
  if (car.aiDriving) controls = Controls{};  // the client takes over from a standing start
  car.aiDriving = false;
  if (driving.has_gascommand() &&
      takeControl(car, "gas", driving.gascommand().gasvalue(), 0.0, 1.0, controls.gas, problems)) {
    controls.accelerationControl = false;
  }
  if (driving.has_brakescommand() &&
      takeControl(car, "brake", driving.brakescommand().brakesvalue(), 0.0, 1.0, controls.brake,
                  problems)) {
    controls.accelerationControl = false;
  }
  if (driving.has_steeringcommand()) {
    takeControl(car, "steering", driving.steeringcommand().steervalue(), -1.0, 1.0,
                controls.steering, problems);
  }
  if (driving.has_accelerationcommand() &&
      takeControl(car, "acceleration", driving.accelerationcommand().accelerationvalue(),
                  -Car::kMaxBraking, Car::kMaxAcceleration, controls.acceleration, problems)) {
    controls.accelerationControl = true;
  }
}

bool isFinite(const SDK::SDKVector3& v) {
  return std::isfinite(v.x()) && std::isfinite(v.y()) && std::isfinite(v.z());
}

// Pose and speed change at once; the ground is flat, so a height is not taken over.
void applyTeleport(Car& car, const Teleportation& teleport, std::vector<std::string>& problems) {
  if ((teleport.has_transform() && (!isFinite(teleport.transform().position()) ||
                                    !isFinite(teleport.transform().rotation()))) ||
      (teleport.has_velocity() && !isFinite(teleport.velocity()))) {
    problems.push_back(car.name + ": teleport with a value that is not a number, ignored");
    return;
  }
  if (teleport.has_transform()) {
    car.pose = {teleport.transform().position().x(), teleport.transform().position().y(),
                wrapAngle(teleport.transform().rotation().z())};
  }
  if (teleport.has_velocity()) {
    car.speed = clampTo(teleport.velocity().x() * std::cos(car.pose.yaw) +
                            teleport.velocity().y() * std::sin(car.pose.yaw),
                        -kMaxSpeed, kMaxSpeed);
  }
  car.yawRate = car.yawAcceleration = car.slipAngle = car.longitudinalAcceleration = 0.0;
  car.velocity = rotateYaw({car.speed, 0.0, 0.0}, car.pose.yaw);
  car.acceleration = {};
  switch (teleport.nextlanechoice()) {
    case Teleportation::Left:
      car.lane = 2;
      break;
    case Teleportation::Right:
      car.lane = 1;
      break;
    default:
      car.lane = 0;  // settled by the new position below
      break;
  }
}

// Footprints on the ground, for collisions: a centre, a heading and half extents.
struct Footprint {
  Pose pose;
  double halfLength;
  double halfWidth;
};

bool separatedAlong(const Footprint& a, const Footprint& b, double axisYaw) {
  const double ax = std::cos(axisYaw);
  const double ay = std::sin(axisYaw);
  auto extent = [&](const Footprint& f) {
    return f.halfLength * std::abs(std::cos(f.pose.yaw) * ax + std::sin(f.pose.yaw) * ay) +
           f.halfWidth * std::abs(-std::sin(f.pose.yaw) * ax + std::cos(f.pose.yaw) * ay);
  };
  const double distance = std::abs((b.pose.x - a.pose.x) * ax + (b.pose.y - a.pose.y) * ay);
  return distance > extent(a) + extent(b);
}

bool overlap(const Footprint& a, const Footprint& b) {
  for (double yaw : {a.pose.yaw, a.pose.yaw + kPi / 2, b.pose.yaw, b.pose.yaw + kPi / 2}) {
    if (separatedAlong(a, b, yaw)) return false;
  }
  return true;
}

Footprint footprintOf(const Car& car) { return {car.pose, Car::kLength / 2, Car::kWidth / 2}; }
Footprint footprintOf(const Pedestrian& p) {
  return {p.pose, Pedestrian::kLength / 2, Pedestrian::kWidth / 2};
}
Footprint footprintOf(const TrafficLight& light) {
  return {light.pose, TrafficLight::kPoleSize / 2, TrafficLight::kPoleSize / 2};
}

}  // namespace

const char* trafficLightStatusName(SDK::TrafficLight_Status status) {
  switch (status) {
    case SDK::TrafficLight::OUTOFORDER:
      return "OUTOFORDER";
    case SDK::TrafficLight::STOPWARN:
      return "STOPWARN";
    case SDK::TrafficLight::Go:
      return "Go";
    case SDK::TrafficLight::WARN:
      return "WARN";
    case SDK::TrafficLight::STOP:
      return "STOP";
    case SDK::TrafficLight::FLASH:
      return "FLASH";
    default:
      return "UNKNOWN";
  }
}

World::World(uint32_t seed) {
  Dice dice(seed);
  struct Start {
    const char* name;
    double s;
    int lane;
  };
  // The ego car stands at the start; the others are spread around the lap.
  const Start starts[] = {
      {"ego", 20.0, 1}, {"car-1", 60.0, 1}, {"car-2", 130.0, 2}, {"car-3", 280.0, 1}};
  for (const Start& start : starts) {
    Car car;
    car.id = static_cast<uint32_t>(m_Cars.size());
    car.roiObjectId = car.id + 1;
    car.name = start.name;
    car.lane = start.lane;
    const bool isEgo = car.id == kEgoId;
    const double s = isEgo ? start.s : start.s + dice.uniform(-4.0, 4.0);
    car.pose = m_Track.poseAt(s, Track::laneCentre(start.lane));
    car.behaviour = isEgo ? Behaviour{0.3f, 1.5f, 2.0f, 12.0f, 2.0f}
                          : Behaviour{static_cast<float>(dice.uniform(0.1, 0.5)),
                                      static_cast<float>(dice.uniform(1.2, 1.8)),
                                      static_cast<float>(dice.uniform(1.5, 2.5)),
                                      static_cast<float>(dice.uniform(8.0, 13.0)),
                                      static_cast<float>(dice.uniform(2.0, 3.0))};
    car.aiDriving = !isEgo;
    car.speed = isEgo ? 0.0 : 0.8 * car.behaviour.desiredSpeed;
    car.velocity = rotateYaw({car.speed, 0.0, 0.0}, car.pose.yaw);
    locate(car, false);
    m_Cars.push_back(car);
  }

  const double sides[] = {-6.0, 6.0};
  for (double side : sides) {
    Pedestrian pedestrian;
    pedestrian.roiObjectId = static_cast<uint32_t>(m_Cars.size() + m_Pedestrians.size() + 1);
    pedestrian.name = "pedestrian-" + std::to_string(m_Pedestrians.size() + 1);
    pedestrian.s = dice.uniform(0.0, m_Track.length());
    pedestrian.d = side;
    // One walks with the traffic on the outside, the other against it on the inside.
    pedestrian.speed = (side < 0.0 ? 1.0 : -1.0) * dice.uniform(1.1, 1.6);
    walk(pedestrian, 0.0);
    m_Pedestrians.push_back(pedestrian);
  }

  m_TrafficLight.roiObjectId = static_cast<uint32_t>(m_Cars.size() + m_Pedestrians.size() + 1);
  m_TrafficLight.name = "traffic-light-1";
  m_TrafficLight.stopLineS = Track::kStraightLength + kPi * Track::kRadius + 40.0;
  const Pose pole = m_Track.poseAt(m_TrafficLight.stopLineS, -Track::kHalfWidth - 1.1);
  m_TrafficLight.pose = {pole.x, pole.y, wrapAngle(pole.yaw + kPi)};
  m_TrafficLight.phase = dice.uniform(0.0, kTrafficLightCycle);
  cycle(m_TrafficLight, 0.0);
}

std::string World::step(double dt) {
  for (Car& car : m_Cars) {
    if (car.aiDriving) driveByEngine(car);
  }
  for (Car& car : m_Cars) integrate(car, dt);
  for (Pedestrian& pedestrian : m_Pedestrians) walk(pedestrian, dt);
  cycle(m_TrafficLight, dt);
  const std::string crash = collision();
  if (!crash.empty()) return crash;
  if (!Track::isOnRoad(ego().onTrack.d)) return "ego car left the road";
  return "";
}

void World::command(const CarCommand& command, std::vector<std::string>& problems) {
  if (command.id() >= m_Cars.size()) {
    problems.push_back("car command for unknown car " + std::to_string(command.id()) + ", ignored");
    return;
  }
  Car& car = m_Cars[command.id()];
  switch (command.CommandType_case()) {
    case CarCommand::kDrive:
      applyDrive(car, command.drive(), problems);
      break;
    case CarCommand::kDrivingCommand:
      applyDrivingCommand(car, command.drivingcommand(), problems);
      break;
    case CarCommand::kAiDriving:
      car.aiDriving = true;
      car.lane = Track::laneAt(car.onTrack.d);
      break;
    case CarCommand::kTeleport:
      applyTeleport(car, command.teleport(), problems);
      locate(car, false);
      if (car.lane == 0) car.lane = Track::laneAt(car.onTrack.d);
      break;
    default:
      problems.push_back(car.name + ": car command without a command, ignored");
      break;
  }
}

// Pure pursuit of a point on the lane's centre ahead, and the intelligent-driver rule for speed.
void World::driveByEngine(Car& car) const {
  const double lookAhead = clampTo(2.5 + 0.4 * std::abs(car.speed), 5.0, 20.0);
  const Pose target = m_Track.poseAt(car.onTrack.s + lookAhead, Track::laneCentre(car.lane));
  const Vec3 local = toLocal(car.pose, {target.x, target.y, 0.0});
  const double distanceSquared = local.x * local.x + local.y * local.y;
  const double curvature = distanceSquared > 0.0 ? 2.0 * local.y / distanceSquared : 0.0;
  const double steerAngle = std::atan(Car::kWheelbase * curvature);

  const double acceleration = engineAcceleration(car);
  car.controls = Controls{};
  car.controls.steering = clampTo(steerAngle / Car::kMaxSteerAngle, -1.0, 1.0);
  car.controls.accelerationControl = true;
  car.controls.acceleration = acceleration;
  car.controls.gas = acceleration > 0.0 ? acceleration / Car::kMaxAcceleration : 0.0;
  car.controls.brake = acceleration < 0.0 ? -acceleration / Car::kMaxBraking : 0.0;
}

double World::engineAcceleration(const Car& car) const {
  const Behaviour& b = car.behaviour;
  const double v = std::max(car.speed, 0.0);
  const double desired = std::max<double>(b.desiredSpeed, 0.1);
  const double freeRoad = 1.0 - std::pow(v / desired, 4.0);

  // The nearest obstacle ahead in the lane: a car, or the stop line while the light says stop.
  bool obstacle = false;
  double gap = 0.0;
  double obstacleSpeed = 0.0;
  auto consider = [&](double candidateGap, double candidateSpeed) {
    if (obstacle && candidateGap >= gap) return;
    obstacle = true;
    gap = candidateGap;
    obstacleSpeed = candidateSpeed;
  };
  const double laneD = Track::laneCentre(car.lane);
  for (const Car& other : m_Cars) {
    if (other.id == car.id || std::abs(other.onTrack.d - laneD) > kLaneCorridor) continue;
    const double ahead = m_Track.distanceAhead(car.onTrack.s, other.onTrack.s);
    if (ahead > 0.0 && ahead < kFollowDistanceLimit) consider(ahead - Car::kLength, other.speed);
  }
  const TrafficLight& light = m_TrafficLight;
  const double toStopLine =
      m_Track.distanceAhead(car.onTrack.s + Car::kLength / 2, light.stopLineS);
  const bool mustStop = light.status == SDK::TrafficLight::STOP ||
                        light.status == SDK::TrafficLight::STOPWARN ||
                        (light.status == SDK::TrafficLight::WARN &&
                         v * v / (2.0 * b.comfortableBraking) < toStopLine);
  if (mustStop && toStopLine < kStopLineLookAhead) consider(toStopLine - kStopLineMargin, 0.0);

  double acceleration = kEngineComfortableAcceleration * freeRoad;
  if (obstacle) {
    const double approach = v - obstacleSpeed;
    const double braking = 2.0 * std::sqrt(kEngineComfortableAcceleration * b.comfortableBraking);
    const double wanted =
        b.desiredInterval + std::max(0.0, v * b.safetyTime + v * approach / braking);
    const double ratio = wanted / std::max(gap, 0.1);
    acceleration -= kEngineComfortableAcceleration * ratio * ratio;
  }
  return clampTo(acceleration, -Car::kMaxBraking, kEngineComfortableAcceleration);
}

// The kinematic bicycle model, referred to the car's centre.
void World::integrate(Car& car, double dt) const {
  const Controls& c = car.controls;
  const double before = car.speed;
  double after;
  if (c.accelerationControl) {
    after = c.reverse ? std::min(before - c.acceleration * dt, 0.0)
                      : std::max(before + c.acceleration * dt, 0.0);
  } else {
    // Gas drives; brakes and resistance only slow the car down to a standstill, never beyond.
    after = before + (c.reverse ? -1.0 : 1.0) * c.gas * Car::kMaxAcceleration * dt;
    const double resistance =
        (c.brake * Car::kMaxBraking + kRollingResistance + kAirDrag * after * after) * dt;
    after = std::abs(after) <= resistance ? 0.0 : after - std::copysign(resistance, after);
  }
  after = clampTo(after, -kMaxSpeed, kMaxSpeed);

  car.steerAngle = c.steering * Car::kMaxSteerAngle;
  car.slipAngle = std::atan(0.5 * std::tan(car.steerAngle));
  const double yawRate = after / (Car::kWheelbase / 2) * std::sin(car.slipAngle);
  const double mean = 0.5 * (before + after);
  const Vec3 oldVelocity = car.velocity;
  if (dt > 0.0) {
    car.pose.x += mean * std::cos(car.pose.yaw + car.slipAngle) * dt;
    car.pose.y += mean * std::sin(car.pose.yaw + car.slipAngle) * dt;
    car.pose.yaw = wrapAngle(car.pose.yaw + yawRate * dt);
    car.longitudinalAcceleration = (after - before) / dt;
    car.yawAcceleration = (yawRate - car.yawRate) / dt;
  }
  car.yawRate = yawRate;
  car.speed = after;
  car.velocity = rotateYaw({after, 0.0, 0.0}, car.pose.yaw + car.slipAngle);
  if (dt > 0.0) car.acceleration = (car.velocity - oldVelocity) * (1.0 / dt);
  car.wheelRotation = std::fmod(car.wheelRotation + after / Car::kWheelRadius * dt, 2.0 * kPi);
  car.lights.set_brake(c.brake > 0.0 ? SDK::LightsState::LIGHT_ON : SDK::LightsState::LIGHT_OFF);
  car.lights.set_reverse(c.reverse ? SDK::LightsState::LIGHT_ON : SDK::LightsState::LIGHT_OFF);
  locate(car, true);
}

// Where the car is on the track; `continuous` adds the way since the last step to its progress.
void World::locate(Car& car, bool continuous) const {
  const TrackPosition now = m_Track.locate(car.pose.x, car.pose.y);
  if (continuous) {
    double moved = now.s - car.onTrack.s;
    const double half = m_Track.length() / 2;
    if (moved > half) moved -= m_Track.length();
    if (moved < -half) moved += m_Track.length();
    car.progress += moved;
  }
  car.onTrack = now;
}

void World::walk(Pedestrian& pedestrian, double dt) const {
  const Pose before = pedestrian.pose;
  pedestrian.s = m_Track.wrap(pedestrian.s + pedestrian.speed * dt);
  const Pose at = m_Track.poseAt(pedestrian.s, pedestrian.d);
  pedestrian.pose = {at.x, at.y, pedestrian.speed < 0.0 ? wrapAngle(at.yaw + kPi) : at.yaw};
  pedestrian.velocity =
      dt > 0.0 ? Vec3{(at.x - before.x) / dt, (at.y - before.y) / dt, 0.0}
               : rotateYaw({std::abs(pedestrian.speed), 0.0, 0.0}, pedestrian.pose.yaw);
}

void World::cycle(TrafficLight& light, double dt) const {
  light.phase = std::fmod(light.phase + dt, kTrafficLightCycle);
  double start = 0.0;
  for (const TrafficLightPhase& phase : kTrafficLightPhases) {
    light.status = phase.status;
    if (light.phase < start + phase.duration) break;
    start += phase.duration;
  }
}

std::string World::collision() const {
  for (size_t i = 0; i < m_Cars.size(); ++i) {
    const Footprint car = footprintOf(m_Cars[i]);
    for (size_t j = i + 1; j < m_Cars.size(); ++j) {
      if (overlap(car, footprintOf(m_Cars[j]))) {
        return "collision between " + m_Cars[i].name + " and " + m_Cars[j].name;
      }
    }
    for (const Pedestrian& pedestrian : m_Pedestrians) {
      if (overlap(car, footprintOf(pedestrian))) {
        return "collision between " + m_Cars[i].name + " and " + pedestrian.name;
      }
    }
    if (overlap(car, footprintOf(m_TrafficLight))) {
      return "collision between " + m_Cars[i].name + " and " + m_TrafficLight.name;
    }
  }
  return "";
}

}  // namespace Sandbox
}  // namespace Vantrel
