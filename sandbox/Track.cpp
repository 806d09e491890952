#include "Track.h"

namespace Vantrel {
namespace Sandbox {

namespace {

constexpr double kArcLength = kPi * Track::kRadius;
constexpr double kHalfStraight = Track::kStraightLength / 2;
// Where each segment starts along the centre line.
constexpr double kRightCurveStart = Track::kStraightLength;
constexpr double kUpperStraightStart = kRightCurveStart + kArcLength;
constexpr double kLeftCurveStart = kUpperStraightStart + Track::kStraightLength;
constexpr double kStopLineDepth = 0.4;

}  // namespace

double Track::length() const { return 2.0 * kStraightLength + 2.0 * kArcLength; }

double Track::wrap(double s) const {
  const double total = length();
  s = std::fmod(s, total);
  if (s < 0.0) s += total;
  return s >= total ? 0.0 : s;
}

double Track::distanceAhead(double from, double to) const { return wrap(to - from); }

Pose Track::poseAt(double s, double d) const {
  s = wrap(s);
  Pose pose;
  if (s < kRightCurveStart) {
    pose = {-kHalfStraight + s, -kRadius, 0.0};
  } else if (s < kUpperStraightStart) {
    const double angle = -kPi / 2 + (s - kRightCurveStart) / kRadius;
    pose = {kHalfStraight + kRadius * std::cos(angle), kRadius * std::sin(angle), angle + kPi / 2};
  } else if (s < kLeftCurveStart) {
    pose = {kHalfStraight - (s - kUpperStraightStart), kRadius, kPi};
  } else {
    const double angle = kPi / 2 + (s - kLeftCurveStart) / kRadius;
    pose = {-kHalfStraight + kRadius * std::cos(angle), kRadius * std::sin(angle), angle + kPi / 2};
  }
  pose.x -= d * std::sin(pose.yaw);
  pose.y += d * std::cos(pose.yaw);
  pose.yaw = wrapAngle(pose.yaw);
  return pose;
}

TrackPosition Track::locate(double x, double y) const {
  TrackPosition position;
  if (x >= -kHalfStraight && x <= kHalfStraight) {
    if (y < 0.0) {
      position = {x + kHalfStraight, y + kRadius, 0};
    } else {
      position = {kUpperStraightStart + (kHalfStraight - x), kRadius - y, 2};
    }
  } else if (x > kHalfStraight) {
    const double angle = std::atan2(y, x - kHalfStraight);
    position = {kRightCurveStart + kRadius * (angle + kPi / 2),
                kRadius - std::hypot(x - kHalfStraight, y), 1};
  } else {
    double angle = std::atan2(y, x + kHalfStraight);
    if (angle < 0.0) angle += 2.0 * kPi;
    position = {kLeftCurveStart + kRadius * (angle - kPi / 2),
                kRadius - std::hypot(x + kHalfStraight, y), 3};
  }
  position.s = wrap(position.s);
  return position;
}

Surface Track::surfaceAt(double x, double y, double stopLineS) const {
  const TrackPosition at = locate(x, y);
  const double side = std::abs(at.d);
  if (side > kHalfWidth) return Surface::Terrain;
  const double edgeLine = kHalfWidth - 0.1;
  if (side <= edgeLine && side >= edgeLine - kMarkingWidth) return Surface::LaneMarking;
  if (side <= kMarkingWidth / 2 && std::fmod(at.s, kDashPeriod) < kDashLength) {
    return Surface::LaneMarking;
  }
  if (distanceAhead(stopLineS, at.s) < kStopLineDepth) return Surface::LaneMarking;
  return Surface::Road;
}

}  // namespace Sandbox
}  // namespace Vantrel
