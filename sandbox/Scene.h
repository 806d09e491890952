// What the sandbox's cameras and lidar see: a flat ground (terrain, road, lane markings) and one
// box per object (cars, pedestrians, the traffic light's pole and head), hit by straight rays. A
// sensor's own car is left out, so that it does not see itself.
#ifndef VANTREL_SANDBOX_SCENE_H
#define VANTREL_SANDBOX_SCENE_H

#include <cstdint>
#include <vector>

#include "Geometry.h"
#include "World.h"

namespace Vantrel {
namespace Sandbox {

// The classes of the semantic class camera, one byte per pixel.
enum SemanticClass : uint8_t {
  kClassNone = 0,
  kClassSky = 1,
  kClassTerrain = 2,
  kClassRoad = 3,
  kClassLaneMarking = 4,
  kClassVehicle = 5,
  kClassPedestrian = 6,
  kClassTrafficLight = 7,
};

struct Colour {
  uint8_t r = 0;
  uint8_t g = 0;
  uint8_t b = 0;
};

struct Hit {
  bool hit = false;
  double t = 0.0;  // along the ray, in lengths of its direction vector
  SemanticClass semanticClass = kClassSky;
  uint8_t instance = 0;  // the object's roiObjectId, 0 for the ground and the sky
  Colour colour;
};

class Scene {
 public:
  Scene(const World& world, uint32_t ownCarId);

  // The first surface that the ray from `origin` along `direction` meets within `maxT` lengths of
  // `direction`; `direction` need not be a unit vector.
  Hit cast(Vec3 origin, Vec3 direction, double maxT) const;
  // The colour that a camera sees along a ray, fog and sky included.
  Colour colourOf(const Hit& hit, Vec3 direction) const;

 private:
  struct Box {
    Vec3 centre;
    double cosYaw;
    double sinYaw;
    Vec3 half;
    SemanticClass semanticClass;
    uint8_t instance;
    Colour colour;
  };

  void addBox(const Pose& pose, double baseHeight, Vec3 size, SemanticClass semanticClass,
              uint32_t instance, Colour colour);
  bool castBox(const Box& box, Vec3 origin, Vec3 direction, double& t, Vec3& normal) const;
  Hit groundHit(Vec3 origin, Vec3 direction, double t) const;

  const Track& m_Track;
  double m_StopLineS;
  std::vector<Box> m_Boxes;
};

}  // namespace Sandbox
}  // namespace Vantrel

#endif
