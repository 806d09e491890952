// Delivery of the queued sensor data to the client's Sensor<T> objects, looked up by sensor id in
// the map of the output's kind.
#include <algorithm>
#include <cstddef>
#include <iostream>
#include <iterator>

#include "VantrelSim.h"

namespace Vantrel {
namespace SDK {

namespace {

// Hands `output` to the object registered under its id in the map of kind T; false when there is
// none. `typedOutput` is the SensorOutput getter of T's member of the SensorType oneof.
template <typename T, const T& (SensorOutput::*typedOutput)() const>
bool deliverToRegistered(VantrelSim& sim, const EngineToClientMessage& entry,
                         const SensorOutput& output) {
  const std::map<unsigned int, Sensor<T>*>& sensors = detail::SensorKind<T>::sensors(sim);
  const auto registered = sensors.find(output.outputsensorid());
  if (registered == sensors.end()) return false;
  registered->second->onSensorOutput(entry, output, (output.*typedOutput)());
  return true;
}

struct DispatchRow {
  SensorOutput::SensorTypeCase sensorType;
  // Null for a case that is passed over in silence.
  bool (*deliver)(VantrelSim& sim, const EngineToClientMessage& entry, const SensorOutput& output);
  // Written when no object is registered under the output's id: the whole line, or its prefix when
  // the id and " without a Callback" follow.
  const char* missingCallbackText;
  bool missingCallbackNamesId;
};

const DispatchRow kDispatchTable[] = {
    {SensorOutput::kRgbCameraOutput,
     deliverToRegistered<RGBCameraOutput, &SensorOutput::rgbcameraoutput>,
     "Received RGB Camera output for Camera ID:", true},
    {SensorOutput::kRoiOutput, deliverToRegistered<ROIOutput, &SensorOutput::roioutput>,
     "Received ROI output for ROI ID:", true},
    {SensorOutput::kGpsOutput, deliverToRegistered<GPSOutput, &SensorOutput::gpsoutput>,
     "Received GPS output for GPS ID:", true},
    {SensorOutput::kWakeupOutput, nullptr, nullptr, false},
    {SensorOutput::kLidarOutput, deliverToRegistered<LidarOutput, &SensorOutput::lidaroutput>,
     "Received Lidar output for Lidar ID:", true},
    {SensorOutput::kMsgToClientOutput,
     deliverToRegistered<E2COutput, &SensorOutput::msgtoclientoutput>,
     "Received E2C output for E2C ID:", true},
    {SensorOutput::kLaneDetectorOutput,
     deliverToRegistered<LaneDetectorOutput, &SensorOutput::lanedetectoroutput>,
     "Received LaneDetector output for LaneDetector ID:", true},
    {SensorOutput::kSemanticInstanceLabelingOutput,
     deliverToRegistered<SemanticInstanceLabelingOutput,
                         &SensorOutput::semanticinstancelabelingoutput>,
     "Received Semantic Instance Sensor output with no Callback", false},
    {SensorOutput::kSemanticClassLabelingOutput,
     deliverToRegistered<SemanticClassLabelingOutput, &SensorOutput::semanticclasslabelingoutput>,
     "Received Semantic Class Sensor output with no Callback", false},
    {SensorOutput::kCarTelemetriesOutput,
     deliverToRegistered<CarTelemetriesOutput, &SensorOutput::cartelemetriesoutput>,
     "Car telemetries output for Telemetry ID:", true},
    {SensorOutput::kDepthCameraOutput,
     deliverToRegistered<DepthCameraOutput, &SensorOutput::depthcameraoutput>,
     "Received Depth Camera output for Camera ID:", true},
    {SensorOutput::kRadarOutput, deliverToRegistered<RadarOutput, &SensorOutput::radaroutput>,
     "Received Radar output for Radar ID:", true},
    {SensorOutput::kDynamicObjectGroundTruthOutput,
     deliverToRegistered<DynamicObjectGroundTruthOutput,
                         &SensorOutput::dynamicobjectgroundtruthoutput>,
     "Received Dynamic Object GT output DOGT ID:", true},
};

const DispatchRow* dispatchRowFor(SensorOutput::SensorTypeCase sensorType) {
  const auto row =
      std::find_if(std::begin(kDispatchTable), std::end(kDispatchTable),
                   [sensorType](const DispatchRow& r) { return r.sensorType == sensorType; });
  return row == std::end(kDispatchTable) ? nullptr : row;
}

void writeMissingCallbackLine(const DispatchRow& row, unsigned int sensorId) {
  std::cerr << row.missingCallbackText;
  if (row.missingCallbackNamesId) std::cerr << sensorId << " without a Callback";
  std::cerr << std::endl;
}

void deliverOutput(VantrelSim& sim, const EngineToClientMessage& entry,
                   const SensorOutput& output) {
  const DispatchRow* row = dispatchRowFor(output.SensorType_case());
  if (row == nullptr) {
    std::cerr << "Received unknown sensor output" << std::endl;
    return;
  }
  if (row->deliver == nullptr) return;
  if (!row->deliver(sim, entry, output)) writeMissingCallbackLine(*row, output.outputsensorid());
}

}  // namespace

// Camera and lidar payloads run to megabytes, so the newest entry is moved out of the list (a swap
// of its contents, no copy) and walked where it then lies. Out of the list it stays valid and
// unchanged for all of its callbacks, whatever they append to the list meanwhile. If a callback
// throws, the entry goes back to its place, before any entry appended while it was walked, so that
// the next call delivers it again whole.
VantrelErr VantrelSim::dispatchMessages() {
  while (m_IsRunning && !m_SensorDataList.empty()) {
    const size_t place = m_SensorDataList.size() - 1;
    EngineToClientMessage entry(std::move(m_SensorDataList.back()));
    m_SensorDataList.pop_back();
    try {
      deliverEntry(entry);
    } catch (...) {
      // A callback that called dispatchMessages in turn may have taken older entries as well.
      const size_t back = std::min(place, m_SensorDataList.size());
      m_SensorDataList.insert(m_SensorDataList.begin() + static_cast<std::ptrdiff_t>(back),
                              std::move(entry));
      throw;
    }
  }
  return VANTREL_ERR_OK;
}

void VantrelSim::deliverEntry(const EngineToClientMessage& entry) {
  for (const SensorOutput& output : entry.registerreport().sensorsoutput()) {
    deliverOutput(*this, entry, output);
  }
}

}  // namespace SDK
}  // namespace Vantrel
