// Changing the recording flag and frame rate of a sensor before the simulation runs. The parameter
// object becomes part of the outgoing message and is freed with it, whatever the outcome.
#include <iostream>

#include "SensorCommands.h"
#include "VantrelSim.h"

namespace Vantrel {
namespace SDK {

namespace {

// `attach` is the ModifySensor setter of the parameters' SensorType member. A null `parameters`
// leaves SensorType unset, and the ModifySensor goes out empty.
template <typename Parameters>
ModifySensor* modifySensorHolding(Parameters* parameters,
                                  void (ModifySensor::*attach)(Parameters*)) {
  auto* modify = new ModifySensor;
  (modify->*attach)(parameters);
  return modify;
}

}  // namespace

// The engine takes sensor changes only before the start; a refused parameter object stays the
// caller's.
bool VantrelSim::refuseSensorChangeWhileRunning() {
  if (!m_IsRunning) return false;
  std::cerr << "Can't modify sensors when simulation is already running" << std::endl;
  return true;
}

ModifySensor* VantrelSim::modifySensorWith(RGBCameraModifiable* parameters) {
  return modifySensorHolding(parameters, &ModifySensor::set_allocated_rgbcameramodifiable);
}

ModifySensor* VantrelSim::modifySensorWith(LidarModifiable* parameters) {
  return modifySensorHolding(parameters, &ModifySensor::set_allocated_lidarmodifiable);
}

ModifySensor* VantrelSim::modifySensorWith(DOGTModifiable* parameters) {
  return modifySensorHolding(parameters, &ModifySensor::set_allocated_dogtmodifiable);
}

int VantrelSim::sendModifySensor(unsigned int sensorId, ModifySensor* modify) {
  return awaitAcknowledgement(
      sendCommand(carSensorCommand(sensorId, &SensorCommand::set_allocated_modifysensor, modify)));
}

int VantrelSim::sendModifyGlobalSensor(unsigned int sensorId, ModifySensor* modify) {
  return awaitAcknowledgement(sendCommand(
      globalSensorCommand(sensorId, &GlobalSensorCommand::set_allocated_modifysensor, modify)));
}

}  // namespace SDK
}  // namespace Vantrel
