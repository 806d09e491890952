// The demo's driver: keeps the ego car in the middle of its lane and at a target speed, slows down
// behind a car ahead and stops at a red light. It only turns what the sensors said into pedal and
// steering values; it knows nothing of the connection.
#ifndef VANTREL_DEMO_LANE_KEEPER_H
#define VANTREL_DEMO_LANE_KEEPER_H

namespace Vantrel {
namespace Demo {

// What the controller knows about the car and the road in one frame.
struct Observation {
  double speed = 0.0;          // m/s
  double laneOffset = 0.0;     // m to the left of the lane's centre
  double headingError = 0.0;   // rad, the car's heading minus the lane's direction
  double laneCurvature = 0.0;  // 1/m ahead, positive when the lane bends to the left
  bool leadCar = false;        // a car ahead in the lane
  double leadGap = 0.0;        // m between the bumpers
  double leadSpeed = 0.0;      // m/s along the ego car's heading
  bool stopAhead = false;      // a red or changing light ahead
  double stopDistance = 0.0;   // m to its stop line
};

struct Controls {
  double steering = 0.0;  // -1 full right .. 1 full left
  double gas = 0.0;       // 0..1
  double brake = 0.0;     // 0..1
  double desiredSpeed = 0.0;
};

class LaneKeeper {
 public:
  explicit LaneKeeper(double targetSpeed) : m_TargetSpeed(targetSpeed) {}

  Controls control(const Observation& observation) const;
  double desiredSpeed(const Observation& observation) const;

 private:
  double m_TargetSpeed;
};

}  // namespace Demo
}  // namespace Vantrel

#endif
