// The simulation proxy: the one object through which a client drives one engine over one TCP
// connection. Every operation returns a VantrelErr (0 on success, negative on failure); network and
// protocol failures are result codes, never exceptions, and the proxy stays usable after each.
// The proxy starts no thread: it reads from the engine only inside its blocking operations.
#ifndef VANTREL_SIM_H
#define VANTREL_SIM_H

#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "ClientToEngineMessage.pb.h"
#include "EngineToClientMessage.pb.h"
#include "ErrorCodes.pb.h"
#include "LoadingState.h"
#include "Sensor.h"
#include "VantrelExport.h"
#include "VantrelSocket.h"

namespace Vantrel {
namespace SDK {

/// How the engine is asked to run the simulation; any value but 0 counts as Blocking. The fixed
/// underlying type makes every int a valid runMethod, so such values are well defined.
enum runMethod : int { NonBlocking = 0, Blocking = 1 };

namespace detail {
// The sensor kinds: which output types can be registered, and how. Specialised after VantrelSim.
template <typename T>
struct SensorKind {
  static constexpr bool isCarSensor = false;
  static constexpr bool isGlobalSensor = false;
};
// The sensor parameter messages that setSensorParam accepts.
template <typename T>
struct SensorParameters {
  static constexpr bool isCarSensor = false;
  static constexpr bool isGlobalSensor = false;
};
}  // namespace detail

/// The simulation proxy: one client's connection to one engine.
///
/// Every operation returns a VantrelErr as an int: 0 (VANTREL_ERR_OK) on success, a negative code
/// on failure. Codes the library produces itself: -101, -102, -103, -1000, -1002, -1003, -3000;
/// every other code is the engine's, returned as its acknowledgement carried it. Operations that
/// wait read from the engine only during that wait, on the caller's thread: a proxy must not be
/// used from two threads at once, but proxies are independent of each other.
///
/// Received messages are filed into four lists (query replies, sensor data, acknowledgements,
/// loading states). Each consumer takes the newest entry first; nothing empties a list as a whole.
class VANTREL_API VantrelSim {
 public:
  /// An unconnected proxy; no network activity.
  VantrelSim();
  /// Stops a running simulation with reason 0 and the text "Disconnect requested", closes the
  /// connection and deletes the registered LoadingState.
  virtual ~VantrelSim();
  /// Not copyable or movable: the socket's callback is bound to this object's address.
  VantrelSim(const VantrelSim&) = delete;
  VantrelSim& operator=(const VantrelSim&) = delete;

  /// @name Connection and versions
  /// @{

  /// Connects to host 127.0.0.1, port 8052. Sends nothing.
  /// @return 0, or VANTREL_ERR_CONNECTION_FAILED when the host cannot be resolved or reached.
  int connectToEngine();
  /// Connects to `connection`, written as host, one blank, port: the host ends at the first blank
  /// and the port (a number or a service name) is everything after it. An open connection is
  /// closed first. Sends nothing.
  /// @return 0, or VANTREL_ERR_CONNECTION_FAILED (a string without a blank also writes "invalid
  /// connection string", without a line end, to standard error).
  int connectToEngine(const std::string& connection);
  /// Stops a running simulation (see stop(), reason 0, "Disconnect requested"), then closes the
  /// connection. A proxy that never connected returns 0.
  /// @return 0, or the failure of that stop, in which case the connection stays open.
  int disconnectFromEngine();
  /// Writes both version texts to standard error, sends them in a VersionCommand and waits up to
  /// 60 s for the engine's acknowledgement.
  /// @param version created with new; the proxy takes it over and frees it before returning.
  /// @return the acknowledgement's code; VANTREL_ERR_BAD_PARAMS for a null pointer (nothing is
  /// sent); or a failure of the send or of the wait (see waitForErrorMessage()).
  int setVersionCommand(VersionCommand* version);
  /// The library's version, "1.3.51".
  std::string getSDKVersion();
  /// Not implemented: empties `version`. @return VANTREL_ERR_NOT_IMPLEMENTED.
  int geStudioVersion(std::string& version);
  /// The proxy's id: always the empty string.
  std::string getId();
  /// The code of the last acknowledgement taken from the engine (0 before the first).
  int lastError();
  /// If `message` is an acknowledgement, records its code as lastError() and returns it;
  /// otherwise returns 0 and changes nothing.
  int checkMessageError(EngineToClientMessage& message);
  /// @}

  /// @name Simulation control and the frame loop
  /// @{

  /// Sends StartSimulation (isBlocking is true for every `method` but 0) and waits up to 60 s for
  /// the acknowledgement; with code 0 the simulation runs (isRunning() is true).
  /// @return the acknowledgement's code, or a failure of the send or of the wait.
  int start(runMethod method);
  /// If the simulation runs, sends StopSimulation with `reasonId` (as its unsigned 32-bit value)
  /// and `reasonText`, waits for nothing and marks the simulation stopped.
  /// @return 0 (also when it does not run: nothing is sent), or the send's failure, in which case
  /// the simulation still counts as running.
  int stop(int reasonId, const std::string& reasonText);
  /// `running` receives whether the simulation runs. @return 0.
  int isRunning(bool& running);
  /// Takes in the scene-loading progress. Once the loading is over it returns at once. Otherwise,
  /// if no loading state is queued, it waits once, up to 180 s, for the next read; then it hands
  /// every queued state, newest first, to the registered LoadingState. The state Done ends the
  /// loading. Call it until `loading` comes back false.
  /// @return 0 (`loading` written), or the wait's failure (`loading` not written), e.g.
  /// VANTREL_ERR_CONNECTION_TIMEOUT at once on an unconnected proxy.
  int isLoadingScene(bool& loading);
  /// Registers the object that receives the loading states. The proxy owns it from now on (create
  /// it with new and do not delete it); an object registered before is deleted.
  void registerLoadingStateCallback(LoadingState& callback);
  /// Sends the configuration (time stepping, teleporting, rendering) and waits up to 60 s for the
  /// acknowledgement. The engine judges the values.
  /// @param configuration created with new; the proxy takes it over and frees it before returning.
  /// @return the acknowledgement's code; VANTREL_ERR_BAD_PARAMS for a null pointer; or a failure
  /// of the send or of the wait.
  int setConfiguration(ConfigurationCommand* configuration);
  /// Sends one log line to the engine: `text` up to its first NUL, `level` as its unsigned 32-bit
  /// value. Sent in every state; waits for nothing. @return the send's result.
  int log(int level, const std::string& text);
  /// Sends NextFrame and waits once, up to `timeout` seconds, for the next read. The frame's
  /// sensor data stay queued for dispatchMessages().
  /// @return 0 when sensor data are queued; VANTREL_ERR_UNEXPECTED when the simulation does not
  /// run (nothing sent) or the read brought no sensor data; VANTREL_ERR_DISCONNECTED when the
  /// engine ended the simulation in that read; or a failure of the send or of the wait.
  int advanceFramesAndBlockForMessages(float timeout);
  /// `frame` receives the frame number of the last engine message received. @return 0.
  int getCurrFrame(unsigned int& frame) const;
  /// `time` receives the simulation time (seconds) of the last engine message received. @return 0.
  int getCurrSimulationTime(float& time) const;
  /// @}

  /// @name Queries about the scene, before the simulation runs
  /// Each sends one query and waits up to 60 s in all for a reply, taking the newest queued one.
  /// Other traffic arriving meanwhile is filed and does not end the wait. While the simulation
  /// runs every query is refused with VANTREL_ERR_UNEXPECTED; unconnected, it fails with
  /// VANTREL_ERR_CONNECTION_FAILED; without a reply in time, VANTREL_ERR_CONNECTION_TIMEOUT. The
  /// out-parameter is written only on success; vectors are appended to, strings replaced. A reply
  /// of another kind is dropped with a one-line diagnostic and a result that depends on the query
  /// (see each).
  /// @{

  /// The engine's version text. Reply of another kind: VANTREL_ERR_UNEXPECTED.
  int getEngineVersion(std::string& version);
  /// The terrain's type. Reply of another kind: VANTREL_ERR_NOT_IMPLEMENTED.
  int getTerrain(std::string& terrain);
  /// The number of cars. Reply of another kind: VANTREL_ERR_UNEXPECTED.
  int getNumberOfCars(unsigned int& count);
  /// A copy of the car at position `index` (0-based) of the reply; VANTREL_ERR_BAD_PARAMS when
  /// `index` is out of range. Each call asks the engine anew. Reply of another kind:
  /// VANTREL_ERR_UNEXPECTED.
  int getCarInfo(unsigned int index, CarQueryReport& car);
  /// Appends every car. Reply of another kind: 0, `cars` unchanged.
  int getCarsInfo(std::vector<CarQueryReport>& cars);
  /// Appends every moving object. Reply of another kind: 0, `objects` unchanged.
  int getMovingObjectInfo(std::vector<MovingObjectQueryReport>& objects);
  /// The number of sensors on car 0. Reply of another kind: 0 with `count` set to 0.
  int getNumberSensors(unsigned int& count);
  /// A copy of the sensor at position `index` (0-based) of car 0's list; VANTREL_ERR_BAD_PARAMS
  /// when out of range. Reply of another kind: VANTREL_ERR_UNEXPECTED.
  int getSensorInfo(unsigned int index, SensorQueryReport& sensor);
  /// Appends every global sensor. Reply of another kind: VANTREL_ERR_NOT_IMPLEMENTED.
  int getGlobalSensors(std::vector<GlobalSensorQueryReport>& sensors);
  /// Appends every sensor of car 0. Reply of another kind: VANTREL_ERR_NOT_IMPLEMENTED.
  int getSensorsInfo(std::vector<SensorQueryReport>& sensors);
  /// @}

  /// @name Car commands, while the simulation runs
  /// Each sends one CarCommand and waits for nothing. While the simulation does not run, each
  /// writes "Simulation not running" and returns 0 without sending: tell the two apart with
  /// isRunning(). A send failure is VANTREL_ERR_CONNECTION_FAILED.
  /// @{

  /// Sends the client's command unchanged. For a `drive` command it first warns (on standard
  /// error, without a line end) about steering outside [-1, 1] and gas or brake outside [0, 1],
  /// and refuses any acceleration other than 0 with VANTREL_ERR_NOT_IMPLEMENTED.
  /// @param command created with new. The proxy takes it over (and frees it before returning) only
  /// when it sends it; when it refuses, the object is left untouched and stays the client's. A
  /// null pointer while running: VANTREL_ERR_BAD_PARAMS.
  int carControlCmd(CarCommand* command);
  /// Sets car `carId`'s gas pedal to `value` (sent as given, unchecked).
  int sendCarControlGasCmd(unsigned int carId, float value);
  /// Sets car `carId`'s steering to `value` (sent as given, unchecked).
  int sendCarControlSteeringCmd(unsigned int carId, float value);
  /// Sets car `carId`'s brake pedal to `value` (sent as given, unchecked).
  int sendCarControlBrakesCmd(unsigned int carId, float value);
  /// Asks car `carId` for an acceleration of `value` (sent as given, unchecked).
  int sendCarControlAccelerationCmd(unsigned int carId, float value);
  /// Hands car `carId` over to the engine's AI driving.
  int sendAiDriveCarCmd(unsigned int carId);
  /// Sends `command` unchanged, unchecked.
  /// @param command created with new; the proxy takes it over in every case (freed unsent while
  /// the simulation does not run). A null pointer while running: VANTREL_ERR_BAD_PARAMS.
  int innerSendCarCommand(CarCommand* command);
  /// @}

  /// @name Sensors
  /// @{

  /// Registers `sensor` for the outputs of sensor `sensorId` of the kind T: sends a RegisterSensor
  /// command (the car id is not sent) and waits up to 60 s for the acknowledgement. Only the
  /// output types of a car's sensors compile (RGBCameraOutput, ROIOutput, GPSOutput, LidarOutput,
  /// E2COutput, LaneDetectorOutput, SemanticInstanceLabelingOutput, SemanticClassLabelingOutput,
  /// CarTelemetriesOutput, DepthCameraOutput, RadarOutput).
  /// @param sensor the client's object; the proxy keeps its address only, so it must stay alive
  /// as long as the proxy may deliver to it. A later registration of the same kind and id
  /// replaces it.
  /// @return 0 once acknowledged and recorded; otherwise the engine's code or a failure of the
  /// send or of the wait, and nothing is recorded.
  template <typename T>
  VantrelErr registerSensor(unsigned int carId, unsigned int sensorId, Sensor<T>& sensor);
  /// The same for the global dynamic-object ground-truth sensor (T is
  /// DynamicObjectGroundTruthOutput), registered by sensor id alone.
  template <typename T>
  VantrelErr registerSensor(unsigned int sensorId, Sensor<T>& sensor);
  /// Sends the registration of sensor `sensorId` and waits for nothing. @return the send's result.
  int sendRegisterSensor(unsigned int carId, unsigned int sensorId);
  /// Sends the registration of global sensor `sensorId` and waits for nothing.
  int sendRegisterGlobalSensor(unsigned int sensorId);
  /// Delivers the queued sensor data while the simulation runs: newest entry first, the outputs of
  /// one entry in their order, each to the object registered under its id in its kind's map (a
  /// one-line diagnostic for an output without one). The arguments of a callback stay valid for
  /// the call. Stops after the entry during which the simulation stopped. An exception thrown by
  /// a callback reaches the caller, and the entry stays queued to be delivered again whole.
  /// @return 0.
  VantrelErr dispatchMessages();
  /// Changes `record` and `fps` of an RGB camera (RGBCameraModifiable) or a lidar
  /// (LidarModifiable) before the simulation runs, and waits up to 60 s for the acknowledgement.
  /// @param parameters created with new; the proxy takes it over, except when it refuses because
  /// the simulation runs (VANTREL_ERR_UNEXPECTED, nothing sent). A null pointer sends a change
  /// with no parameters.
  /// @return the acknowledgement's code, or a failure of the send or of the wait.
  template <typename T>
  VantrelErr setSensorParam(unsigned int carId, unsigned int sensorId, T* parameters);
  /// The same for the global dynamic-object ground-truth sensor (DOGTModifiable).
  template <typename T>
  VantrelErr setSensorParam(unsigned int sensorId, T* parameters);
  /// @}

  /// @name Message exchange, on which every operation above is built
  /// @{

  /// Encodes `message` into one wire frame of at most 2048 bytes and sends it; waits for nothing.
  /// @return 0; VANTREL_ERR_UNEXPECTED for a query while the simulation runs (nothing sent);
  /// VANTREL_ERR_SEND_CMD_FAILED when it encodes to more than 2040 bytes; or the send's failure,
  /// VANTREL_ERR_CONNECTION_FAILED.
  int sendMessage(ClientToEngineMessage& message);
  /// The receive handler, called once per received wire frame: decodes the message, records its
  /// frame number and time, and files it into its list. `status` receives 0,
  /// VANTREL_ERR_UNEXPECTED for bytes that do not decode, or VANTREL_ERR_DISCONNECTED for the
  /// engine's end of simulation (which also clears the running and loading flags).
  void receiveMessageCB(unsigned char* data, long size, VantrelErr& status);
  /// Waits once, up to `timeout` seconds, for the next read, then takes the newest queued
  /// acknowledgement and records its code as lastError().
  /// @return its code; VANTREL_ERR_UNEXPECTED when none is queued after the read;
  /// VANTREL_ERR_CONNECTION_TIMEOUT, VANTREL_ERR_CONNECTION_FAILED or the status of the read's
  /// last frame when the wait fails.
  int waitForErrorMessage(float timeout);
  /// Waits until a query reply is queued, `timeout` seconds in all, however many reads it takes.
  /// The reply stays queued for the caller.
  /// @return 0; VANTREL_ERR_CONNECTION_TIMEOUT once the time is used up; or the wait's failure.
  int waitForQueryMessage(float timeout);
  /// @}

 private:
  template <typename T>
  friend struct detail::SensorKind;

  static constexpr float kAcknowledgementTimeout = 60.0f;
  static constexpr float kQueryTimeout = 60.0f;
  static constexpr float kLoadingTimeout = 180.0f;

  // The round trip shared by the ten queries; `row` is their entry in the query table, which with
  // this function's body lives in Queries.cpp (the only place that calls it).
  template <typename Row>
  int runQuery(const Row& row, typename Row::Answer answer);
  // A sent command's result: the send's failure, or else the engine's acknowledgement.
  int awaitAcknowledgement(int sendResult);
  int sendCommand(Command* command);
  int sendModifySensor(unsigned int sensorId, ModifySensor* modify);
  int sendModifyGlobalSensor(unsigned int sensorId, ModifySensor* modify);
  static ModifySensor* modifySensorWith(RGBCameraModifiable* parameters);
  static ModifySensor* modifySensorWith(LidarModifiable* parameters);
  static ModifySensor* modifySensorWith(DOGTModifiable* parameters);
  bool refuseSensorChangeWhileRunning();
  void deliverEntry(const EngineToClientMessage& entry);

  std::string m_Id;
  LoadingState* m_LoadingStateCallback;
  VantrelSocket m_Socket;
  std::vector<EngineToClientMessage> m_QueryList;
  std::vector<EngineToClientMessage> m_SensorDataList;
  std::vector<EngineToClientMessage> m_ErrorList;
  std::vector<LoadingStateReport> m_LoadingStateList;
  std::map<unsigned int, Sensor<GPSOutput>*> m_GPSSensors;
  std::map<unsigned int, Sensor<E2COutput>*> m_E2CSensors;
  std::map<unsigned int, Sensor<LaneDetectorOutput>*> m_LaneDetectorSensors;
  std::map<unsigned int, Sensor<LidarOutput>*> m_LidarSensors;
  std::map<unsigned int, Sensor<RGBCameraOutput>*> m_RGBCameraSensors;
  std::map<unsigned int, Sensor<ROIOutput>*> m_ROISensors;
  std::map<unsigned int, Sensor<RadarOutput>*> m_RadarSensors;
  std::map<unsigned int, Sensor<CarTelemetriesOutput>*> m_CarTelemetriesSensors;
  std::map<unsigned int, Sensor<SemanticInstanceLabelingOutput>*> m_SemanticInstanceLabelingSensors;
  std::map<unsigned int, Sensor<SemanticClassLabelingOutput>*> m_SemanticClassLabelingSensors;
  std::map<unsigned int, Sensor<DepthCameraOutput>*> m_DepthCameraSensors;
  std::map<unsigned int, Sensor<DynamicObjectGroundTruthOutput>*> m_DynamicObjectGroundTruthSensors;
  float m_CurrSimulationTime;
  unsigned int m_CurrFrame;
  VantrelErr m_LastError;
  bool m_IsLoadingScene;
  bool m_IsRunning;
};

namespace detail {
#define VANTREL_SENSOR_KIND(Output, mapMember, carSensor)                                \
  template <>                                                                          \
  struct SensorKind<Output> {                                                          \
    static constexpr bool isCarSensor = carSensor;                                     \
    static constexpr bool isGlobalSensor = !carSensor;                                 \
    static std::map<unsigned int, Sensor<Output>*>& sensors(VantrelSim& sim) {         \
      return sim.mapMember;                                                            \
    }                                                                                  \
  };
VANTREL_SENSOR_KIND(RGBCameraOutput, m_RGBCameraSensors, true)
VANTREL_SENSOR_KIND(ROIOutput, m_ROISensors, true)
VANTREL_SENSOR_KIND(GPSOutput, m_GPSSensors, true)
VANTREL_SENSOR_KIND(LidarOutput, m_LidarSensors, true)
VANTREL_SENSOR_KIND(E2COutput, m_E2CSensors, true)
VANTREL_SENSOR_KIND(LaneDetectorOutput, m_LaneDetectorSensors, true)
VANTREL_SENSOR_KIND(SemanticInstanceLabelingOutput, m_SemanticInstanceLabelingSensors, true)
VANTREL_SENSOR_KIND(SemanticClassLabelingOutput, m_SemanticClassLabelingSensors, true)
VANTREL_SENSOR_KIND(CarTelemetriesOutput, m_CarTelemetriesSensors, true)
VANTREL_SENSOR_KIND(DepthCameraOutput, m_DepthCameraSensors, true)
VANTREL_SENSOR_KIND(RadarOutput, m_RadarSensors, true)
VANTREL_SENSOR_KIND(DynamicObjectGroundTruthOutput, m_DynamicObjectGroundTruthSensors, false)
#undef VANTREL_SENSOR_KIND

template <>
struct SensorParameters<RGBCameraModifiable> {
  static constexpr bool isCarSensor = true;
  static constexpr bool isGlobalSensor = false;
};
template <>
struct SensorParameters<LidarModifiable> {
  static constexpr bool isCarSensor = true;
  static constexpr bool isGlobalSensor = false;
};
template <>
struct SensorParameters<DOGTModifiable> {
  static constexpr bool isCarSensor = false;
  static constexpr bool isGlobalSensor = true;
};
}  // namespace detail

template <typename T>
VantrelErr VantrelSim::registerSensor(unsigned int carId, unsigned int sensorId,
                                      Sensor<T>& sensor) {
  static_assert(detail::SensorKind<T>::isCarSensor,
                "registerSensor(carId, sensorId, sensor) takes the output type of a car's sensor");
  const int result = awaitAcknowledgement(sendRegisterSensor(carId, sensorId));
  if (result == VANTREL_ERR_OK) detail::SensorKind<T>::sensors(*this)[sensorId] = &sensor;
  return static_cast<VantrelErr>(result);
}

template <typename T>
VantrelErr VantrelSim::registerSensor(unsigned int sensorId, Sensor<T>& sensor) {
  static_assert(detail::SensorKind<T>::isGlobalSensor,
                "registerSensor(sensorId, sensor) takes DynamicObjectGroundTruthOutput");
  const int result = awaitAcknowledgement(sendRegisterGlobalSensor(sensorId));
  if (result == VANTREL_ERR_OK) detail::SensorKind<T>::sensors(*this)[sensorId] = &sensor;
  return static_cast<VantrelErr>(result);
}

template <typename T>
VantrelErr VantrelSim::setSensorParam(unsigned int /*carId*/, unsigned int sensorId,
                                      T* parameters) {
  static_assert(detail::SensorParameters<T>::isCarSensor,
                "setSensorParam(carId, sensorId, ...) takes RGBCameraModifiable or LidarModifiable");
  if (refuseSensorChangeWhileRunning()) return VANTREL_ERR_UNEXPECTED;
  return static_cast<VantrelErr>(sendModifySensor(sensorId, modifySensorWith(parameters)));
}

template <typename T>
VantrelErr VantrelSim::setSensorParam(unsigned int sensorId, T* parameters) {
  static_assert(detail::SensorParameters<T>::isGlobalSensor,
                "setSensorParam(sensorId, ...) takes DOGTModifiable");
  if (refuseSensorChangeWhileRunning()) return VANTREL_ERR_UNEXPECTED;
  return static_cast<VantrelErr>(sendModifyGlobalSensor(sensorId, modifySensorWith(parameters)));
}

}  // namespace SDK
}  // namespace Vantrel

#endif
