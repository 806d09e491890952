#include "Scene.h"

#include <limits>

namespace Vantrel {
namespace Sandbox {

namespace {

constexpr Colour kZenith{70, 130, 220};
constexpr Colour kHorizon{190, 215, 240};
constexpr Colour kAsphalt{78, 78, 84};
constexpr Colour kMarking{236, 236, 230};
constexpr Colour kGrassLight{74, 140, 60};
constexpr Colour kGrassDark{62, 124, 50};
constexpr Colour kPole{105, 105, 110};
constexpr Colour kCarColours[] = {{235, 235, 235}, {200, 40, 40}, {40, 80, 200}, {230, 190, 40}};
constexpr Colour kPedestrianColours[] = {{240, 140, 60}, {150, 70, 190}};
constexpr double kCheckerSize = 8.0;
constexpr double kFogDistance = 700.0;
const Vec3 kSun = normalized({0.4, 0.3, 0.85});

Colour mix(Colour a, Colour b, double weightOfB) {
  auto channel = [weightOfB](uint8_t x, uint8_t y) {
    return static_cast<uint8_t>(std::lround(x + (y - x) * weightOfB));
  };
  return {channel(a.r, b.r), channel(a.g, b.g), channel(a.b, b.b)};
}

Colour lit(Colour colour, Vec3 normal) {
  return mix({0, 0, 0}, colour, 0.45 + 0.55 * std::max(0.0, dot(normal, kSun)));
}

Colour signalColour(SDK::TrafficLight_Status status) {
  switch (status) {
    case SDK::TrafficLight::Go:
      return {40, 220, 70};
    case SDK::TrafficLight::WARN:
      return {245, 200, 30};
    case SDK::TrafficLight::STOP:
      return {235, 40, 30};
    case SDK::TrafficLight::STOPWARN:
      return {245, 120, 30};
    default:
      return {40, 40, 40};
  }
}

}  // namespace

Scene::Scene(const World& world, uint32_t ownCarId)
    : m_Track(world.track()), m_StopLineS(world.trafficLight().stopLineS) {
  for (const Car& car : world.cars()) {
    if (car.id == ownCarId) continue;
    addBox(car.pose, 0.0, {Car::kLength, Car::kWidth, Car::kHeight}, kClassVehicle, car.roiObjectId,
           kCarColours[car.id % 4]);
  }
  for (size_t i = 0; i < world.pedestrians().size(); ++i) {
    const Pedestrian& pedestrian = world.pedestrians()[i];
    addBox(pedestrian.pose, 0.0, {Pedestrian::kLength, Pedestrian::kWidth, Pedestrian::kHeight},
           kClassPedestrian, pedestrian.roiObjectId, kPedestrianColours[i % 2]);
  }
  const TrafficLight& light = world.trafficLight();
  addBox(light.pose, 0.0,
         {TrafficLight::kPoleSize, TrafficLight::kPoleSize, TrafficLight::kPoleHeight},
         kClassTrafficLight, light.roiObjectId, kPole);
  addBox(light.pose, TrafficLight::kPoleHeight,
         {TrafficLight::kHeadSize, TrafficLight::kHeadSize, TrafficLight::kHeadHeight},
         kClassTrafficLight, light.roiObjectId, signalColour(light.status));
}

void Scene::addBox(const Pose& pose, double baseHeight, Vec3 size, SemanticClass semanticClass,
                   uint32_t instance, Colour colour) {
  m_Boxes.push_back({{pose.x, pose.y, baseHeight + size.z / 2},
                     std::cos(pose.yaw),
                     std::sin(pose.yaw),
                     size * 0.5,
                     semanticClass,
                     static_cast<uint8_t>(instance),
                     colour});
}

// The slab test in the box's own frame; rays that start inside a box do not see it.
bool Scene::castBox(const Box& box, Vec3 origin, Vec3 direction, double& t, Vec3& normal) const {
  // Into the box's frame: turned by minus its yaw.
  auto intoBox = [&box](Vec3 v) {
    return Vec3{box.cosYaw * v.x + box.sinYaw * v.y, -box.sinYaw * v.x + box.cosYaw * v.y, v.z};
  };
  const Vec3 o = intoBox(origin - box.centre);
  const Vec3 d = intoBox(direction);
  const double os[3] = {o.x, o.y, o.z};
  const double ds[3] = {d.x, d.y, d.z};
  const double hs[3] = {box.half.x, box.half.y, box.half.z};
  double enter = -std::numeric_limits<double>::infinity();
  double leave = std::numeric_limits<double>::infinity();
  int enterAxis = 0;
  double enterSign = 1.0;
  for (int axis = 0; axis < 3; ++axis) {
    if (ds[axis] == 0.0) {
      if (std::abs(os[axis]) > hs[axis]) return false;
      continue;
    }
    double near = (-hs[axis] - os[axis]) / ds[axis];
    double far = (hs[axis] - os[axis]) / ds[axis];
    double sign = -1.0;
    if (near > far) {
      std::swap(near, far);
      sign = 1.0;
    }
    if (near > enter) {
      enter = near;
      enterAxis = axis;
      enterSign = sign;
    }
    leave = std::min(leave, far);
    if (enter > leave) return false;
  }
  if (enter <= 0.0) return false;
  t = enter;
  Vec3 local;
  (enterAxis == 0 ? local.x : enterAxis == 1 ? local.y : local.z) = enterSign;
  normal = {box.cosYaw * local.x - box.sinYaw * local.y,
            box.sinYaw * local.x + box.cosYaw * local.y, local.z};
  return true;
}

Hit Scene::groundHit(Vec3 origin, Vec3 direction, double t) const {
  Hit hit;
  hit.hit = true;
  hit.t = t;
  const Vec3 at = origin + direction * t;
  switch (m_Track.surfaceAt(at.x, at.y, m_StopLineS)) {
    case Surface::Road:
      hit.semanticClass = kClassRoad;
      hit.colour = lit(kAsphalt, {0, 0, 1});
      break;
    case Surface::LaneMarking:
      hit.semanticClass = kClassLaneMarking;
      hit.colour = lit(kMarking, {0, 0, 1});
      break;
    case Surface::Terrain: {
      hit.semanticClass = kClassTerrain;
      const long cell = static_cast<long>(std::floor(at.x / kCheckerSize)) +
                        static_cast<long>(std::floor(at.y / kCheckerSize));
      hit.colour = lit(cell % 2 == 0 ? kGrassLight : kGrassDark, {0, 0, 1});
      break;
    }
  }
  return hit;
}

Hit Scene::cast(Vec3 origin, Vec3 direction, double maxT) const {
  Hit nearest;
  double best = maxT;
  if (direction.z < 0.0) {
    const double t = -origin.z / direction.z;
    if (t > 0.0 && t <= best) {
      nearest = groundHit(origin, direction, t);
      best = t;
    }
  }
  for (const Box& box : m_Boxes) {
    double t;
    Vec3 normal;
    if (castBox(box, origin, direction, t, normal) && t <= best) {
      best = t;
      nearest.hit = true;
      nearest.t = t;
      nearest.semanticClass = box.semanticClass;
      nearest.instance = box.instance;
      nearest.colour = lit(box.colour, normal);
    }
  }
  return nearest;
}

Colour Scene::colourOf(const Hit& hit, Vec3 direction) const {
  const double elevation = direction.z / length(direction);
  const Colour sky = mix(kHorizon, kZenith, std::sqrt(std::max(0.0, elevation)));
  if (!hit.hit) return sky;
  const double distance = hit.t * length(direction);
  return mix(kHorizon, hit.colour, std::exp(-distance / kFogDistance));
}

}  // namespace Sandbox
}  // namespace Vantrel
