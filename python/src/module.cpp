// _vantrel: the proxy and the sensor interface for Python. The package vantrel wraps it.
#include <pybind11/pybind11.h>

#include "Binding.h"

PYBIND11_MODULE(_vantrel, module) {
  module.doc() = "Binding of the Vantrel simulation proxy; use the package vantrel.";
  vantrel_python::bindPayload(module);
  vantrel_python::bindSim(module);
}
