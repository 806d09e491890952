// Small value types for the sandbox's world: vectors in metres, angles in radians, frames
// right-handed with z up. A yaw of 0 looks along +x; positive yaw turns counterclockwise.
#ifndef VANTREL_SANDBOX_GEOMETRY_H
#define VANTREL_SANDBOX_GEOMETRY_H

#include <cmath>

namespace Vantrel {
namespace Sandbox {

constexpr double kPi = 3.14159265358979323846;

struct Vec3 {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
};

inline Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3 operator*(Vec3 a, double k) { return {a.x * k, a.y * k, a.z * k}; }
inline double dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline double length(Vec3 a) { return std::sqrt(dot(a, a)); }
inline Vec3 normalized(Vec3 a) {
  const double l = length(a);
  return l > 0.0 ? a * (1.0 / l) : a;
}

// Turns `v` by `yaw` about the z axis: from a body frame into the frame the body sits in.
inline Vec3 rotateYaw(Vec3 v, double yaw) {
  const double c = std::cos(yaw);
  const double s = std::sin(yaw);
  return {c * v.x - s * v.y, s * v.x + c * v.y, v.z};
}

// Into (-pi, pi].
inline double wrapAngle(double angle) {
  angle = std::fmod(angle, 2.0 * kPi);
  if (angle <= -kPi) angle += 2.0 * kPi;
  if (angle > kPi) angle -= 2.0 * kPi;
  return angle;
}

inline double clampTo(double value, double low, double high) {
  return value < low ? low : (value > high ? high : value);
}

inline double degrees(double radians) { return radians * 180.0 / kPi; }
inline double radians(double degrees) { return degrees * kPi / 180.0; }

// A pose on the ground: position and heading.
struct Pose {
  double x = 0.0;
  double y = 0.0;
  double yaw = 0.0;
};

// A point given in the body frame of `pose` (x forward, y left, z up), in world coordinates.
inline Vec3 toWorld(const Pose& pose, Vec3 local) {
  return rotateYaw(local, pose.yaw) + Vec3{pose.x, pose.y, 0.0};
}

// A world point in the body frame of `pose`.
inline Vec3 toLocal(const Pose& pose, Vec3 world) {
  return rotateYaw(world - Vec3{pose.x, pose.y, 0.0}, -pose.yaw);
}

}  // namespace Sandbox
}  // namespace Vantrel

#endif
