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

// How the engine is asked to run the simulation; any value but 0 counts as Blocking. The fixed
// underlying type makes every int a valid runMethod, so such values are well defined.
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

class VANTREL_API VantrelSim {
 public:
  VantrelSim();
  // Stops a running simulation ("Disconnect requested"), closes the connection and deletes the
  // registered LoadingState.
  virtual ~VantrelSim();
  // The socket's callback is bound to this object's address.
  VantrelSim(const VantrelSim&) = delete;
  VantrelSim& operator=(const VantrelSim&) = delete;

  // ---- Connection and versions ------------------------------------------------------------------
  // Connects to 127.0.0.1 port 8052. Sends nothing.
  int connectToEngine();
  // Connects to "host port" (the host ends at the first blank). An open connection is closed first.
  int connectToEngine(const std::string& connection);
  // Stops a running simulation, then closes the connection.
  int disconnectFromEngine();
  // Announces the versions and waits for the acknowledgement. Takes ownership of `version`, which
  // must come from new; a null pointer is refused with VANTREL_ERR_BAD_PARAMS.
  int setVersionCommand(VersionCommand* version);
  std::string getSDKVersion();
  // Not implemented: empties `version` and returns VANTREL_ERR_NOT_IMPLEMENTED.
  int geStudioVersion(std::string& version);
  std::string getId();
  // The error code of the last acknowledgement taken from the engine.
  int lastError();
  // If `message` is an acknowledgement, records and returns its code; otherwise returns 0.
  int checkMessageError(EngineToClientMessage& message);

  // ---- Simulation control and frame loop ----------------------------------------------------------
  // Sends StartSimulation and waits for the acknowledgement; on 0 the simulation runs.
  int start(runMethod method);
  // Sends StopSimulation if the simulation runs; waits for nothing.
  int stop(int reasonId, const std::string& reasonText);
  int isRunning(bool& running);
  // Takes in the scene-loading progress and hands it to the registered LoadingState.
  int isLoadingScene(bool& loading);
  // The proxy owns `callback` from now on (create it with new); one registered before is deleted.
  void registerLoadingStateCallback(LoadingState& callback);
  // Sends the configuration and waits for the acknowledgement. Takes ownership of `configuration`;
  // a null pointer is refused with VANTREL_ERR_BAD_PARAMS.
  int setConfiguration(ConfigurationCommand* configuration);
  // Sends one log line (up to its first NUL) to the engine; waits for nothing.
  int log(int level, const std::string& text);
  // Asks for the next frame and waits up to `timeout` seconds for its sensor data, which stay
  // queued for dispatchMessages.
  int advanceFramesAndBlockForMessages(float timeout);
  int getCurrFrame(unsigned int& frame) const;
  int getCurrSimulationTime(float& time) const;

  // ---- Queries, before the simulation runs --------------------------------------------------------
  int getEngineVersion(std::string& version);
  int getTerrain(std::string& terrain);
  int getNumberOfCars(unsigned int& count);
  int getCarInfo(unsigned int index, CarQueryReport& car);
  int getCarsInfo(std::vector<CarQueryReport>& cars);
  int getMovingObjectInfo(std::vector<MovingObjectQueryReport>& objects);
  int getNumberSensors(unsigned int& count);
  int getSensorInfo(unsigned int index, SensorQueryReport& sensor);
  int getGlobalSensors(std::vector<GlobalSensorQueryReport>& sensors);
  int getSensorsInfo(std::vector<SensorQueryReport>& sensors);

  // ---- Car commands, while the simulation runs; sent without waiting ------------------------------
  // Takes ownership of `command` only when it goes on to send it.
  int carControlCmd(CarCommand* command);
  int sendCarControlGasCmd(unsigned int carId, float value);
  int sendCarControlSteeringCmd(unsigned int carId, float value);
  int sendCarControlBrakesCmd(unsigned int carId, float value);
  int sendCarControlAccelerationCmd(unsigned int carId, float value);
  int sendAiDriveCarCmd(unsigned int carId);
  // Takes ownership of `command` in every case.
  int innerSendCarCommand(CarCommand* command);

  // ---- Sensors ------------------------------------------------------------------------------------
  // Registers `sensor` for the output of sensor `sensorId` and waits for the acknowledgement; only
  // the kinds mounted on a car compile. The object is the client's and must outlive its use.
  template <typename T>
  VantrelErr registerSensor(unsigned int carId, unsigned int sensorId, Sensor<T>& sensor);
  // The same for the global dynamic-object ground-truth sensor.
  template <typename T>
  VantrelErr registerSensor(unsigned int sensorId, Sensor<T>& sensor);
  int sendRegisterSensor(unsigned int carId, unsigned int sensorId);
  int sendRegisterGlobalSensor(unsigned int sensorId);
  // Delivers the queued sensor data to the registered objects, newest entry first. Always 0.
  VantrelErr dispatchMessages();
  // Changes `record` and `fps` of an RGB camera or a lidar before the simulation runs; takes
  // ownership of `parameters` unless it refuses because the simulation runs.
  template <typename T>
  VantrelErr setSensorParam(unsigned int carId, unsigned int sensorId, T* parameters);
  // The same for the global dynamic-object ground-truth sensor (DOGTModifiable).
  template <typename T>
  VantrelErr setSensorParam(unsigned int sensorId, T* parameters);

  // ---- Message exchange, on which every operation above is built ---------------------------------
  // Encodes one message into one wire frame of at most 2048 bytes and sends it; waits for nothing.
  int sendMessage(ClientToEngineMessage& message);
  // Decodes one wire frame's payload and files the message; its outcome goes to `status`.
  void receiveMessageCB(unsigned char* data, long size, VantrelErr& status);
  // One wait on the socket, then takes the newest acknowledgement.
  int waitForErrorMessage(float timeout);
  // Waits until a query reply is queued, for at most `timeout` seconds in all.
  int waitForQueryMessage(float timeout);

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
