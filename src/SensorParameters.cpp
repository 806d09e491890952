// Changing the recording flag and frame rate of a sensor before the simulation runs. The parameter
// object becomes part of the outgoing message and is freed with it, whatever the outcome.
#include <iostream>

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

// The engine addresses a car's sensor by its sensor id alone: carId stays 0 and is not encoded.
int VantrelSim::sendModifySensor(unsigned int sensorId, ModifySensor* modify) {
  auto* sensor = new SensorCommand;
  sensor->set_sensorid(sensorId);
  sensor->set_allocated_modifysensor(modify);
  auto* command = new Command;
  command->set_allocated_sensorcommand(sensor);
  return awaitAcknowledgement(sendCommand(command));
}

int VantrelSim::sendModifyGlobalSensor(unsigned int sensorId, ModifySensor* modify) {
  auto* sensor = new GlobalSensorCommand;
  sensor->set_sensorid(sensorId);
  sensor->set_allocated_modifysensor(modify);
  auto* command = new Command;
  command->set_allocated_globalsensorcommand(sensor);
  return awaitAcknowledgement(sendCommand(command));
}

}  // namespace SDK
}  // namespace Vantrel
