// One client's run: the engine's side of the message exchange. Every client gets a fresh world from
// the seed. Each message the client sends is answered with the messages the protocol asks for:
// an acknowledgement for the commands that expect one (its errorCode the result), a query report
// of the same kind for a query, one SensorData (or the end of the simulation) for NextFrame,
// nothing for stop, log and car commands. Every reply carries the current frame and time.
//
// What goes where: `events` tells the story of the run (versions, configuration, refusals, the
// end); `problems` (the engine's standard error) gets what was wrong with a message that has no
// answer in which the client could be told (car commands, messages of no known kind).
#ifndef VANTREL_SANDBOX_SESSION_H
#define VANTREL_SANDBOX_SESSION_H

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "ClientToEngineMessage.pb.h"
#include "EngineToClientMessage.pb.h"
#include "Options.h"
#include "Sensors.h"
#include "World.h"

namespace Vantrel {
namespace Sandbox {

class Session {
 public:
  static constexpr int64_t kDefaultStepMicroseconds = 50000;

  Session(const EngineOptions& options, std::ostream& events, std::ostream& problems);

  // The replies to one message, in the order in which they are to be sent.
  std::vector<SDK::EngineToClientMessage> handle(const SDK::ClientToEngineMessage& message);

  const World& world() const { return m_World; }
  uint32_t frame() const { return m_Frame; }
  bool ended() const { return m_Ended; }

 private:
  struct SensorState {
    bool registered = false;
    bool record = false;
    uint32_t fps = 0;  // 0: every frame
  };

  std::vector<SDK::EngineToClientMessage> handleCommand(const SDK::Command& command);
  std::vector<SDK::EngineToClientMessage> handleSimulation(const SDK::SimulationCommand& command);
  std::vector<SDK::EngineToClientMessage> handleVersion(const SDK::VersionCommand& command);
  bool answerQuery(const SDK::Query& query, SDK::QueryReport& report);
  int configure(const SDK::ConfigurationCommand& command);
  int changeSensor(const SDK::SensorCommand& command);
  int changeGlobalSensor(const SDK::GlobalSensorCommand& command);
  int changeSensor(const SensorEntry& sensor, bool registering, const SDK::ModifySensor* modify);
  void driveCar(const SDK::CarCommand& command);
  SDK::EngineToClientMessage nextFrame();
  SDK::EngineToClientMessage end(const std::string& reason);
  bool isDue(uint32_t fps) const;
  uint32_t announcedFps(const SensorEntry& sensor) const;
  SDK::EngineToClientMessage stamped(SDK::EngineToClientMessage message) const;

  EngineOptions m_Options;
  std::ostream& m_Events;
  std::ostream& m_Problems;
  World m_World;
  Sensors m_Sensors;
  std::map<uint32_t, SensorState> m_SensorStates;  // by id, the order of the outputs
  int64_t m_StepMicroseconds = kDefaultStepMicroseconds;
  int64_t m_TimeMicroseconds = 0;
  uint32_t m_Frame = 0;
  uint32_t m_WakeupEverySteps = 0;
  bool m_LoadingAnnounced = false;
  bool m_Running = false;
  bool m_Ended = false;
  std::string m_EndReason;
};

}  // namespace Sandbox
}  // namespace Vantrel

#endif
