// vantrel.Sim: every public operation of VantrelSim in Python's style. Out-parameters become
// return values, failure codes become vantrel.VantrelError, and the GIL is released while the
// proxy works, so that other Python threads (a test engine's responder among them) run meanwhile;
// the objects that call back into Python take the GIL again for the call.
#include <pybind11/stl.h>

#include <utility>

#include "Binding.h"
#include "Messages.h"

namespace vantrel_python {

namespace {

using namespace Vantrel::SDK;

// Runs `operation` on the proxy without the GIL and returns its result.
template <typename Operation>
auto released(Operation&& operation) {
  py::gil_scoped_release released;
  return operation();
}

// Runs an operation that returns a result code and raises for a failure.
template <typename Operation>
void checked(const char* name, Operation&& operation) {
  raiseOnFailure(released(std::forward<Operation>(operation)), name);
}

template <typename T>
py::list toPythonList(const std::vector<T>& messages) {
  py::list list;
  for (const T& message : messages) list.append(toPython(message));
  return list;
}

std::string kindName(py::handle kind) {
  if (py::isinstance<py::str>(kind)) return kind.cast<std::string>();
  if (py::hasattr(kind, "DESCRIPTOR"))
    return kind.attr("DESCRIPTOR").attr("name").cast<std::string>();
  throw py::type_error(
      "a sensor kind is an output message class, such as vantrel.GPSOutput, or its name");
}

bool isRunning(SimHandle& handle) {
  bool running = false;
  handle.sim.isRunning(running);
  return running;
}

// setSensorParam takes over the parameters unless it refuses because the simulation runs.
template <typename T>
int setCarSensorParam(SimHandle& handle, unsigned int carId, unsigned int sensorId,
                      py::handle parameters) {
  std::unique_ptr<T> owned = newFromPython<T>(parameters);
  const bool refused = isRunning(handle);
  const int result =
      released([&] { return handle.sim.setSensorParam<T>(carId, sensorId, owned.get()); });
  if (!refused) owned.release();
  return result;
}

int setSensorParam(SimHandle& handle, unsigned int carId, unsigned int sensorId,
                   py::handle parameters) {
  if (py::isinstance(parameters, pythonClass(RGBCameraModifiable::descriptor()))) {
    return setCarSensorParam<RGBCameraModifiable>(handle, carId, sensorId, parameters);
  }
  if (py::isinstance(parameters, pythonClass(LidarModifiable::descriptor()))) {
    return setCarSensorParam<LidarModifiable>(handle, carId, sensorId, parameters);
  }
  throw py::type_error(
      "set_sensor_param(car_id, sensor_id, parameters) takes a "
      "vantrel.RGBCameraModifiable or a vantrel.LidarModifiable");
}

int setGlobalSensorParam(SimHandle& handle, unsigned int sensorId, py::handle parameters) {
  std::unique_ptr<DOGTModifiable> owned = newFromPython<DOGTModifiable>(parameters);
  const bool refused = isRunning(handle);
  const int result = released([&] { return handle.sim.setSensorParam(sensorId, owned.get()); });
  if (!refused) owned.release();
  return result;
}

// carControlCmd takes over the command only when it goes on to send it: not while the simulation
// is not running, nor when it refuses an acceleration.
int carControlCmd(SimHandle& handle, py::handle command) {
  std::unique_ptr<CarCommand> owned = newFromPython<CarCommand>(command);
  const bool running = isRunning(handle);
  const int result = released([&] { return handle.sim.carControlCmd(owned.get()); });
  if (running && result != VANTREL_ERR_NOT_IMPLEMENTED) owned.release();
  return result;
}

}  // namespace

void raiseOnFailure(int code, const char* operation) {
  if (code == VANTREL_ERR_OK) return;
  const py::object error = py::module_::import("vantrel").attr("VantrelError")(code, operation);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

void bindSim(py::module_& module) {
  py::class_<SimHandle>(module, "Sim", "One simulation proxy: one connection to one engine.")
      .def(py::init<>())
      // ---- Connection and versions
      .def(
          "connect_to_engine",
          [](SimHandle& h, py::object connection) {
            if (connection.is_none()) {
              checked("connect_to_engine", [&] { return h.sim.connectToEngine(); });
            } else {
              const std::string text = connection.cast<std::string>();
              checked("connect_to_engine", [&] { return h.sim.connectToEngine(text); });
            }
          },
          py::arg("connection") = py::none(),
          "Connects to \"host port\" (default \"127.0.0.1 8052\"); sends nothing.")
      .def("disconnect_from_engine",
           [](SimHandle& h) {
             checked("disconnect_from_engine", [&] { return h.sim.disconnectFromEngine(); });
           })
      .def(
          "set_version_command",
          [](SimHandle& h, py::handle version) {
            VersionCommand* owned = newFromPython<VersionCommand>(version).release();
            checked("set_version_command", [&] { return h.sim.setVersionCommand(owned); });
          },
          py::arg("version"))
      .def("get_sdk_version", [](SimHandle& h) { return h.sim.getSDKVersion(); })
      .def("ge_studio_version",
           [](SimHandle& h) {
             std::string version;
             checked("ge_studio_version", [&] { return h.sim.geStudioVersion(version); });
             return version;
           })
      .def("get_id", [](SimHandle& h) { return h.sim.getId(); })
      .def("last_error", [](SimHandle& h) { return h.sim.lastError(); })
      .def(
          "check_message_error",
          [](SimHandle& h, py::handle message) {
            std::unique_ptr<EngineToClientMessage> decoded =
                newFromPython<EngineToClientMessage>(message);
            return h.sim.checkMessageError(*decoded);
          },
          py::arg("message"), "The acknowledgement's code (recorded as the last error), else 0.")
      // ---- Simulation control and frame loop
      .def(
          "start",
          [](SimHandle& h, int method) {
            checked("start", [&] { return h.sim.start(static_cast<runMethod>(method)); });
          },
          py::arg("method"))
      .def(
          "stop",
          [](SimHandle& h, int reasonId, const std::string& reasonText) {
            checked("stop", [&] { return h.sim.stop(reasonId, reasonText); });
          },
          py::arg("reason_id") = 0, py::arg("reason_text") = "")
      .def("is_running", [](SimHandle& h) { return isRunning(h); })
      .def("is_loading_scene",
           [](SimHandle& h) {
             bool loading = false;
             checked("is_loading_scene", [&] { return h.sim.isLoadingScene(loading); });
             return loading;
           })
      .def(
          "register_loading_state_callback",
          [](SimHandle& h, py::object callback) {
            h.sim.registerLoadingStateCallback(*newLoadingState(std::move(callback)));
          },
          py::arg("callback"))
      .def(
          "set_configuration",
          [](SimHandle& h, py::handle configuration) {
            ConfigurationCommand* owned =
                newFromPython<ConfigurationCommand>(configuration).release();
            checked("set_configuration", [&] { return h.sim.setConfiguration(owned); });
          },
          py::arg("configuration"))
      .def(
          "log",
          [](SimHandle& h, int level, const std::string& text) {
            checked("log", [&] { return h.sim.log(level, text); });
          },
          py::arg("level"), py::arg("text"))
      .def(
          "advance_frames",
          [](SimHandle& h, float timeout) {
            checked("advance_frames",
                    [&] { return h.sim.advanceFramesAndBlockForMessages(timeout); });
          },
          py::arg("timeout"))
      .def("get_curr_frame",
           [](SimHandle& h) {
             unsigned int frame = 0;
             h.sim.getCurrFrame(frame);
             return frame;
           })
      .def("get_curr_simulation_time",
           [](SimHandle& h) {
             float time = 0;
             h.sim.getCurrSimulationTime(time);
             return time;
           })
      // ---- Queries
      .def("get_engine_version",
           [](SimHandle& h) {
             std::string version;
             checked("get_engine_version", [&] { return h.sim.getEngineVersion(version); });
             return version;
           })
      .def("get_terrain",
           [](SimHandle& h) {
             std::string terrain;
             checked("get_terrain", [&] { return h.sim.getTerrain(terrain); });
             return terrain;
           })
      .def("get_number_of_cars",
           [](SimHandle& h) {
             unsigned int count = 0;
             checked("get_number_of_cars", [&] { return h.sim.getNumberOfCars(count); });
             return count;
           })
      .def(
          "get_car_info",
          [](SimHandle& h, unsigned int index) {
            CarQueryReport car;
            checked("get_car_info", [&] { return h.sim.getCarInfo(index, car); });
            return toPython(car);
          },
          py::arg("index"))
      .def("get_cars_info",
           [](SimHandle& h) {
             std::vector<CarQueryReport> cars;
             checked("get_cars_info", [&] { return h.sim.getCarsInfo(cars); });
             return toPythonList(cars);
           })
      .def("get_moving_object_info",
           [](SimHandle& h) {
             std::vector<MovingObjectQueryReport> objects;
             checked("get_moving_object_info", [&] { return h.sim.getMovingObjectInfo(objects); });
             return toPythonList(objects);
           })
      .def("get_number_sensors",
           [](SimHandle& h) {
             unsigned int count = 0;
             checked("get_number_sensors", [&] { return h.sim.getNumberSensors(count); });
             return count;
           })
      .def(
          "get_sensor_info",
          [](SimHandle& h, unsigned int index) {
            SensorQueryReport sensor;
            checked("get_sensor_info", [&] { return h.sim.getSensorInfo(index, sensor); });
            return toPython(sensor);
          },
          py::arg("index"))
      .def("get_global_sensors",
           [](SimHandle& h) {
             std::vector<GlobalSensorQueryReport> sensors;
             checked("get_global_sensors", [&] { return h.sim.getGlobalSensors(sensors); });
             return toPythonList(sensors);
           })
      .def("get_sensors_info",
           [](SimHandle& h) {
             std::vector<SensorQueryReport> sensors;
             checked("get_sensors_info", [&] { return h.sim.getSensorsInfo(sensors); });
             return toPythonList(sensors);
           })
      // ---- Car commands: returning normally while the simulation does not run, as in C++
      .def(
          "car_control_cmd",
          [](SimHandle& h, py::handle command) {
            raiseOnFailure(carControlCmd(h, command), "car_control_cmd");
          },
          py::arg("command"))
      .def(
          "send_car_control_gas_cmd",
          [](SimHandle& h, unsigned int carId, float value) {
            checked("send_car_control_gas_cmd",
                    [&] { return h.sim.sendCarControlGasCmd(carId, value); });
          },
          py::arg("car_id"), py::arg("value"))
      .def(
          "send_car_control_steering_cmd",
          [](SimHandle& h, unsigned int carId, float value) {
            checked("send_car_control_steering_cmd",
                    [&] { return h.sim.sendCarControlSteeringCmd(carId, value); });
          },
          py::arg("car_id"), py::arg("value"))
      .def(
          "send_car_control_brakes_cmd",
          [](SimHandle& h, unsigned int carId, float value) {
            checked("send_car_control_brakes_cmd",
                    [&] { return h.sim.sendCarControlBrakesCmd(carId, value); });
          },
          py::arg("car_id"), py::arg("value"))
      .def(
          "send_car_control_acceleration_cmd",
          [](SimHandle& h, unsigned int carId, float value) {
            checked("send_car_control_acceleration_cmd",
                    [&] { return h.sim.sendCarControlAccelerationCmd(carId, value); });
          },
          py::arg("car_id"), py::arg("value"))
      .def(
          "send_ai_drive_car_cmd",
          [](SimHandle& h, unsigned int carId) {
            checked("send_ai_drive_car_cmd", [&] { return h.sim.sendAiDriveCarCmd(carId); });
          },
          py::arg("car_id"))
      .def(
          "inner_send_car_command",
          [](SimHandle& h, py::handle command) {
            CarCommand* owned = newFromPython<CarCommand>(command).release();
            checked("inner_send_car_command", [&] { return h.sim.innerSendCarCommand(owned); });
          },
          py::arg("command"))
      // ---- Sensors
      .def(
          "register_sensor",
          [](SimHandle& h, py::handle kind, unsigned int carId, unsigned int sensorId,
             py::object sensor) {
            raiseOnFailure(registerCarSensor(h, kindName(kind), carId, sensorId, std::move(sensor)),
                           "register_sensor");
          },
          py::arg("kind"), py::arg("car_id"), py::arg("sensor_id"), py::arg("sensor"))
      .def(
          "register_sensor",
          [](SimHandle& h, py::handle kind, unsigned int sensorId, py::object sensor) {
            raiseOnFailure(registerGlobalSensor(h, kindName(kind), sensorId, std::move(sensor)),
                           "register_sensor");
          },
          py::arg("kind"), py::arg("sensor_id"), py::arg("sensor"))
      .def(
          "send_register_sensor",
          [](SimHandle& h, unsigned int carId, unsigned int sensorId) {
            checked("send_register_sensor",
                    [&] { return h.sim.sendRegisterSensor(carId, sensorId); });
          },
          py::arg("car_id"), py::arg("sensor_id"))
      .def(
          "send_register_global_sensor",
          [](SimHandle& h, unsigned int sensorId) {
            checked("send_register_global_sensor",
                    [&] { return h.sim.sendRegisterGlobalSensor(sensorId); });
          },
          py::arg("sensor_id"))
      .def("dispatch_messages",
           [](SimHandle& h) {
             h.envelopes.clear();
             try {
               checked("dispatch_messages",
                       [&] { return static_cast<int>(h.sim.dispatchMessages()); });
             } catch (...) {
               h.envelopes.clear();
               throw;
             }
             h.envelopes.clear();
           })
      .def(
          "set_sensor_param",
          [](SimHandle& h, unsigned int carId, unsigned int sensorId, py::handle parameters) {
            raiseOnFailure(setSensorParam(h, carId, sensorId, parameters), "set_sensor_param");
          },
          py::arg("car_id"), py::arg("sensor_id"), py::arg("parameters"))
      .def(
          "set_sensor_param",
          [](SimHandle& h, unsigned int sensorId, py::handle parameters) {
            raiseOnFailure(setGlobalSensorParam(h, sensorId, parameters), "set_sensor_param");
          },
          py::arg("sensor_id"), py::arg("parameters"))
      // ---- Message exchange
      .def(
          "send_message",
          [](SimHandle& h, py::handle message) {
            std::unique_ptr<ClientToEngineMessage> decoded =
                newFromPython<ClientToEngineMessage>(message);
            checked("send_message", [&] { return h.sim.sendMessage(*decoded); });
          },
          py::arg("message"))
      .def(
          "receive_message_cb",
          [](SimHandle& h, py::bytes payload) {
            std::string bytes = payload;
            VantrelErr status = VANTREL_ERR_OK;
            released([&] {
              h.sim.receiveMessageCB(reinterpret_cast<unsigned char*>(&bytes[0]),
                                     static_cast<long>(bytes.size()), status);
              return 0;
            });
            raiseOnFailure(status, "receive_message_cb");
          },
          py::arg("payload"), "Decodes one wire frame's payload and files the message.")
      .def(
          "wait_for_error_message",
          [](SimHandle& h, float timeout) {
            checked("wait_for_error_message", [&] { return h.sim.waitForErrorMessage(timeout); });
          },
          py::arg("timeout"))
      .def(
          "wait_for_query_message",
          [](SimHandle& h, float timeout) {
            checked("wait_for_query_message", [&] { return h.sim.waitForQueryMessage(timeout); });
          },
          py::arg("timeout"));
}

}  // namespace vantrel_python
