// The pieces of the _vantrel module: the proxy's wrapper, the sensor and loading-state objects that
// call into Python, and the translation of failure codes into exceptions.
#ifndef VANTREL_PYTHON_BINDING_H
#define VANTREL_PYTHON_BINDING_H

#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <vector>

#include "VantrelSim.h"

namespace vantrel_python {

namespace py = pybind11;

// Something the proxy points to that calls into Python; kept alive by the wrapper below.
class PythonCallback {
 public:
  virtual ~PythonCallback() = default;
};

// The Python envelope of the entry being dispatched, decoded once for all the outputs of the entry
// that go to Python objects. An entry is told from the next by its address and its outputs'
// addresses, frame stamp and count, and by the outputs of one entry being delivered in their order;
// the wrapper empties the cache before and after every dispatch.
class EnvelopeCache {
 public:
  py::object envelopeFor(const Vantrel::SDK::EngineToClientMessage& envelope, int outputIndex);
  void clear();

 private:
  std::vector<const void*> fingerprintOf(const Vantrel::SDK::EngineToClientMessage& envelope) const;

  std::vector<const void*> m_Fingerprint;
  int m_LastIndex = -1;
  py::object m_Envelope;
};

// One proxy with the Python objects registered with it. The proxy keeps only the addresses of the
// sensor objects, so the wrapper keeps each one until it is destroyed itself, including those
// replaced by a later registration (one may be running when it is replaced).
struct SimHandle {
  Vantrel::SDK::VantrelSim sim;
  EnvelopeCache envelopes;
  std::vector<std::unique_ptr<PythonCallback>> sensors;
};

// Raises vantrel.VantrelError for any code but 0.
void raiseOnFailure(int code, const char* operation);

// Registers `sensor` for the output kind named `kind` ("GPSOutput", ...); returns the proxy's code.
int registerCarSensor(SimHandle& handle, const std::string& kind, unsigned int carId,
                      unsigned int sensorId, py::object sensor);
int registerGlobalSensor(SimHandle& handle, const std::string& kind, unsigned int sensorId,
                         py::object sensor);
// The loading-state object for the proxy, which owns it from then on.
Vantrel::SDK::LoadingState* newLoadingState(py::object callback);

void bindSim(py::module_& module);
void bindPayload(py::module_& module);

}  // namespace vantrel_python

#endif
