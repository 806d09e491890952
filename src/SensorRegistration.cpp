// The registration messages of the sensor kinds. Each sends one command and waits for nothing; the
// acknowledgement and the recording of the client's object are registerSensor's (VantrelSim.h).
#include "SensorCommands.h"
#include "VantrelSim.h"

namespace Vantrel {
namespace SDK {

int VantrelSim::sendRegisterSensor(unsigned int /*carId*/, unsigned int sensorId) {
  return sendCommand(
      carSensorCommand(sensorId, &SensorCommand::set_allocated_registersensor, new RegisterSensor));
}

int VantrelSim::sendRegisterGlobalSensor(unsigned int sensorId) {
  return sendCommand(globalSensorCommand(
      sensorId, &GlobalSensorCommand::set_allocated_registersensor, new RegisterSensor));
}

}  // namespace SDK
}  // namespace Vantrel
