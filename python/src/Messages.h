// Messages cross between C++ and Python as the classes that protoc generates for each language from
// the same schema files: encoded on one side, decoded on the other.
#ifndef VANTREL_PYTHON_MESSAGES_H
#define VANTREL_PYTHON_MESSAGES_H

#include <google/protobuf/message.h>
#include <pybind11/pybind11.h>

#include <memory>

namespace vantrel_python {

namespace py = pybind11;

// The Python class generated for `descriptor`, from the package's _proto subpackage.
py::object pythonClass(const google::protobuf::Descriptor* descriptor);

// A Python message equal to `message`.
py::object toPython(const google::protobuf::Message& message);

// Fills `message` from `object`, which must be an instance of the Python class of the same message
// type; anything else raises TypeError.
void fromPython(py::handle object, google::protobuf::Message& message);

template <typename T>
std::unique_ptr<T> newFromPython(py::handle object) {
  auto message = std::make_unique<T>();
  fromPython(object, *message);
  return message;
}

// A Python object that must be released with the GIL held, whichever thread drops the last
// reference (the test engine's thread, or a destructor running while the GIL is released).
class PythonReference {
 public:
  explicit PythonReference(py::object object) : m_Object(std::move(object)) {}
  ~PythonReference() {
    py::gil_scoped_acquire gil;
    m_Object = py::object();
  }
  PythonReference(const PythonReference&) = delete;
  PythonReference& operator=(const PythonReference&) = delete;
  const py::object& get() const { return m_Object; }

 private:
  py::object m_Object;
};

}  // namespace vantrel_python

#endif
