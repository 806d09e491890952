// The registration messages of the sensor kinds. Each sends one command and waits for nothing; the
// acknowledgement and the recording of the client's object are registerSensor's (VantrelSim.h).
#include "VantrelSim.h"

namespace Vantrel {
namespace SDK {

// The engine knows a car's sensor by its sensor id alone: carId stays 0 and is not encoded,
// whatever car the client named.
int VantrelSim::sendRegisterSensor(unsigned int /*carId*/, unsigned int sensorId) {
  auto* sensor = new SensorCommand;
  sensor->set_sensorid(sensorId);
  sensor->set_allocated_registersensor(new RegisterSensor);
  auto* command = new Command;
  command->set_allocated_sensorcommand(sensor);
  return sendCommand(command);
}

int VantrelSim::sendRegisterGlobalSensor(unsigned int sensorId) {
  auto* sensor = new GlobalSensorCommand;
  sensor->set_sensorid(sensorId);
  sensor->set_allocated_registersensor(new RegisterSensor);
  auto* command = new Command;
  command->set_allocated_globalsensorcommand(sensor);
  return sendCommand(command);
}

}  // namespace SDK
}  // namespace Vantrel
