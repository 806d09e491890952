// The delivery path: an arbitrary stream of engine messages, filed by the proxy's receive handler,
// delivered by dispatchMessages to sensors of every kind, with callbacks that now and then stop the
// simulation or throw.
//
// A test engine, started once, acknowledges the registrations and every start, so that the proxy
// is in the state a real run puts it in; the fuzzed messages then go straight to the receive
// handler, as the waits would hand them over.
//
// Input: records of [control byte][2-byte little-endian length][payload]. The payload is one
// encoded EngineToClientMessage (or garbage). Control bits: 0x01 dispatch after this message;
// 0x02 a callback stops the simulation, 0x04 a callback throws, at the callback numbered by the
// high nibble (counted within that dispatch call).
// Invariants, for any input:
//  - every callback gets an envelope holding sensor data and an output of its own kind with a
//    registered id: the sensor-data list holds nothing but sensor data;
//  - every registered output of the sensor data that arrived is delivered, and only those: with
//    no callback throwing, exactly once;
//  - a throwing callback's exception reaches the caller, and the entry is delivered again later;
//  - nothing crashes, leaks or reads out of bounds (the sanitizers).
#include <memory>
#include <stdexcept>
#include <string>

#include "FuzzInput.h"
#include "TestEngine.h"
#include "VantrelSim.h"

using namespace Vantrel::SDK;
using Vantrel::Fuzz::Cursor;
using Vantrel::Fuzz::silenceLibraryStreams;
using Vantrel::Fuzz::violated;
using Vantrel::Testing::TestEngine;

namespace {

// Each kind is registered under these ids; outputs with other ids must not reach a callback.
constexpr unsigned int kRegisteredIds[] = {1, 7};
bool isRegisteredId(unsigned int id) { return id == 1 || id == 7; }

struct Behaviour {
  int callbacks = 0;   // callbacks in the current dispatch call
  int stopAt = -1;     // stop the simulation at this callback
  int throwAt = -1;    // throw at this callback
  long delivered = 0;  // every callback in this input
  bool threw = false;  // a callback threw in this input
};

VantrelSim* g_Sim = nullptr;
Behaviour g_Behaviour;

struct CallbackThrew : std::runtime_error {
  CallbackThrew() : std::runtime_error("a sensor callback threw") {}
};

template <typename T, SensorOutput::SensorTypeCase kind>
class CheckingSensor : public Sensor<T> {
 public:
  void onSensorOutput(const EngineToClientMessage& message, const SensorOutput& output,
                      const T& typedOutput) override {
    if (message.ReportType_case() != EngineToClientMessage::kRegisterReport)
      violated("a callback got an envelope that holds no sensor data");
    if (output.SensorType_case() != kind) violated("a callback got another kind's output");
    if (!isRegisteredId(output.outputsensorid())) violated("a callback got an unregistered id");
    (void)typedOutput.ByteSizeLong();  // read it whole
    const int number = g_Behaviour.callbacks++;
    ++g_Behaviour.delivered;
    if (number == g_Behaviour.stopAt) g_Sim->stop(3, "stopped by a callback");
    if (number == g_Behaviour.throwAt) {
      g_Behaviour.threw = true;
      throw CallbackThrew();
    }
  }
};

// One object per kind, shared by both registered ids.
struct Sensors {
  CheckingSensor<RGBCameraOutput, SensorOutput::kRgbCameraOutput> rgbCamera;
  CheckingSensor<ROIOutput, SensorOutput::kRoiOutput> roi;
  CheckingSensor<GPSOutput, SensorOutput::kGpsOutput> gps;
  CheckingSensor<LidarOutput, SensorOutput::kLidarOutput> lidar;
  CheckingSensor<E2COutput, SensorOutput::kMsgToClientOutput> e2c;
  CheckingSensor<LaneDetectorOutput, SensorOutput::kLaneDetectorOutput> laneDetector;
  CheckingSensor<SemanticInstanceLabelingOutput, SensorOutput::kSemanticInstanceLabelingOutput>
      semanticInstance;
  CheckingSensor<SemanticClassLabelingOutput, SensorOutput::kSemanticClassLabelingOutput>
      semanticClass;
  CheckingSensor<CarTelemetriesOutput, SensorOutput::kCarTelemetriesOutput> telemetries;
  CheckingSensor<DepthCameraOutput, SensorOutput::kDepthCameraOutput> depthCamera;
  CheckingSensor<RadarOutput, SensorOutput::kRadarOutput> radar;
  CheckingSensor<DynamicObjectGroundTruthOutput, SensorOutput::kDynamicObjectGroundTruthOutput>
      groundTruth;

  bool registerAll(VantrelSim& sim) {
    for (unsigned int id : kRegisteredIds) {
      const VantrelErr results[] = {sim.registerSensor(0, id, rgbCamera),
                                    sim.registerSensor(0, id, roi),
                                    sim.registerSensor(0, id, gps),
                                    sim.registerSensor(0, id, lidar),
                                    sim.registerSensor(0, id, e2c),
                                    sim.registerSensor(0, id, laneDetector),
                                    sim.registerSensor(0, id, semanticInstance),
                                    sim.registerSensor(0, id, semanticClass),
                                    sim.registerSensor(0, id, telemetries),
                                    sim.registerSensor(0, id, depthCamera),
                                    sim.registerSensor(0, id, radar),
                                    sim.registerSensor(id, groundTruth)};
      for (VantrelErr result : results)
        if (result != VANTREL_ERR_OK) return false;
    }
    return true;
  }
};

bool hasCallback(SensorOutput::SensorTypeCase kind) {
  return kind != SensorOutput::SENSORTYPE_NOT_SET && kind != SensorOutput::kWakeupOutput &&
         (kind <= SensorOutput::kRadarOutput ||
          kind == SensorOutput::kDynamicObjectGroundTruthOutput);
}

long registeredOutputsIn(const EngineToClientMessage& message) {
  if (message.ReportType_case() != EngineToClientMessage::kRegisterReport) return 0;
  long count = 0;
  for (const SensorOutput& output : message.registerreport().sensorsoutput())
    if (hasCallback(output.SensorType_case()) && isRegisteredId(output.outputsensorid())) ++count;
  return count;
}

// The engine and one proxy registered with it, shared by all inputs. The proxy is replaced now and
// then, because the lists that dispatch does not drain (replies, acknowledgements, loading states)
// only ever grow.
struct Session {
  TestEngine engine;
  Sensors sensors;
  std::unique_ptr<VantrelSim> sim;
  int inputs = 0;

  Session() { engine.acknowledgeCommands(0); }

  VantrelSim& fresh() {
    if (sim && ++inputs % 2000 != 0) return *sim;
    sim.reset();
    sim.reset(new VantrelSim);
    if (sim->connectToEngine(engine.connectionString()) != VANTREL_ERR_OK ||
        !sensors.registerAll(*sim))
      violated("the test engine did not take the registrations");
    return *sim;
  }
};

void ensureRunning(VantrelSim& sim) {
  bool running = false;
  sim.isRunning(running);
  if (!running && sim.start(NonBlocking) != VANTREL_ERR_OK)
    violated("the test engine did not acknowledge start");
}

void dispatch(VantrelSim& sim, int stopAt, int throwAt) {
  g_Behaviour.callbacks = 0;
  g_Behaviour.stopAt = stopAt;
  g_Behaviour.throwAt = throwAt;
  try {
    if (sim.dispatchMessages() != VANTREL_ERR_OK) violated("dispatchMessages returned non-zero");
    if (throwAt >= 0 && g_Behaviour.callbacks > throwAt)
      violated("a callback's exception did not reach the caller");
  } catch (const CallbackThrew&) {
    if (g_Behaviour.callbacks != throwAt + 1) violated("an exception nobody threw");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  silenceLibraryStreams();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Session* session = new Session;  // lives for the whole run
  VantrelSim& sim = session->fresh();
  g_Sim = &sim;
  g_Behaviour = Behaviour();
  ensureRunning(sim);

  Cursor input(data, size);
  long arrived = 0;
  while (input.left() >= 3) {
    const uint8_t control = input.byte();
    size_t length = input.littleEndian(2);
    const uint8_t* payload = input.take(length);

    EngineToClientMessage decoded;
    if (decoded.ParseFromArray(payload, static_cast<int>(length)))
      arrived += registeredOutputsIn(decoded);
    VantrelErr status = VANTREL_ERR_OK;
    sim.receiveMessageCB(const_cast<unsigned char*>(payload), static_cast<long>(length), status);

    if (control & 0x01) {
      const int at = control >> 4;
      dispatch(sim, (control & 0x02) ? at : -1, (control & 0x04) ? at : -1);
      ensureRunning(sim);  // after a stop, or the engine's end of simulation in the stream
    }
  }
  // Whatever is still queued goes out now, with quiet callbacks.
  ensureRunning(sim);
  dispatch(sim, -1, -1);

  if (g_Behaviour.threw ? g_Behaviour.delivered < arrived : g_Behaviour.delivered != arrived)
    violated("registered outputs were lost or delivered twice");
  return 0;
}
