#include "LaneKeeper.h"

#include <algorithm>
#include <cmath>

namespace Vantrel {
namespace Demo {

namespace {

// Tuning for a mid-size car: the wheelbase and the wheel angle at full steering, used to turn a
// wanted wheel angle into a steering value.
constexpr double kWheelbase = 2.7;
constexpr double kMaxWheelAngle = 0.55;
// Stanley-style lateral gains: how hard an offset pulls back, softened at low speed.
constexpr double kOffsetGain = 3.0;
constexpr double kSoftSpeed = 2.0;
// Longitudinal tuning.
constexpr double kGasGain = 0.35;
constexpr double kGasHold = 0.08;  // what it takes to hold a speed against drag and rolling
constexpr double kBrakeGain = 0.3;
constexpr double kCoastBand = 0.4;  // m/s above the wanted speed in which the car only coasts
constexpr double kHeadwayTime = 1.6;
constexpr double kStandstillGap = 5.0;
constexpr double kGapGain = 0.5;
constexpr double kComfortableBraking = 2.5;
constexpr double kStopMargin = 2.0;
constexpr double kStandstill = 0.1;  // m/s: a wanted speed below this means stop
constexpr double kHoldingBrake = 0.3;
constexpr double kCreepSpeed = 2.0;  // m/s below which a car can always stop at once

double clamp(double value, double low, double high) { return std::min(high, std::max(low, value)); }

}  // namespace

double LaneKeeper::desiredSpeed(const Observation& observation) const {
  double speed = m_TargetSpeed;
  if (observation.leadCar) {
    const double wantedGap = kStandstillGap + kHeadwayTime * observation.speed;
    speed = std::min(speed, observation.leadSpeed + kGapGain * (observation.leadGap - wantedGap));
  }
  if (observation.stopAhead) {
    const double room = observation.stopDistance - kStopMargin;
    // A light that changes when the car is too close to stop comfortably is passed.
    const double stoppingDistance = observation.speed * observation.speed / (2 * 6.0);
    const bool canStop = observation.speed < kCreepSpeed || room > stoppingDistance * 0.8;
    if (canStop) {
      speed = std::min(speed, std::sqrt(2 * kComfortableBraking * std::max(0.0, room)));
    }
  }
  return std::max(0.0, speed);
}

Controls LaneKeeper::control(const Observation& observation) const {
  Controls controls;
  const double feedForward = std::atan(kWheelbase * observation.laneCurvature);
  const double wheelAngle =
      feedForward - observation.headingError -
      std::atan2(kOffsetGain * observation.laneOffset, observation.speed + kSoftSpeed);
  controls.steering = clamp(wheelAngle / kMaxWheelAngle, -1.0, 1.0);

  controls.desiredSpeed = desiredSpeed(observation);
  const double error = controls.desiredSpeed - observation.speed;
  if (controls.desiredSpeed < kStandstill) {
    // Holding the car, not creeping towards what it waits for.
    controls.brake = clamp(kBrakeGain * observation.speed, kHoldingBrake, 1.0);
  } else if (error >= 0.0) {
    controls.gas = clamp(kGasHold + kGasGain * error, 0.0, 1.0);
  } else if (error < -kCoastBand) {
    controls.brake = clamp(kBrakeGain * -error, 0.0, 1.0);
  }
  return controls;
}

}  // namespace Demo
}  // namespace Vantrel
