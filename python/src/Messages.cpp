#include "Messages.h"

#include <google/protobuf/descriptor.h>

#include <string>

namespace vantrel_python {

namespace {

// "EngineToClientMessage.proto" -> "vantrel._proto.EngineToClientMessage_pb2"
std::string pythonModuleOf(const google::protobuf::FileDescriptor* file) {
  std::string name = file->name();
  const std::string suffix = ".proto";
  if (name.size() > suffix.size() &&
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
    name.erase(name.size() - suffix.size());
  }
  return "vantrel._proto." + name + "_pb2";
}

}  // namespace

py::object pythonClass(const google::protobuf::Descriptor* descriptor) {
  // Nested messages are attributes of their containing class.
  if (descriptor->containing_type() != nullptr) {
    return pythonClass(descriptor->containing_type()).attr(descriptor->name().c_str());
  }
  return py::module_::import(pythonModuleOf(descriptor->file()).c_str())
      .attr(descriptor->name().c_str());
}

py::object toPython(const google::protobuf::Message& message) {
  // Encoded straight into a Python bytes object, sparing one copy of large payloads.
  const size_t size = message.ByteSizeLong();
  py::object encoded = py::reinterpret_steal<py::object>(
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!encoded) throw py::error_already_set();
  if (!message.SerializeToArray(PyBytes_AS_STRING(encoded.ptr()), static_cast<int>(size))) {
    throw std::runtime_error("cannot encode " + message.GetTypeName());
  }
  return pythonClass(message.GetDescriptor()).attr("FromString")(encoded);
}

void fromPython(py::handle object, google::protobuf::Message& message) {
  const py::object expected = pythonClass(message.GetDescriptor());
  if (!py::isinstance(object, expected)) {
    throw py::type_error("expected a vantrel." + message.GetDescriptor()->name() + ", got " +
                         py::str(py::type::handle_of(object).attr("__name__")).cast<std::string>());
  }
  const py::bytes encoded = object.attr("SerializeToString")();
  char* data = nullptr;
  Py_ssize_t size = 0;
  PyBytes_AsStringAndSize(encoded.ptr(), &data, &size);
  if (!message.ParseFromArray(data, static_cast<int>(size))) {
    throw py::value_error("cannot decode " + message.GetTypeName());
  }
}

}  // namespace vantrel_python
