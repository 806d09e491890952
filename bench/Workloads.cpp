#include "Workloads.h"

#include <cstdlib>

namespace VantrelBench {

using namespace Vantrel::SDK;

namespace {

constexpr uint32_t kCameraWidth = 1920;
constexpr uint32_t kCameraHeight = 1080;
constexpr size_t kCameraBytes = size_t{kCameraWidth} * kCameraHeight * 4;
constexpr size_t kLidarBytes = size_t{1} << 20;
const char kSweepPrefix[] = "sweep:";
const char kSelectionPrefix[] = "workload ";

// Bytes that do not repeat with a short period, so that nothing on the way can make them cheaper.
std::string patternBytes(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1664525u + 1013904223u;
    bytes[i] = static_cast<char>(state >> 24);
  }
  return bytes;
}

void setVector(SDKVector3* vector, float x, float y, float z) {
  vector->set_x(x);
  vector->set_y(y);
  vector->set_z(z);
}

SensorOutput* addOutput(SensorData& data, unsigned int sensorId) {
  SensorOutput* output = data.add_sensorsoutput();
  output->set_outputtime(12.5f);
  output->set_outputframenum(750);
  output->set_outputsensorid(sensorId);
  return output;
}

void addCamera(SensorData& data, unsigned int sensorId, uint32_t width, uint32_t height,
               size_t bytes) {
  RGBCameraOutput* camera = addOutput(data, sensorId)->mutable_rgbcameraoutput();
  camera->set_width(width);
  camera->set_height(height);
  camera->set_pixels(patternBytes(bytes, sensorId));
}

void addGps(SensorData& data) {
  GPSOutput* gps = addOutput(data, kGpsId)->mutable_gpsoutput();
  gps->set_lat(48.137154f);
  gps->set_long_(11.576124f);
  setVector(gps->mutable_orientation(), 0.01f, -0.02f, 1.57f);
  gps->set_speed(13.9f);
  gps->set_lanewidth(3.5f);
  gps->set_laneoffset(-0.2f);
  setVector(gps->mutable_position(), 1021.5f, -347.25f, 0.3f);
  setVector(gps->mutable_acceleration(), 0.4f, 0.01f, -9.81f);
  setVector(gps->mutable_velocitylocal3d(), 13.9f, 0.05f, 0.0f);
  setVector(gps->mutable_angularvelocitylocal3d(), 0.0f, 0.0f, 0.02f);
  setVector(gps->mutable_angularaccelerationlocal3d(), 0.0f, 0.0f, 0.001f);
  gps->set_lanenumber(2);
  gps->set_navigationsegment(17);
}

void addTelemetry(SensorData& data) {
  CarTelemetriesOutput* telemetry = addOutput(data, kTelemetryId)->mutable_cartelemetriesoutput();
  telemetry->set_acceleration(0.4f);
  telemetry->set_gas(0.3f);
  telemetry->set_steering(-0.05f);
  setVector(telemetry->mutable_centerofmasslocalposition(), 0.0f, 0.45f, 1.3f);
  setVector(telemetry->mutable_centerofmasslocalrotation(), 0.0f, 0.0f, 0.0f);
  telemetry->set_enginerpm(2350.0f);
  telemetry->set_engineload(0.42f);
  telemetry->set_enginetorque(180.0f);
  telemetry->set_enginepower(44.0f);
  telemetry->set_currentgear(3);
  for (int i = 0; i < 4; ++i) {
    WheelTelemetriesOutput* wheel = telemetry->add_wheels();
    wheel->set_angularvelocity(41.0f + i);
    wheel->set_steerangle(i < 2 ? -0.05f : 0.0f);
    wheel->set_drivetorque(i < 2 ? 90.0f : 0.0f);
    wheel->mutable_tireforce()->set_x(120.0f);
    wheel->mutable_tireforce()->set_y(-15.0f);
    wheel->mutable_tireslip()->set_x(0.01f);
    wheel->mutable_tireslip()->set_y(0.002f);
    wheel->set_canslip(true);
    wheel->set_combinedtireslip(0.012f);
    wheel->set_suspensioncompression(0.03f);
    wheel->set_contactspeed(13.9f);
    wheel->set_grounded(true);
    setVector(wheel->mutable_wheelvelocity(), 13.9f, 0.0f, 0.0f);
  }
}

void addObjects(SensorData& data) {
  ROIOutput* objects = addOutput(data, kObjectsId)->mutable_roioutput();
  for (int i = 0; i < 3; ++i) {
    ObjectDescription* object = objects->add_objectslist();
    object->set_id("car-" + std::to_string(100 + i));
    object->add_sensorids("front-camera");
    SDKBoundingBox* box = object->mutable_boundingbox();
    setVector(box->mutable_transform()->mutable_position(), 20.0f + 7 * i, 3.5f * i, 0.8f);
    setVector(box->mutable_transform()->mutable_rotation(), 0.0f, 0.0f, 0.1f * i);
    box->set_height(1.5f);
    box->set_width(1.9f);
    box->set_length(4.6f);
    setVector(object->mutable_motion()->mutable_velocity(), 12.0f, 0.1f, 0.0f);
    setVector(object->mutable_motion()->mutable_angularrates(), 0.0f, 0.0f, 0.01f);
    object->set_roitype("Vehicle");
    object->set_roisubtype("Sedan");
    Vehicle* vehicle = object->mutable_vehicle();
    vehicle->set_navigationsegment("segment-17");
    vehicle->set_laneid("lane-2");
  }
}

void addSmallOutputs(SensorData& data) {
  addGps(data);
  addTelemetry(data);
  addObjects(data);
}

// One camera output whose envelope encodes to exactly `payloadBytes` (or as close as the fixed
// fields allow for the smallest sizes).
void buildSweep(size_t payloadBytes, EngineToClientMessage& message) {
  message.set_framenumber(750);
  message.set_simulationtimeinsec(12.5f);
  SensorData* data = message.mutable_registerreport();
  addCamera(*data, kFrontCameraId, 0, 0, 0);
  std::string* pixels = data->mutable_sensorsoutput(0)->mutable_rgbcameraoutput()->mutable_pixels();
  // The length prefixes grow with the pixels, so settle the size in a few steps.
  for (int step = 0; step < 4; ++step) {
    const size_t encoded = message.ByteSizeLong();
    if (encoded == payloadBytes) break;
    const size_t overhead = encoded - pixels->size();
    if (payloadBytes <= overhead) break;
    *pixels = patternBytes(payloadBytes - overhead, kFrontCameraId);
  }
}

}  // namespace

std::string sweepWorkload(size_t payloadBytes) {
  return kSweepPrefix + std::to_string(payloadBytes);
}

bool buildWorkload(const std::string& name, EngineToClientMessage& message) {
  message.Clear();
  if (name.rfind(kSweepPrefix, 0) == 0) {
    char* end = nullptr;
    const unsigned long long bytes =
        std::strtoull(name.c_str() + sizeof kSweepPrefix - 1, &end, 10);
    if (end == nullptr || *end != '\0' || bytes == 0 || bytes > (size_t{1} << 30)) return false;
    buildSweep(static_cast<size_t>(bytes), message);
    return true;
  }
  message.set_framenumber(750);
  message.set_simulationtimeinsec(12.5f);
  SensorData* data = message.mutable_registerreport();
  if (name == "small") {
    addSmallOutputs(*data);
  } else if (name == "camera") {
    addCamera(*data, kFrontCameraId, kCameraWidth, kCameraHeight, kCameraBytes);
  } else if (name == "mix") {
    addCamera(*data, kFrontCameraId, kCameraWidth, kCameraHeight, kCameraBytes);
    addCamera(*data, kRearCameraId, kCameraWidth, kCameraHeight, kCameraBytes);
    addOutput(*data, kLidarId)
        ->mutable_lidaroutput()
        ->set_points(patternBytes(kLidarBytes, kLidarId));
    addSmallOutputs(*data);
  } else {
    return false;
  }
  return true;
}

std::string workloadSelection(const std::string& name) { return kSelectionPrefix + name; }

std::string selectedWorkload(const std::string& logLine) {
  if (logLine.rfind(kSelectionPrefix, 0) != 0) return std::string();
  return logLine.substr(sizeof kSelectionPrefix - 1);
}

ClientToEngineMessage nextFrameRequest() {
  ClientToEngineMessage request;
  request.mutable_command()->mutable_simulationcommand()->mutable_nextframe();
  return request;
}

ClientToEngineMessage logRequest(const std::string& text) {
  ClientToEngineMessage request;
  request.mutable_command()->mutable_logcommand()->set_msg(text);
  return request;
}

std::string wireFrame(const google::protobuf::MessageLite& message) {
  const size_t size = message.ByteSizeLong();
  std::string frame(kFrameHeaderSize + size, '\0');
  for (size_t i = 0; i < kFrameHeaderSize; ++i)
    frame[i] = static_cast<char>(uint64_t{size} >> (8 * i));
  message.SerializeToArray(&frame[kFrameHeaderSize], static_cast<int>(size));
  return frame;
}

int64_t frameLength(const unsigned char* header) {
  uint64_t length = 0;
  for (size_t i = kFrameHeaderSize; i > 0; --i) length = (length << 8) | header[i - 1];
  return static_cast<int64_t>(length);
}

uint64_t touchPages(const void* data, size_t size) {
  const volatile unsigned char* bytes = static_cast<const unsigned char*>(data);
  uint64_t sum = 0;
  for (size_t i = 0; i < size; i += 4096) sum += bytes[i];
  if (size > 0) sum += bytes[size - 1];
  return sum;
}

uint64_t touch(const RGBCameraOutput& camera) {
  return touchPages(camera.pixels().data(), camera.pixels().size());
}
uint64_t touch(const LidarOutput& lidar) {
  return touchPages(lidar.points().data(), lidar.points().size());
}
uint64_t touch(const GPSOutput& gps) { return static_cast<uint64_t>(gps.speed()); }
uint64_t touch(const CarTelemetriesOutput& telemetry) { return telemetry.wheels_size(); }
uint64_t touch(const ROIOutput& objects) { return objects.objectslist_size(); }

uint64_t touchOutput(const SensorOutput& output) {
  switch (output.SensorType_case()) {
    case SensorOutput::kRgbCameraOutput:
      return touch(output.rgbcameraoutput());
    case SensorOutput::kLidarOutput:
      return touch(output.lidaroutput());
    case SensorOutput::kGpsOutput:
      return touch(output.gpsoutput());
    case SensorOutput::kCarTelemetriesOutput:
      return touch(output.cartelemetriesoutput());
    case SensorOutput::kRoiOutput:
      return touch(output.roioutput());
    default:
      return 0;
  }
}

}  // namespace VantrelBench
