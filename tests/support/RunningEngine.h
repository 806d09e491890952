// A well-behaved engine's replies, for tests that need a whole run rather than one exchange:
// commands that expect it are acknowledged, every NextFrame is answered with one frame of sensor
// data, and the terrain query gets its reply.
#ifndef VANTREL_TESTS_RUNNING_ENGINE_H
#define VANTREL_TESTS_RUNNING_ENGINE_H

#include <atomic>
#include <memory>
#include <vector>

#include "TestEngine.h"

namespace Vantrel {
namespace Testing {

inline bool isNextFrame(const ClientToEngineMessage& message) {
  return message.has_command() && message.command().has_simulationcommand() &&
         message.command().simulationcommand().has_nextframe();
}

// One frame's sensor data: a GPS output for sensor `gpsId`.
inline EngineToClientMessage gpsFrame(uint32_t frameNumber, unsigned int gpsId) {
  EngineToClientMessage message =
      stamped(EngineToClientMessage(), frameNumber, frameNumber / 60.0f);
  SDK::SensorOutput* output = message.mutable_registerreport()->add_sensorsoutput();
  output->set_outputsensorid(gpsId);
  output->mutable_gpsoutput()->set_speed(static_cast<float>(frameNumber));
  return message;
}

inline EngineToClientMessage terrainReply(const std::string& terrain) {
  EngineToClientMessage message;
  message.mutable_queryreport()->mutable_terrainqueryreport()->set_terraintype(terrain);
  return message;
}

// Frames are numbered from 1 on, per responder.
inline TestEngine::Responder runningEngine(unsigned int gpsId) {
  auto frames = std::make_shared<std::atomic<uint32_t>>(0);
  return
      [frames, gpsId](const ClientToEngineMessage& message) -> std::vector<EngineToClientMessage> {
        if (expectsAcknowledgement(message)) return {acknowledgement(0)};
        if (isNextFrame(message)) return {gpsFrame(++*frames, gpsId)};
        if (message.has_query() && message.query().has_terrainquery())
          return {terrainReply("flat")};
        return {};
      };
}

}  // namespace Testing
}  // namespace Vantrel

#endif
