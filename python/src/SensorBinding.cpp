// Sensor and loading-state objects that call into Python, and the NumPy views over camera and
// lidar payloads.
#include <google/protobuf/descriptor.h>
#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "Binding.h"
#include "Messages.h"

namespace vantrel_python {

namespace {

using namespace Vantrel::SDK;

// The base object of every payload array: where the bytes lie in the proxy's memory. The bytes
// belong to the entry being dispatched and are freed when the callback returns.
struct Payload {
  uintptr_t address;
  size_t size;
};

struct ArrayLayout {
  py::dtype type;
  std::vector<py::ssize_t> shape;
};

// Images are height x width x channels; the bytes per pixel decide the channels (8-bit images) or
// the element type (depth: 4 bytes float32, 2 bytes uint16, one channel). A payload whose size does
// not fit its stated dimensions is offered as a flat uint8 array.
ArrayLayout flatLayout(size_t size) {
  return {py::dtype::of<uint8_t>(), {static_cast<py::ssize_t>(size)}};
}

size_t bytesPerPixel(size_t size, uint32_t width, uint32_t height) {
  const size_t pixels = static_cast<size_t>(width) * height;
  if (pixels == 0 || size == 0 || size % pixels != 0) return 0;
  return size / pixels;
}

ArrayLayout imageLayout(size_t size, uint32_t width, uint32_t height) {
  const size_t channels = bytesPerPixel(size, width, height);
  if (channels == 0) return flatLayout(size);
  return {py::dtype::of<uint8_t>(),
          {static_cast<py::ssize_t>(height), static_cast<py::ssize_t>(width),
           static_cast<py::ssize_t>(channels)}};
}

ArrayLayout depthLayout(size_t size, uint32_t width, uint32_t height) {
  const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(height),
                                       static_cast<py::ssize_t>(width), 1};
  switch (bytesPerPixel(size, width, height)) {
    case 4:
      return {py::dtype::of<float>(), shape};
    case 2:
      return {py::dtype::of<uint16_t>(), shape};
    default:
      return flatLayout(size);
  }
}

ArrayLayout lidarLayout(size_t size) {
  constexpr size_t kPointSize = 3 * sizeof(float);
  if (size == 0 || size % kPointSize != 0) return flatLayout(size);
  return {py::dtype::of<float>(), {static_cast<py::ssize_t>(size / kPointSize), 3}};
}

py::object viewOf(const std::string& bytes, const ArrayLayout& layout) {
  py::object base = py::cast(Payload{reinterpret_cast<uintptr_t>(bytes.data()), bytes.size()});
  py::array array(layout.type, layout.shape, std::vector<py::ssize_t>{}, bytes.data(), base);
  array.attr("flags").attr("writeable") = false;
  return std::move(array);
}

// The NumPy view of a typed output's payload; None for the kinds without one.
template <typename T>
py::object payloadArray(const T&) {
  return py::none();
}
py::object payloadArray(const RGBCameraOutput& output) {
  return viewOf(output.pixels(),
                imageLayout(output.pixels().size(), output.width(), output.height()));
}
py::object payloadArray(const SemanticInstanceLabelingOutput& output) {
  return viewOf(output.pixels(),
                imageLayout(output.pixels().size(), output.width(), output.height()));
}
py::object payloadArray(const SemanticClassLabelingOutput& output) {
  return viewOf(output.pixels(),
                imageLayout(output.pixels().size(), output.width(), output.height()));
}
py::object payloadArray(const DepthCameraOutput& output) {
  return viewOf(output.pixels(),
                depthLayout(output.pixels().size(), output.width(), output.height()));
}
py::object payloadArray(const LidarOutput& output) {
  return viewOf(output.points(), lidarLayout(output.points().size()));
}

// The name of the SensorOutput field that carries T ("gpsOutput" for GPSOutput).
template <typename T>
const std::string& typedFieldName() {
  static const std::string name = [] {
    const google::protobuf::OneofDescriptor* sensorType =
        SensorOutput::descriptor()->FindOneofByName("SensorType");
    for (int i = 0; i < sensorType->field_count(); ++i) {
      if (sensorType->field(i)->message_type() == T::descriptor())
        return sensorType->field(i)->name();
    }
    throw std::logic_error("SensorOutput carries no " + T::descriptor()->name());
  }();
  return name;
}

// Where `output` stands in the envelope's sensor data, so that the Python output can be taken from
// the Python envelope instead of being decoded a second time.
int indexInEnvelope(const EngineToClientMessage& envelope, const SensorOutput& output) {
  const auto& outputs = envelope.registerreport().sensorsoutput();
  for (int i = 0; i < outputs.size(); ++i) {
    if (&outputs.Get(i) == &output) return i;
  }
  return -1;
}

template <typename T>
class PythonSensor final : public Sensor<T>, public PythonCallback {
 public:
  PythonSensor(py::object target, EnvelopeCache& envelopes)
      : m_Target(std::move(target)), m_Envelopes(envelopes) {}

  // A Python exception leaves as py::error_already_set, through dispatchMessages, which puts the
  // entry back, to the caller of dispatch_messages.
  void onSensorOutput(const EngineToClientMessage& envelope, const SensorOutput& output,
                      const T& typedOutput) override {
    py::gil_scoped_acquire gil;
    const int index = indexInEnvelope(envelope, output);
    const py::object pythonEnvelope = m_Envelopes.envelopeFor(envelope, index);
    const py::object pythonOutput =
        index >= 0
            ? py::object(
                  pythonEnvelope.attr("registerReport").attr("sensorsOutput")[py::int_(index)])
            : toPython(output);
    const py::object pythonTyped = pythonOutput.attr(typedFieldName<T>().c_str());
    py::object array = payloadArray(typedOutput);
    py::module_::import("vantrel").attr("_deliver_sensor_output")(m_Target.get(), pythonEnvelope,
                                                                  pythonOutput, pythonTyped, array);
    if (!array.is_none() && array.ref_count() > 1) {
      // Kept beyond the callback, the view would read freed memory.
      if (PyErr_WarnEx(PyExc_RuntimeWarning,
                       "a sensor payload array was kept after its callback returned; it is valid "
                       "only during the callback (keep array.copy() instead)",
                       1) != 0) {
        throw py::error_already_set();
      }
    }
  }

 private:
  PythonReference m_Target;
  EnvelopeCache& m_Envelopes;
};

class PythonLoadingState final : public LoadingState {
 public:
  explicit PythonLoadingState(py::object target) : m_Target(std::move(target)) {}
  void onLoadingStateChanged(LoadingStateReport_stateType state) override {
    py::gil_scoped_acquire gil;
    py::module_::import("vantrel").attr("_deliver_loading_state")(m_Target.get(),
                                                                  static_cast<int>(state));
  }

 private:
  PythonReference m_Target;
};

template <typename T>
int registerCar(SimHandle& handle, unsigned int carId, unsigned int sensorId, py::object target) {
  auto sensor = std::make_unique<PythonSensor<T>>(std::move(target), handle.envelopes);
  int result;
  {
    py::gil_scoped_release released;
    result = handle.sim.registerSensor<T>(carId, sensorId, *sensor);
  }
  if (result == VANTREL_ERR_OK) handle.sensors.push_back(std::move(sensor));
  return result;
}

template <typename T>
int registerGlobal(SimHandle& handle, unsigned int /*carId*/, unsigned int sensorId,
                   py::object target) {
  auto sensor = std::make_unique<PythonSensor<T>>(std::move(target), handle.envelopes);
  int result;
  {
    py::gil_scoped_release released;
    result = handle.sim.registerSensor<T>(sensorId, *sensor);
  }
  if (result == VANTREL_ERR_OK) handle.sensors.push_back(std::move(sensor));
  return result;
}

struct SensorKindRow {
  const char* name;
  bool global;
  int (*registerSensor)(SimHandle&, unsigned int, unsigned int, py::object);
};

const SensorKindRow kSensorKinds[] = {
    {"RGBCameraOutput", false, registerCar<RGBCameraOutput>},
    {"ROIOutput", false, registerCar<ROIOutput>},
    {"GPSOutput", false, registerCar<GPSOutput>},
    {"LidarOutput", false, registerCar<LidarOutput>},
    {"E2COutput", false, registerCar<E2COutput>},
    {"LaneDetectorOutput", false, registerCar<LaneDetectorOutput>},
    {"SemanticInstanceLabelingOutput", false, registerCar<SemanticInstanceLabelingOutput>},
    {"SemanticClassLabelingOutput", false, registerCar<SemanticClassLabelingOutput>},
    {"CarTelemetriesOutput", false, registerCar<CarTelemetriesOutput>},
    {"DepthCameraOutput", false, registerCar<DepthCameraOutput>},
    {"RadarOutput", false, registerCar<RadarOutput>},
    {"DynamicObjectGroundTruthOutput", true, registerGlobal<DynamicObjectGroundTruthOutput>},
};

const SensorKindRow& sensorKind(const std::string& kind, bool global) {
  const auto row = std::find_if(std::begin(kSensorKinds), std::end(kSensorKinds),
                                [&](const SensorKindRow& r) { return kind == r.name; });
  if (row == std::end(kSensorKinds)) throw py::value_error("not a sensor kind: " + kind);
  if (row->global != global) {
    throw py::type_error(global ? kind + " is registered with a car id and a sensor id"
                                : kind + " is registered with a sensor id only");
  }
  return *row;
}

}  // namespace

std::vector<const void*> EnvelopeCache::fingerprintOf(const EngineToClientMessage& envelope) const {
  const auto& outputs = envelope.registerreport().sensorsoutput();
  std::vector<const void*> fingerprint{
      &envelope, reinterpret_cast<const void*>(uintptr_t{envelope.framenumber()}),
      reinterpret_cast<const void*>(static_cast<uintptr_t>(outputs.size()))};
  float time = envelope.simulationtimeinsec();
  uint32_t timeBits = 0;
  std::memcpy(&timeBits, &time, sizeof timeBits);
  fingerprint.push_back(reinterpret_cast<const void*>(uintptr_t{timeBits}));
  for (const SensorOutput& output : outputs) fingerprint.push_back(&output);
  return fingerprint;
}

py::object EnvelopeCache::envelopeFor(const EngineToClientMessage& envelope, int outputIndex) {
  std::vector<const void*> fingerprint = fingerprintOf(envelope);
  const bool sameEntry = m_Envelope && outputIndex > m_LastIndex && fingerprint == m_Fingerprint;
  if (!sameEntry) {
    m_Envelope = toPython(envelope);
    m_Fingerprint = std::move(fingerprint);
  }
  m_LastIndex = outputIndex;
  return m_Envelope;
}

void EnvelopeCache::clear() {
  m_Envelope = py::object();
  m_Fingerprint.clear();
  m_LastIndex = -1;
}

int registerCarSensor(SimHandle& handle, const std::string& kind, unsigned int carId,
                      unsigned int sensorId, py::object sensor) {
  return sensorKind(kind, false).registerSensor(handle, carId, sensorId, std::move(sensor));
}

int registerGlobalSensor(SimHandle& handle, const std::string& kind, unsigned int sensorId,
                         py::object sensor) {
  return sensorKind(kind, true).registerSensor(handle, 0, sensorId, std::move(sensor));
}

LoadingState* newLoadingState(py::object callback) {
  return new PythonLoadingState(std::move(callback));
}

void bindPayload(py::module_& module) {
  py::class_<Payload>(module, "Payload",
                      "The base of a sensor payload array: the proxy's bytes it views. Valid only "
                      "during the sensor callback.")
      .def_readonly("address", &Payload::address)
      .def_readonly("size", &Payload::size);
}

}  // namespace vantrel_python
