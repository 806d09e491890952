#ifndef VANTREL_SENSOR_H
#define VANTREL_SENSOR_H

#include "EngineToClientMessage.pb.h"

namespace Vantrel {
namespace SDK {

/// Implemented by the client for each sensor whose output it wants; T is the sensor kind's output
/// message. The proxy keeps only the object's address: the client keeps it alive.
template <typename T>
class Sensor {
 public:
  virtual ~Sensor() = default;
  /// Called from inside VantrelSim::dispatchMessages with the envelope that carried the output, the
  /// output itself and its typed content. All three are valid only during the call.
  virtual void onSensorOutput(const EngineToClientMessage& message, const SensorOutput& output,
                              const T& typedOutput) = 0;
};

}  // namespace SDK
}  // namespace Vantrel

#endif
