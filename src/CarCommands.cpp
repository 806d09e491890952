// Car commands: sent while the simulation runs and forgotten; nothing waits for the engine's
// answer.
#include <iostream>

#include "VantrelSim.h"

namespace Vantrel {
namespace SDK {

namespace {

// A drive value outside its range is only warned about; the command still goes out as the client
// set it. The warnings carry no line end, so that several of them share one line. A NaN fails both
// comparisons and passes silently.
struct DriveRange {
  float (CarConfiguration::*value)() const;
  float lowest;
  float highest;
  const char* warning;
};

const DriveRange kDriveRanges[] = {
    {&CarConfiguration::steering, -1.0f, 1.0f,
     "steering value out of range, must be between -1.0f to 1.0f"},
    {&CarConfiguration::gas, 0.0f, 1.0f, "gas value out of range, must be between 0.0f to 1.0f"},
    {&CarConfiguration::brake, 0.0f, 1.0f,
     "brake value out of range, must be between 0.0f to 1.0f"},
};

// Warns about every drive value out of range; true when the command may go out. The engine cannot
// follow an acceleration, so any value but 0 (NaN included, -0.0 not) refuses the command.
bool acceptDriveValues(const CarConfiguration& drive) {
  for (const DriveRange& range : kDriveRanges) {
    const float value = (drive.*range.value)();
    if (value > range.highest || value < range.lowest) std::cerr << range.warning << std::flush;
  }
  if (drive.acceleration() != 0.0f) {
    std::cerr << "acceleration control not implemented yet, please use gas/brake instead"
              << std::flush;
    return false;
  }
  return true;
}

void reportNotRunning() { std::cerr << "Simulation not running" << std::endl; }

Command* carCommandEnvelope(CarCommand* car) {
  auto* command = new Command;
  command->set_allocated_carcommand(car);
  return command;
}

CarCommand* carCommandFor(unsigned int carId) {
  auto* car = new CarCommand;
  car->set_id(carId);
  return car;
}

// A CarCommand whose DrivingCommand carries one value in one of its four members: `setValue`
// stores the value in its value command, `attach` hands that to the DrivingCommand member.
template <typename ValueCommand>
CarCommand* drivingValueCommand(unsigned int carId, float value,
                                void (ValueCommand::*setValue)(float),
                                void (DrivingCommand::*attach)(ValueCommand*)) {
  auto* valueCommand = new ValueCommand;
  (valueCommand->*setValue)(value);
  auto* driving = new DrivingCommand;
  (driving->*attach)(valueCommand);
  CarCommand* car = carCommandFor(carId);
  car->set_allocated_drivingcommand(driving);
  return car;
}

}  // namespace

// Until it decides to send, the command stays the client's: a refused command is left untouched.
int VantrelSim::carControlCmd(CarCommand* command) {
  if (!m_IsRunning) {
    reportNotRunning();
    return VANTREL_ERR_OK;
  }
  if (command == nullptr) return VANTREL_ERR_BAD_PARAMS;
  if (command->CommandType_case() == CarCommand::kDrive && !acceptDriveValues(command->drive())) {
    return VANTREL_ERR_NOT_IMPLEMENTED;
  }
  return sendCommand(carCommandEnvelope(command));
}

int VantrelSim::sendCarControlGasCmd(unsigned int carId, float value) {
  return innerSendCarCommand(drivingValueCommand(carId, value, &GasCommand::set_gasvalue,
                                                 &DrivingCommand::set_allocated_gascommand));
}

int VantrelSim::sendCarControlSteeringCmd(unsigned int carId, float value) {
  return innerSendCarCommand(drivingValueCommand(carId, value, &SteeringCommand::set_steervalue,
                                                 &DrivingCommand::set_allocated_steeringcommand));
}

int VantrelSim::sendCarControlBrakesCmd(unsigned int carId, float value) {
  return innerSendCarCommand(drivingValueCommand(carId, value, &BrakesCommand::set_brakesvalue,
                                                 &DrivingCommand::set_allocated_brakescommand));
}

int VantrelSim::sendCarControlAccelerationCmd(unsigned int carId, float value) {
  return innerSendCarCommand(
      drivingValueCommand(carId, value, &AccelerationCommand::set_accelerationvalue,
                          &DrivingCommand::set_allocated_accelerationcommand));
}

int VantrelSim::sendAiDriveCarCmd(unsigned int carId) {
  CarCommand* car = carCommandFor(carId);
  car->set_allocated_aidriving(new AIDriveConf);
  return innerSendCarCommand(car);
}

// Owns `command` from the start: it is sent and freed with its envelope, or freed unsent.
int VantrelSim::innerSendCarCommand(CarCommand* command) {
  if (!m_IsRunning) {
    reportNotRunning();
    delete command;
    return VANTREL_ERR_OK;
  }
  if (command == nullptr) return VANTREL_ERR_BAD_PARAMS;
  return sendCommand(carCommandEnvelope(command));
}

}  // namespace SDK
}  // namespace Vantrel
