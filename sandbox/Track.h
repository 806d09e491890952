// The sandbox's road: one closed two-lane track shaped like a stadium, two straights joined by two
// half circles, driven counterclockwise. Positions along it are given by the distance `s` along its
// centre line (the line between the two lanes, from the start of the lower straight) and the
// lateral offset `d`, positive to the left of the driving direction.
//
//   lane 2 (left, inner):  d in [0, 3.5], centre +1.75
//   lane 1 (right, outer): d in [-3.5, 0], centre -1.75
#ifndef VANTREL_SANDBOX_TRACK_H
#define VANTREL_SANDBOX_TRACK_H

#include "Geometry.h"

namespace Vantrel {
namespace Sandbox {

struct TrackPosition {
  double s = 0.0;   // along the centre line, in [0, length)
  double d = 0.0;   // to the left of the centre line
  int segment = 0;  // 0 lower straight, 1 right curve, 2 upper straight, 3 left curve
};

enum class Surface { Terrain, Road, LaneMarking };

class Track {
 public:
  static constexpr double kStraightLength = 100.0;
  static constexpr double kRadius = 30.0;  // of the centre line
  static constexpr double kLaneWidth = 3.5;
  static constexpr int kLaneCount = 2;
  static constexpr double kHalfWidth = kLaneWidth;  // the centre line lies between the lanes
  static constexpr double kMarkingWidth = 0.15;
  static constexpr double kDashLength = 3.0;
  static constexpr double kDashPeriod = 9.0;

  double length() const;
  // Brings `s` into [0, length).
  double wrap(double s) const;
  // How far ahead `to` lies from `from` along the driving direction, in [0, length).
  double distanceAhead(double from, double to) const;
  // The pose of the point at `s`, shifted `d` to the left; its yaw is the driving direction.
  Pose poseAt(double s, double d = 0.0) const;
  // The nearest point of the centre line to (x, y).
  TrackPosition locate(double x, double y) const;

  static double laneCentre(int lane) { return lane == 2 ? kLaneWidth / 2 : -kLaneWidth / 2; }
  static int laneAt(double d) { return d >= 0.0 ? 2 : 1; }
  static bool isOnRoad(double d) { return d >= -kHalfWidth && d <= kHalfWidth; }
  // What the ground is at (x, y): edge lines, a dashed centre line and a stop line across
  // both lanes at `stopLineS`.
  Surface surfaceAt(double x, double y, double stopLineS) const;
};

}  // namespace Sandbox
}  // namespace Vantrel

#endif
