// The two envelopes of every sensor command, registration and parameter change alike: a car's
// sensor is addressed by a SensorCommand (carId left 0, so not encoded: the engine knows the sensor
// by its id alone), the global sensor by a GlobalSensorCommand. `attach` hands `body` to the
// command's commandType member; the returned Command owns everything.
#ifndef VANTREL_SRC_SENSOR_COMMANDS_H
#define VANTREL_SRC_SENSOR_COMMANDS_H

#include "ClientToEngineMessage.pb.h"

namespace Vantrel {
namespace SDK {

template <typename Body>
Command* carSensorCommand(unsigned int sensorId, void (SensorCommand::*attach)(Body*), Body* body) {
  auto* sensor = new SensorCommand;
  sensor->set_sensorid(sensorId);
  (sensor->*attach)(body);
  auto* command = new Command;
  command->set_allocated_sensorcommand(sensor);
  return command;
}

template <typename Body>
Command* globalSensorCommand(unsigned int sensorId, void (GlobalSensorCommand::*attach)(Body*),
                             Body* body) {
  auto* sensor = new GlobalSensorCommand;
  sensor->set_sensorid(sensorId);
  (sensor->*attach)(body);
  auto* command = new Command;
  command->set_allocated_globalsensorcommand(sensor);
  return command;
}

}  // namespace SDK
}  // namespace Vantrel

#endif
