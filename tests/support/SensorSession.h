// A proxy connected to a test engine that acknowledges every command and answers each NextFrame
// with the sensor data queued for it, plus Sensor<T> objects that record the calls they receive.
#ifndef VANTREL_TESTS_SENSOR_SESSION_H
#define VANTREL_TESTS_SENSOR_SESSION_H

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "TestEngine.h"
#include "VantrelSim.h"

namespace Vantrel {
namespace Testing {

// One output whose SensorType oneof holds an empty message in the member `sensorType` (the case
// numbers are the field numbers), or nothing for SENSORTYPE_NOT_SET.
inline SDK::SensorOutput sensorOutput(SDK::SensorOutput::SensorTypeCase sensorType,
                                      uint32_t sensorId) {
  SDK::SensorOutput output;
  output.set_outputsensorid(sensorId);
  if (sensorType != SDK::SensorOutput::SENSORTYPE_NOT_SET) {
    const auto* field = SDK::SensorOutput::descriptor()->FindFieldByNumber(sensorType);
    output.GetReflection()->MutableMessage(&output, field);
  }
  return output;
}

inline EngineToClientMessage sensorData(uint32_t frameNumber,
                                        const std::vector<SDK::SensorOutput>& outputs) {
  EngineToClientMessage message;
  message.set_framenumber(frameNumber);
  SDK::SensorData* data = message.mutable_registerreport();
  for (const SDK::SensorOutput& output : outputs) *data->add_sensorsoutput() = output;
  return message;
}

// One call of onSensorOutput: "<label> <outputSensorID> @<frameNumber>", and the envelope's
// address.
struct SensorCall {
  std::string what;
  uint32_t frameNumber;
  const EngineToClientMessage* envelope;
};
using CallLog = std::vector<SensorCall>;

inline std::vector<std::string> callsIn(const CallLog& log) {
  std::vector<std::string> calls;
  for (const SensorCall& call : log) calls.push_back(call.what);
  return calls;
}

// Records each call in a log shared with other recorders, checks that its three arguments belong
// together, then runs `then` (a callback's own action: stop, throw, advance...).
template <typename T>
class Recorder : public SDK::Sensor<T> {
 public:
  Recorder(std::string label, CallLog& log) : m_Label(std::move(label)), m_Log(log) {}

  std::function<void(const EngineToClientMessage&, const SDK::SensorOutput&, const T&)> then;

  void onSensorOutput(const EngineToClientMessage& message, const SDK::SensorOutput& output,
                      const T& typedOutput) override {
    const auto& outputs = message.registerreport().sensorsoutput();
    EXPECT_TRUE(std::any_of(outputs.begin(), outputs.end(), [&](const SDK::SensorOutput& carried) {
      return &carried == &output;
    })) << "the output is not one of the envelope's";
    const auto* sensorType = SDK::SensorOutput::descriptor()->FindOneofByName("SensorType");
    const auto* reflection = output.GetReflection();
    const auto* member = reflection->GetOneofFieldDescriptor(output, sensorType);
    EXPECT_TRUE(member != nullptr && &reflection->GetMessage(output, member) == &typedOutput)
        << "the typed output is not the one the output holds";
    m_Log.push_back({m_Label + " " + std::to_string(output.outputsensorid()) + " @" +
                         std::to_string(message.framenumber()),
                     message.framenumber(), &message});
    if (then) then(message, output, typedOutput);
  }

 private:
  std::string m_Label;
  CallLog& m_Log;
};

class SensorSession {
  // Declared before the engine, whose thread uses them until it is joined.
  std::atomic<int> m_AcknowledgementCode{0};
  std::mutex m_Mutex;
  std::deque<EngineToClientMessage> m_Frames;

  static bool isNextFrame(const ClientToEngineMessage& message) {
    return message.command().simulationcommand().has_nextframe();
  }

 public:
  static constexpr float kFrameTimeout = 30.0f;

  SensorSession() {
    engine.respondWith([this](const ClientToEngineMessage& message) {
      std::vector<EngineToClientMessage> replies;
      if (expectsAcknowledgement(message))
        replies.push_back(acknowledgement(m_AcknowledgementCode));
      if (isNextFrame(message)) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (!m_Frames.empty()) {
          replies.push_back(std::move(m_Frames.front()));
          m_Frames.pop_front();
        }
      }
      return replies;
    });
    EXPECT_EQ(sim.connectToEngine(engine.connectionString()), SDK::VANTREL_ERR_OK);
  }

  // The code with which the engine acknowledges the commands from now on.
  void acknowledgeWith(int code) { m_AcknowledgementCode = code; }

  // The engine's answer to the next NextFrame that has none yet.
  void answerNextFrameWith(EngineToClientMessage message) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Frames.push_back(std::move(message));
  }

  // Advances one frame whose sensor data are `message`; they stay queued for dispatchMessages.
  int advanceWith(EngineToClientMessage message) {
    answerNextFrameWith(std::move(message));
    return sim.advanceFramesAndBlockForMessages(kFrameTimeout);
  }

  template <typename T>
  int registerSensor(unsigned int sensorId, SDK::Sensor<T>& sensor) {
    if constexpr (SDK::detail::SensorKind<T>::isGlobalSensor) {
      return sim.registerSensor<T>(sensorId, sensor);
    } else {
      return sim.registerSensor<T>(1, sensorId, sensor);
    }
  }

  TestEngine engine;  // before the proxy, which still sends to it when it goes
  SDK::VantrelSim sim;
};

}  // namespace Testing
}  // namespace Vantrel

#endif
