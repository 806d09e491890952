#include "Sensors.h"

#include <cstdio>
#include <cstring>

#include "Scene.h"

namespace Vantrel {
namespace Sandbox {

using namespace SDK;

namespace {

constexpr Vec3 kFrontCameraMount{1.0, 0.0, 1.5};
constexpr double kCameraHFov = 90.0;
constexpr double kCameraFarPlane = 1000.0;
constexpr uint32_t kLidarHRes = 360;
constexpr uint32_t kLidarVRes = 16;
constexpr double kLidarHFov = 360.0;
constexpr double kLidarVFov = 30.0;
constexpr double kLidarRange = 120.0;
constexpr double kRadarHFov = 60.0;
constexpr double kRadarVFov = 10.0;
constexpr double kRadarRange = 150.0;
constexpr double kRoiRange = 100.0;
constexpr double kLaneDetectorStep = 5.0;
constexpr int kLaneDetectorAhead = 10;
constexpr int kLaneDetectorBehind = 5;
constexpr double kLatitudeOrigin = 48.0;
constexpr double kLongitudeOrigin = 11.0;
constexpr double kMetresPerDegree = 111320.0;
constexpr double kGravity = 9.81;
constexpr double kFinalDrive = 3.7;
constexpr double kGearRatios[] = {3.6, 2.1, 1.4, 1.0, 0.8};
constexpr double kGearTopSpeeds[] = {7.0, 13.0, 20.0, 28.0};  // m/s at which the next gear comes
constexpr double kIdleRpm = 800.0;
constexpr double kMaxRpm = 6500.0;
constexpr double kMaxEngineTorque = 320.0;  // Nm
constexpr double kMaxBrakeTorque = 1200.0;  // Nm per wheel

void set(SDKVector3* vector, Vec3 value) {
  vector->set_x(static_cast<float>(value.x));
  vector->set_y(static_cast<float>(value.y));
  vector->set_z(static_cast<float>(value.z));
}

void set(Transform3* transform, Vec3 position, Vec3 rotation) {
  set(transform->mutable_position(), position);
  set(transform->mutable_rotation(), rotation);
}

void appendFloat(std::string& bytes, double value) {
  const float single = static_cast<float>(value);
  uint32_t bits;
  std::memcpy(&bits, &single, sizeof bits);
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(bits >> (8 * i)));
}

std::string fixed(double value, int decimals) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

double cameraVFov(CameraSize camera) {
  return degrees(2.0 *
                 std::atan(std::tan(radians(kCameraHFov / 2)) * camera.height / camera.width));
}

template <typename Config>
void describeCamera(Config* config, CameraSize camera) {
  config->set_width(camera.width);
  config->set_height(camera.height);
  config->set_hfov(static_cast<float>(kCameraHFov));
  config->set_vfov(static_cast<float>(cameraVFov(camera)));
}

SensorOutput* newOutput(SensorData& data, const SensorEntry& sensor, Stamp stamp) {
  SensorOutput* output = data.add_sensorsoutput();
  output->set_outputtime(stamp.time);
  output->set_outputframenum(stamp.frame);
  output->set_outputsensorid(sensor.id);
  return output;
}

int gearFor(const Car& car) {
  if (car.controls.reverse) return -1;
  int gear = 1;
  for (double topSpeed : kGearTopSpeeds) {
    if (car.speed >= topSpeed) ++gear;
  }
  return gear;
}

// ---- Scene objects as the ROI and ground-truth sensors describe them ----------------------------

// The box and motion of an object, in the frame of `frame` (the world, or the ego car).
void describeBody(ObjectDescription& object, const Pose& frame, const Pose& pose, Vec3 size,
                  Vec3 velocity, double yawRate) {
  Vec3 centre = toLocal(frame, {pose.x, pose.y, 0.0});
  centre.z = size.z / 2;
  SDKBoundingBox* box = object.mutable_boundingbox();
  set(box->mutable_transform(), centre, {0.0, 0.0, wrapAngle(pose.yaw - frame.yaw)});
  box->set_length(static_cast<float>(size.x));
  box->set_width(static_cast<float>(size.y));
  box->set_height(static_cast<float>(size.z));
  set(object.mutable_motion()->mutable_velocity(), rotateYaw(velocity, -frame.yaw));
  set(object.mutable_motion()->mutable_angularrates(), {0.0, 0.0, yawRate});
}

void describeCar(ObjectDescription& object, const Car& car, const Pose& frame, uint32_t sensorId) {
  object.set_id(std::to_string(car.roiObjectId));
  object.add_sensorids(std::to_string(sensorId));
  describeBody(object, frame, car.pose, {Car::kLength, Car::kWidth, Car::kHeight}, car.velocity,
               car.yawRate);
  object.set_roitype("vehicle");
  object.set_roisubtype("car");
  object.set_animationstate(std::abs(car.speed) > 0.1 ? "driving" : "standing");
  Vehicle* vehicle = object.mutable_vehicle();
  vehicle->set_type(Vehicle::CAR);
  vehicle->set_role(Vehicle::NORMAL);
  const int lane = Track::laneAt(car.onTrack.d);
  vehicle->set_navigationsegment(std::to_string(car.onTrack.segment));
  vehicle->set_laneid(std::to_string(lane));
  vehicle->set_lanesfromleft(std::to_string(Track::kLaneCount - lane));
  struct WheelPlace {
    const char* name;
    double x;
    double y;
    bool steered;
  };
  const WheelPlace wheels[] = {{"front-left", Car::kWheelbase / 2, Car::kTrack / 2, true},
                               {"front-right", Car::kWheelbase / 2, -Car::kTrack / 2, true},
                               {"rear-left", -Car::kWheelbase / 2, Car::kTrack / 2, false},
                               {"rear-right", -Car::kWheelbase / 2, -Car::kTrack / 2, false}};
  for (const WheelPlace& place : wheels) {
    Wheel* wheel = vehicle->add_wheels();
    set(wheel->mutable_relativeposition(), {place.x, place.y, Car::kWheelRadius});
    wheel->set_steeringangle(static_cast<float>(place.steered ? car.steerAngle : 0.0));
    wheel->set_rotateangle(static_cast<float>(car.wheelRotation));
    wheel->set_name(place.name);
  }
  *vehicle->mutable_lightsstate() = car.lights;
  vehicle->set_signalstate(car.signal);
  vehicle->set_signallight(car.signalLight);
}

void describePedestrian(ObjectDescription& object, const Pedestrian& pedestrian, const Pose& frame,
                        uint32_t sensorId) {
  object.set_id(std::to_string(pedestrian.roiObjectId));
  object.add_sensorids(std::to_string(sensorId));
  describeBody(object, frame, pedestrian.pose,
               {Pedestrian::kLength, Pedestrian::kWidth, Pedestrian::kHeight}, pedestrian.velocity,
               0.0);
  object.set_roitype("pedestrian");
  object.set_roisubtype("adult");
  object.set_animationstate("walking");
  set(object.mutable_pedestrian()->mutable_velocity(), rotateYaw(pedestrian.velocity, -frame.yaw));
}

const char* bulbOf(SDK::TrafficLight_Status status) {
  switch (status) {
    case SDK::TrafficLight::Go:
      return "green";
    case SDK::TrafficLight::WARN:
      return "yellow";
    case SDK::TrafficLight::STOP:
      return "red";
    case SDK::TrafficLight::STOPWARN:
      return "red-yellow";
    default:
      return "off";
  }
}

void describeTrafficLight(ObjectDescription& object, const TrafficLight& light, const Pose& frame,
                          uint32_t sensorId) {
  object.set_id(std::to_string(light.roiObjectId));
  object.add_sensorids(std::to_string(sensorId));
  describeBody(object, frame, light.pose,
               {TrafficLight::kHeadSize, TrafficLight::kHeadSize,
                TrafficLight::kPoleHeight + TrafficLight::kHeadHeight},
               {}, 0.0);
  object.set_roitype("trafficLight");
  object.set_roisubtype("vehicleSignal");
  SDK::TrafficLight* signal = object.mutable_trafficlight();
  signal->set_status(light.status);
  signal->set_bulbstatus(bulbOf(light.status));
  signal->set_functioningstatus("functioning");
  signal->set_behaviour("cycle");
  signal->set_trafficsignalstatus(trafficLightStatusName(light.status));
  const Vec3 seen = toLocal(frame, {light.pose.x, light.pose.y, 0.0});
  signal->set_azimuthangle(static_cast<float>(std::atan2(seen.y, seen.x)));
  signal->set_facing(static_cast<float>(wrapAngle(light.pose.yaw - frame.yaw)));
}

// Whether a point of the world lies within the front camera's view and the ROI range.
bool inFrontView(const Car& ego, double x, double y) {
  const Vec3 seen = toLocal(ego.pose, {x, y, 0.0}) - kFrontCameraMount;
  return seen.x > 0.0 && std::abs(std::atan2(seen.y, seen.x)) <= radians(kCameraHFov / 2) &&
         std::hypot(seen.x, seen.y) <= kRoiRange;
}

void produceObjectsOfInterest(const SensorEntry& sensor, const World& world, ROIOutput& roi) {
  const Car& ego = world.ego();
  for (const Car& car : world.cars()) {
    if (car.id != ego.id && inFrontView(ego, car.pose.x, car.pose.y)) {
      describeCar(*roi.add_objectslist(), car, ego.pose, sensor.id);
    }
  }
  for (const Pedestrian& pedestrian : world.pedestrians()) {
    if (inFrontView(ego, pedestrian.pose.x, pedestrian.pose.y)) {
      describePedestrian(*roi.add_objectslist(), pedestrian, ego.pose, sensor.id);
    }
  }
  const TrafficLight& light = world.trafficLight();
  if (inFrontView(ego, light.pose.x, light.pose.y)) {
    describeTrafficLight(*roi.add_objectslist(), light, ego.pose, sensor.id);
  }
}

void produceGroundTruth(const SensorEntry& sensor, const World& world,
                        DynamicObjectGroundTruthOutput& truth) {
  const Pose worldFrame;
  for (const Car& car : world.cars()) describeCar(*truth.add_objects(), car, worldFrame, sensor.id);
  for (const Pedestrian& pedestrian : world.pedestrians()) {
    describePedestrian(*truth.add_objects(), pedestrian, worldFrame, sensor.id);
  }
  describeTrafficLight(*truth.add_objects(), world.trafficLight(), worldFrame, sensor.id);
}

void produceGps(const World& world, GPSOutput& gps) {
  const Car& ego = world.ego();
  const int lane = Track::laneAt(ego.onTrack.d);
  gps.set_lat(static_cast<float>(kLatitudeOrigin + ego.pose.y / kMetresPerDegree));
  gps.set_long_(static_cast<float>(
      kLongitudeOrigin + ego.pose.x / (kMetresPerDegree * std::cos(radians(kLatitudeOrigin)))));
  set(gps.mutable_orientation(), {0.0, 0.0, ego.pose.yaw});
  gps.set_speed(static_cast<float>(std::abs(ego.speed)));
  gps.set_lanewidth(static_cast<float>(Track::kLaneWidth));
  gps.set_laneoffset(static_cast<float>(ego.onTrack.d - Track::laneCentre(lane)));
  set(gps.mutable_position(), {ego.pose.x, ego.pose.y, 0.0});
  set(gps.mutable_acceleration(), ego.acceleration);
  set(gps.mutable_velocitylocal3d(), rotateYaw(ego.velocity, -ego.pose.yaw));
  set(gps.mutable_angularvelocitylocal3d(), {0.0, 0.0, ego.yawRate});
  set(gps.mutable_angularaccelerationlocal3d(), {0.0, 0.0, ego.yawAcceleration});
  gps.set_lanenumber(lane);
  gps.set_navigationsegment(ego.onTrack.segment);
}

void produceTelemetry(const World& world, CarTelemetriesOutput& telemetry) {
  const Car& ego = world.ego();
  const Controls& controls = ego.controls;
  const int gear = gearFor(ego);
  const double ratio = gear < 0 ? kGearRatios[0] : kGearRatios[gear - 1];
  const double wheelSpeed = ego.speed / Car::kWheelRadius;
  const double rpm =
      clampTo(std::abs(wheelSpeed) * ratio * kFinalDrive * 60.0 / (2.0 * kPi), kIdleRpm, kMaxRpm);
  const double torque = controls.gas * kMaxEngineTorque;
  telemetry.set_turnlight(ego.signal);
  telemetry.set_acceleration(static_cast<float>(ego.longitudinalAcceleration));
  telemetry.set_brake(static_cast<float>(controls.brake));
  telemetry.set_gas(static_cast<float>(controls.gas));
  telemetry.set_steering(static_cast<float>(controls.steering));
  set(telemetry.mutable_centerofmasslocalposition(), {0.0, 0.0, 0.55});
  set(telemetry.mutable_centerofmasslocalrotation(), {});
  telemetry.set_enginerpm(static_cast<float>(rpm));
  telemetry.set_engineload(static_cast<float>(controls.gas));
  telemetry.set_enginetorque(static_cast<float>(torque));
  telemetry.set_enginepower(static_cast<float>(torque * rpm * 2.0 * kPi / 60.0));
  telemetry.set_currentgear(gear);
  const double wheelPlaces[][2] = {{Car::kWheelbase / 2, Car::kTrack / 2},
                                   {Car::kWheelbase / 2, -Car::kTrack / 2},
                                   {-Car::kWheelbase / 2, Car::kTrack / 2},
                                   {-Car::kWheelbase / 2, -Car::kTrack / 2}};
  for (int i = 0; i < 4; ++i) {
    const bool front = i < 2;
    WheelTelemetriesOutput* wheel = telemetry.add_wheels();
    wheel->set_angularvelocity(static_cast<float>(wheelSpeed));
    wheel->set_steerangle(static_cast<float>(front ? ego.steerAngle : 0.0));
    wheel->set_drivetorque(static_cast<float>(front ? torque * ratio * kFinalDrive / 2 : 0.0));
    wheel->set_braketorque(static_cast<float>(controls.brake * kMaxBrakeTorque));
    wheel->mutable_tireforce()->set_x(
        static_cast<float>(Car::kMass * ego.longitudinalAcceleration / 4));
    wheel->mutable_tireforce()->set_y(static_cast<float>(Car::kMass * ego.speed * ego.yawRate / 4));
    wheel->mutable_tireslip();
    wheel->set_canslip(true);
    wheel->set_suspensioncompression(0.04f);
    wheel->set_downforce(static_cast<float>(Car::kMass * kGravity / 4));
    wheel->set_contactspeed(static_cast<float>(std::abs(ego.speed)));
    wheel->set_grounded(true);
    // The wheel's velocity over ground: the car's, plus what the turning adds at the wheel.
    const Vec3 place = rotateYaw({wheelPlaces[i][0], wheelPlaces[i][1], 0.0}, ego.pose.yaw);
    set(wheel->mutable_wheelvelocity(),
        ego.velocity + Vec3{-ego.yawRate * place.y, ego.yawRate * place.x, 0.0});
  }
}

void produceLaneDetector(const World& world, LaneDetectorOutput& lanes) {
  const Car& ego = world.ego();
  const double centre = Track::laneCentre(Track::laneAt(ego.onTrack.d));
  auto pointAt = [&](double s) {
    const Pose at = world.track().poseAt(s, centre);
    return toLocal(ego.pose, {at.x, at.y, 0.0});
  };
  for (int i = 0; i <= kLaneDetectorAhead; ++i) {
    set(lanes.add_frontcoordsbuff(), pointAt(ego.onTrack.s + i * kLaneDetectorStep));
  }
  for (int i = 1; i <= kLaneDetectorBehind; ++i) {
    set(lanes.add_backcoordsbuff(), pointAt(ego.onTrack.s - i * kLaneDetectorStep));
  }
  lanes.set_numoflanes(Track::kLaneCount);
}

void produceEngineValues(const SensorEntry& sensor, const World& world, Stamp stamp,
                         SensorData& data) {
  const Car& ego = world.ego();
  const Track& track = world.track();
  const TrafficLight& light = world.trafficLight();
  const double laneDirection = track.poseAt(ego.onTrack.s).yaw;
  const std::pair<const char*, std::string> values[] = {
      {"lap", std::to_string(static_cast<long>(std::floor(ego.progress / track.length())))},
      {"distanceAlongTrack", fixed(ego.onTrack.s, 2)},
      {"headingError", fixed(wrapAngle(ego.pose.yaw - laneDirection), 4)},
      {"trafficLight", trafficLightStatusName(light.status)},
      {"distanceToStopLine",
       fixed(track.distanceAhead(ego.onTrack.s + Car::kLength / 2, light.stopLineS), 2)},
  };
  for (const auto& value : values) {
    E2COutput* output = newOutput(data, sensor, stamp)->mutable_msgtoclientoutput();
    output->set_param(value.first);
    output->set_value(value.second);
  }
}

}  // namespace

const std::vector<SensorEntry>& sensorCatalogue() {
  static const std::vector<SensorEntry> catalogue = {
      {1, SensorKind::RGBCamera, "front-camera", kFrontCameraMount},
      {2, SensorKind::DepthCamera, "front-depth-camera", kFrontCameraMount},
      {3, SensorKind::SemanticClassCamera, "front-semantic-class-camera", kFrontCameraMount},
      {4, SensorKind::Lidar, "roof-lidar", {0.0, 0.0, 1.9}},
      {5, SensorKind::Radar, "front-radar", {2.2, 0.0, 0.5}},
      {6, SensorKind::LaneDetector, "lane-detector", kFrontCameraMount},
      {7, SensorKind::EngineToClient, "engine-values", {}},
      {8, SensorKind::SemanticInstanceCamera, "front-semantic-instance-camera", kFrontCameraMount},
      {ROIID, SensorKind::ObjectsOfInterest, "objects-of-interest", kFrontCameraMount},
      {GPSID, SensorKind::GPS, "gps", {0.0, 0.0, 1.0}},
      {CARTELEMETRYID, SensorKind::CarTelemetry, "car-telemetry", {}},
      {DOGTID, SensorKind::GroundTruth, "dynamic-object-ground-truth", {}},
  };
  return catalogue;
}

const SensorEntry* findSensor(uint32_t id) {
  for (const SensorEntry& sensor : sensorCatalogue()) {
    if (sensor.id == id) return &sensor;
  }
  return nullptr;
}

bool isGlobalSensor(const SensorEntry& sensor) { return sensor.kind == SensorKind::GroundTruth; }

bool isCamera(const SensorEntry& sensor) {
  return sensor.kind == SensorKind::RGBCamera || sensor.kind == SensorKind::DepthCamera ||
         sensor.kind == SensorKind::SemanticClassCamera ||
         sensor.kind == SensorKind::SemanticInstanceCamera;
}

void Sensors::describe(const SensorEntry& sensor, uint32_t fps, SensorQueryReport& report) const {
  report.set_name(sensor.name);
  report.set_sensorid(sensor.id);
  set(report.mutable_transform(), sensor.mount, {});
  report.set_fps(fps);
  switch (sensor.kind) {
    case SensorKind::RGBCamera:
      describeCamera(report.mutable_rgbcamerareport(), m_Camera);
      break;
    case SensorKind::DepthCamera:
      describeCamera(report.mutable_depthcamerareport(), m_Camera);
      report.mutable_depthcamerareport()->set_dcdatatype(DCH_Float32);
      break;
    case SensorKind::SemanticClassCamera:
      describeCamera(report.mutable_slclassreport(), m_Camera);
      break;
    case SensorKind::SemanticInstanceCamera:
      describeCamera(report.mutable_slinstancereport(), m_Camera);
      break;
    case SensorKind::Lidar: {
      LidarConfig* lidar = report.mutable_lidarreport();
      lidar->mutable_mask()->set_id("sandbox-16x360");
      lidar->mutable_mask()->set_hres(kLidarHRes);
      lidar->mutable_mask()->set_vres(kLidarVRes);
      lidar->set_hfov(static_cast<float>(kLidarHFov));
      lidar->set_vfov(static_cast<float>(kLidarVFov));
      lidar->set_slr(ShortLidarFile);
      break;
    }
    case SensorKind::Radar:
      report.mutable_radarreport();
      break;
    case SensorKind::LaneDetector:
      report.mutable_lanedetectorreport();
      break;
    case SensorKind::EngineToClient:
      report.mutable_e2creport();
      break;
    case SensorKind::ObjectsOfInterest:
      report.mutable_roireport();
      break;
    case SensorKind::GPS:
      report.mutable_gpsreport();
      break;
    case SensorKind::CarTelemetry:
      report.mutable_cartelemetriesreport();
      break;
    case SensorKind::GroundTruth:
      break;
  }
}

void Sensors::describe(const SensorEntry& sensor, uint32_t fps,
                       GlobalSensorQueryReport& report) const {
  report.set_name(sensor.name);
  report.set_sensorid(sensor.id);
  report.set_fps(fps);
  report.mutable_dogtreport();
}

void Sensors::produce(const SensorEntry& sensor, const World& world, Stamp stamp,
                      SensorData& data) {
  if (sensor.kind == SensorKind::EngineToClient) {
    produceEngineValues(sensor, world, stamp, data);
    return;
  }
  SensorOutput* output = newOutput(data, sensor, stamp);
  switch (sensor.kind) {
    case SensorKind::RGBCamera: {
      RGBCameraOutput* camera = output->mutable_rgbcameraoutput();
      camera->set_width(m_Camera.width);
      camera->set_height(m_Camera.height);
      camera->set_pixels(render(world, stamp.frame).rgba);
      break;
    }
    case SensorKind::DepthCamera: {
      DepthCameraOutput* camera = output->mutable_depthcameraoutput();
      camera->set_width(m_Camera.width);
      camera->set_height(m_Camera.height);
      camera->set_pixels(render(world, stamp.frame).depth);
      break;
    }
    case SensorKind::SemanticClassCamera: {
      SemanticClassLabelingOutput* camera = output->mutable_semanticclasslabelingoutput();
      camera->set_width(m_Camera.width);
      camera->set_height(m_Camera.height);
      camera->set_pixels(render(world, stamp.frame).classes);
      break;
    }
    case SensorKind::SemanticInstanceCamera: {
      SemanticInstanceLabelingOutput* camera = output->mutable_semanticinstancelabelingoutput();
      camera->set_width(m_Camera.width);
      camera->set_height(m_Camera.height);
      camera->set_pixels(render(world, stamp.frame).instances);
      break;
    }
    case SensorKind::Lidar:
      output->mutable_lidaroutput()->set_points(scan(world, sensor));
      break;
    case SensorKind::Radar:
      produceRadar(sensor, world, stamp, *output->mutable_radaroutput());
      break;
    case SensorKind::LaneDetector:
      produceLaneDetector(world, *output->mutable_lanedetectoroutput());
      break;
    case SensorKind::ObjectsOfInterest:
      produceObjectsOfInterest(sensor, world, *output->mutable_roioutput());
      break;
    case SensorKind::GPS:
      produceGps(world, *output->mutable_gpsoutput());
      break;
    case SensorKind::CarTelemetry:
      produceTelemetry(world, *output->mutable_cartelemetriesoutput());
      break;
    case SensorKind::GroundTruth:
      produceGroundTruth(sensor, world, *output->mutable_dynamicobjectgroundtruthoutput());
      break;
    case SensorKind::EngineToClient:
      break;
  }
}

// One ray per pixel through its centre, from the front camera's mount, for all four cameras.
const Sensors::Images& Sensors::render(const World& world, uint32_t frame) {
  if (m_Images.valid && m_Images.frame == frame) return m_Images;
  const Car& ego = world.ego();
  const Scene scene(world, ego.id);
  const Vec3 origin = toWorld(ego.pose, kFrontCameraMount);
  const double c = std::cos(ego.pose.yaw);
  const double s = std::sin(ego.pose.yaw);
  const uint32_t width = m_Camera.width;
  const uint32_t height = m_Camera.height;
  const double focal = (width / 2.0) / std::tan(radians(kCameraHFov / 2));
  const size_t pixels = static_cast<size_t>(width) * height;
  m_Images.rgba.assign(4 * pixels, '\0');
  m_Images.depth.clear();
  m_Images.depth.reserve(4 * pixels);
  m_Images.classes.assign(pixels, '\0');
  m_Images.instances.assign(pixels, '\0');
  size_t pixel = 0;
  for (uint32_t v = 0; v < height; ++v) {
    const double up = (height / 2.0 - v - 0.5) / focal;
    for (uint32_t u = 0; u < width; ++u, ++pixel) {
      const double left = (width / 2.0 - u - 0.5) / focal;
      // Forward is 1, so the ray's parameter at a hit is the depth along the optical axis.
      const Vec3 direction{c - s * left, s + c * left, up};
      const Hit hit = scene.cast(origin, direction, kCameraFarPlane);
      const Colour colour = scene.colourOf(hit, direction);
      m_Images.rgba[4 * pixel] = static_cast<char>(colour.r);
      m_Images.rgba[4 * pixel + 1] = static_cast<char>(colour.g);
      m_Images.rgba[4 * pixel + 2] = static_cast<char>(colour.b);
      m_Images.rgba[4 * pixel + 3] = static_cast<char>(255);
      appendFloat(m_Images.depth, hit.hit ? hit.t : kCameraFarPlane);
      m_Images.classes[pixel] = static_cast<char>(hit.semanticClass);
      m_Images.instances[pixel] = static_cast<char>(hit.instance);
    }
  }
  m_Images.frame = frame;
  m_Images.valid = true;
  return m_Images;
}

std::string Sensors::scan(const World& world, const SensorEntry& lidar) const {
  const Car& ego = world.ego();
  const Scene scene(world, ego.id);
  const Vec3 origin = toWorld(ego.pose, lidar.mount);
  std::string points;
  points.reserve(static_cast<size_t>(kLidarHRes) * kLidarVRes * 12);
  for (uint32_t column = 0; column < kLidarHRes; ++column) {
    const double azimuth = radians(column * kLidarHFov / kLidarHRes);
    for (uint32_t channel = 0; channel < kLidarVRes; ++channel) {
      const double elevation = radians(kLidarVFov / 2 - channel * kLidarVFov / (kLidarVRes - 1));
      const Vec3 ray{std::cos(elevation) * std::cos(azimuth),
                     std::cos(elevation) * std::sin(azimuth), std::sin(elevation)};
      const Hit hit = scene.cast(origin, rotateYaw(ray, ego.pose.yaw), kLidarRange);
      if (!hit.hit) continue;
      appendFloat(points, ray.x * hit.t);
      appendFloat(points, ray.y * hit.t);
      appendFloat(points, ray.z * hit.t);
    }
  }
  return points;
}

void Sensors::produceRadar(const SensorEntry& sensor, const World& world, Stamp stamp,
                           RadarOutput& radar) {
  const Car& ego = world.ego();
  RadarOutput_Header* header = radar.mutable_header();
  header->set_radarid(sensor.name);
  set(header->mutable_radarplacement()->mutable_location(), sensor.mount);
  set(header->mutable_radarplacement()->mutable_orientation(), {});
  header->set_horizontalfov(static_cast<float>(kRadarHFov));
  header->set_verticalfov(static_cast<float>(kRadarVFov));
  for (const Car& car : world.cars()) {
    if (car.id == ego.id) continue;
    const Vec3 seen = toLocal(ego.pose, {car.pose.x, car.pose.y, Car::kHeight / 2}) - sensor.mount;
    const double range = length(seen);
    const double azimuth = std::atan2(seen.y, seen.x);
    if (seen.x <= 0.0 || std::abs(azimuth) > radians(kRadarHFov / 2) || range > kRadarRange) {
      m_RadarTracks.erase(car.id);
      continue;
    }
    const uint32_t firstSeen = m_RadarTracks.emplace(car.id, stamp.frame).first->second;
    const Vec3 lineOfSight = rotateYaw(seen * (1.0 / range), ego.pose.yaw);
    RadarOutput_Target* target = radar.add_targets();
    target->set_id(car.id);
    target->set_timestamp(stamp.frame);
    target->set_range(static_cast<float>(range));
    target->set_azimuth(static_cast<float>(azimuth));
    target->set_elevation(static_cast<float>(std::atan2(seen.z, std::hypot(seen.x, seen.y))));
    target->set_rangerate(static_cast<float>(dot(car.velocity - ego.velocity, lineOfSight)));
    target->set_amplitude(static_cast<float>(30.0 - 20.0 * std::log10(std::max(range, 1.0))));
    RadarOutput_Target_RadarTarget* track = target->mutable_radartarget();
    track->set_trackingstatus(1);
    track->set_age(stamp.frame - firstSeen);
    track->set_lastseen(stamp.frame);
    track->set_isstationary(std::abs(car.speed) < 0.1);
    track->set_isghost(false);
  }
}

}  // namespace Sandbox
}  // namespace Vantrel
