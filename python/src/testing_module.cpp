// _testing: the scriptable test engine for tests written in Python. Its thread calls Python
// responders with the GIL taken; every call from Python releases the GIL, since the engine's thread
// may be waiting for it while it holds the engine's lock.
#include <pybind11/chrono.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <memory>
#include <stdexcept>

#include "Messages.h"
#include "TestEngine.h"
#include "VantrelSim.h"

namespace {

namespace py = pybind11;
using namespace vantrel_python;
using Vantrel::SDK::ClientToEngineMessage;
using Vantrel::SDK::EngineToClientMessage;
using Vantrel::Testing::ClientFrame;
using Vantrel::Testing::TestEngine;

// The engine joins its thread when destroyed; that thread may need the GIL to finish a responder.
struct ReleasingDelete {
  void operator()(TestEngine* engine) const {
    py::gil_scoped_release released;
    delete engine;
  }
};

std::vector<EngineToClientMessage> engineMessages(py::handle messages) {
  std::vector<EngineToClientMessage> decoded;
  for (py::handle message : messages) {
    decoded.emplace_back();
    fromPython(message, decoded.back());
  }
  return decoded;
}

TestEngine::Responder pythonResponder(py::object callable) {
  auto target = std::make_shared<PythonReference>(std::move(callable));
  return [target](const ClientToEngineMessage& message) {
    py::gil_scoped_acquire gil;
    try {
      return engineMessages(target->get()(toPython(message)));
    } catch (py::error_already_set& error) {
      // Nobody on this thread could catch it: report it as unraisable and answer nothing.
      error.discard_as_unraisable("vantrel.testing.TestEngine responder");
      return std::vector<EngineToClientMessage>{};
    }
  };
}

py::object frameToPython(const ClientFrame& frame) {
  py::dict fields;
  fields["raw"] = py::bytes(frame.raw);
  fields["payload"] = py::bytes(frame.payload);
  fields["decoded"] = frame.decoded;
  fields["message"] = frame.decoded ? toPython(frame.message) : py::none();
  return py::module_::import("types").attr("SimpleNamespace")(**fields);
}

// A camera sensor that touches its payload, as a client would.
class CameraTouch : public Vantrel::SDK::Sensor<Vantrel::SDK::RGBCameraOutput> {
 public:
  void onSensorOutput(const EngineToClientMessage&, const Vantrel::SDK::SensorOutput&,
                      const Vantrel::SDK::RGBCameraOutput& camera) override {
    if (!camera.pixels().empty()) checksum += static_cast<unsigned char>(camera.pixels()[0]);
  }
  unsigned long checksum = 0;
};

// The frame loop in C++ alone, the reference for the same loop driven from Python: registers a
// camera, starts, then advances and dispatches `frames` times. Returns the seconds of the loop.
double cxxFrameLoop(const std::string& connection, unsigned int cameraId, unsigned int frames) {
  Vantrel::SDK::VantrelSim sim;
  CameraTouch camera;
  const auto fail = [](const char* operation, int code) {
    throw std::runtime_error(std::string(operation) + " failed with " + std::to_string(code));
  };
  if (int code = sim.connectToEngine(connection)) fail("connectToEngine", code);
  if (int code = sim.registerSensor(0, cameraId, camera)) fail("registerSensor", code);
  if (int code = sim.start(Vantrel::SDK::Blocking)) fail("start", code);
  const auto begin = std::chrono::steady_clock::now();
  for (unsigned int frame = 0; frame < frames; ++frame) {
    if (int code = sim.advanceFramesAndBlockForMessages(10.0f))
      fail("advanceFramesAndBlockForMessages", code);
    sim.dispatchMessages();
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - begin;
  sim.disconnectFromEngine();
  return elapsed.count();
}

}  // namespace

PYBIND11_MODULE(_testing, module) {
  module.doc() = "The scriptable test engine; use vantrel.testing.";
  module.def(
      "cxx_frame_loop",
      [](const std::string& connection, unsigned int cameraId, unsigned int frames) {
        py::gil_scoped_release released;
        return cxxFrameLoop(connection, cameraId, frames);
      },
      py::arg("connection"), py::arg("camera_id"), py::arg("frames"),
      "Seconds that the C++ frame loop takes for `frames` camera frames (the reference of "
      "bench_loop.py).");
  py::class_<TestEngine, std::unique_ptr<TestEngine, ReleasingDelete>>(module, "TestEngine")
      .def(py::init<>())
      .def_property_readonly("host", &TestEngine::host)
      .def_property_readonly("port", &TestEngine::port)
      .def("connection_string", &TestEngine::connectionString)
      .def(
          "send",
          [](TestEngine& engine, py::handle message) -> TestEngine& {
            EngineToClientMessage decoded;
            fromPython(message, decoded);
            py::gil_scoped_release released;
            return engine.send(decoded);
          },
          py::return_value_policy::reference_internal, py::arg("message"))
      .def(
          "send_together",
          [](TestEngine& engine, py::handle messages) -> TestEngine& {
            std::vector<EngineToClientMessage> decoded = engineMessages(messages);
            py::gil_scoped_release released;
            return engine.sendTogether(decoded);
          },
          py::return_value_policy::reference_internal, py::arg("messages"))
      .def(
          "send_raw",
          [](TestEngine& engine, py::bytes bytes) -> TestEngine& {
            std::string raw = bytes;
            py::gil_scoped_release released;
            return engine.sendRaw(raw);
          },
          py::return_value_policy::reference_internal, py::arg("bytes"))
      .def(
          "pause",
          [](TestEngine& engine, int milliseconds) -> TestEngine& {
            py::gil_scoped_release released;
            return engine.pause(std::chrono::milliseconds(milliseconds));
          },
          py::return_value_policy::reference_internal, py::arg("milliseconds"))
      .def(
          "await_frames",
          [](TestEngine& engine, size_t total) -> TestEngine& {
            py::gil_scoped_release released;
            return engine.awaitFrames(total);
          },
          py::return_value_policy::reference_internal, py::arg("total"))
      .def(
          "close_connection",
          [](TestEngine& engine) -> TestEngine& {
            py::gil_scoped_release released;
            return engine.closeConnection();
          },
          py::return_value_policy::reference_internal)
      .def(
          "accept_next",
          [](TestEngine& engine) -> TestEngine& {
            py::gil_scoped_release released;
            return engine.acceptNext();
          },
          py::return_value_policy::reference_internal)
      .def(
          "respond_with",
          [](TestEngine& engine, py::object responder) {
            TestEngine::Responder wrapped = pythonResponder(std::move(responder));
            py::gil_scoped_release released;
            engine.respondWith(std::move(wrapped));
          },
          py::arg("responder"),
          "responder(ClientToEngineMessage) -> list of EngineToClientMessage, sent together; "
          "called on the engine's thread for every client frame.")
      .def(
          "acknowledge_commands",
          [](TestEngine& engine, int errorCode) {
            py::gil_scoped_release released;
            engine.acknowledgeCommands(errorCode);
          },
          py::arg("error_code") = 0)
      .def("frames",
           [](TestEngine& engine) {
             std::vector<ClientFrame> frames;
             {
               py::gil_scoped_release released;
               frames = engine.frames();
             }
             py::list list;
             for (const ClientFrame& frame : frames) list.append(frameToPython(frame));
             return list;
           })
      .def("frame_count",
           [](TestEngine& engine) {
             py::gil_scoped_release released;
             return engine.frameCount();
           })
      .def(
          "wait_for_frames",
          [](TestEngine& engine, size_t total, double seconds) {
            py::gil_scoped_release released;
            return engine.waitForFrames(
                total, std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
          },
          py::arg("total"), py::arg("timeout") = 5.0)
      .def(
          "wait_for_script",
          [](TestEngine& engine, double seconds) {
            py::gil_scoped_release released;
            return engine.waitForScript(
                std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
          },
          py::arg("timeout") = 5.0)
      .def("client_connected", [](TestEngine& engine) {
        py::gil_scoped_release released;
        return engine.clientConnected();
      });
}
