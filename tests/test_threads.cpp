// Several proxies in one process, each on a thread of its own and each driving its own engine, as
// a user running many scenarios at once does. Run under ThreadSanitizer (scripts/tsan.sh) it shows
// that proxies share nothing unsynchronised; in every build it shows that they do not disturb each
// other, and that the socket layer's last-error text belongs to the thread that caused it.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RunningEngine.h"
#include "TestEngine.h"
#include "VantrelSim.h"
#include "zel_net.h"

using namespace Vantrel::SDK;
using namespace Vantrel::Testing;

namespace {

constexpr int kProxies = 4;
constexpr int kFrames = 40;

class Barrier {
 public:
  explicit Barrier(int parties) : m_Waiting(parties) {}
  void arriveAndWait() {
    std::unique_lock<std::mutex> lock(m_Mutex);
    if (--m_Waiting == 0) {
      m_Changed.notify_all();
      return;
    }
    m_Changed.wait(lock, [this] { return m_Waiting == 0; });
  }

 private:
  std::mutex m_Mutex;
  std::condition_variable m_Changed;
  int m_Waiting;
};

class SpeedLog : public Sensor<GPSOutput> {
 public:
  void onSensorOutput(const EngineToClientMessage& message, const SensorOutput&,
                      const GPSOutput& gps) override {
    frames.push_back(message.framenumber());
    speeds.push_back(gps.speed());
  }
  std::vector<uint32_t> frames;
  std::vector<float> speeds;
};

// What one scenario saw; checked on the main thread, since gtest's assertions are for one thread.
struct Outcome {
  std::vector<int> results;
  std::vector<uint32_t> frames;
  std::string terrain;
  std::string lastError;
};

void runScenario(int index, Barrier& barrier, Outcome& outcome) {
  TestEngine engine;
  const unsigned int gpsId = 10 + static_cast<unsigned int>(index);
  engine.respondWith(runningEngine(gpsId));
  VantrelSim sim;
  SpeedLog gps;
  auto* version = new VersionCommand;
  version->set_sdkversion(sim.getSDKVersion());
  std::vector<int>& results = outcome.results;
  results.push_back(sim.connectToEngine(engine.connectionString()));
  results.push_back(sim.setVersionCommand(version));
  results.push_back(sim.getTerrain(outcome.terrain));
  results.push_back(sim.registerSensor(0, gpsId, gps));
  results.push_back(sim.start(NonBlocking));
  for (int frame = 0; frame < kFrames; ++frame) {
    results.push_back(sim.advanceFramesAndBlockForMessages(10.0f));
    results.push_back(sim.dispatchMessages());
    results.push_back(sim.sendCarControlGasCmd(0, 0.1f * static_cast<float>(index)));
  }
  results.push_back(sim.stop(0, "scenario done"));
  results.push_back(sim.disconnectFromEngine());
  outcome.frames = gps.frames;

  // Each thread leaves a failure of its own in the socket layer, then all read theirs back.
  zel_net_socket_t closed;
  zel_net_reset_socket(&closed);
  unsigned char byte = 0;
  if (index % 2 == 0) {
    zel_net_send(&closed, &byte, 1);
  } else {
    zel_net_recv(&closed, &byte, 1);
  }
  barrier.arriveAndWait();
  outcome.lastError = zel_net_get_last_error();
}

TEST(ManyProxies, EachOnItsOwnThreadRunsItsOwnScenarioUndisturbed) {
  Barrier barrier(kProxies);
  std::vector<Outcome> outcomes(kProxies);
  std::vector<std::thread> threads;
  for (int index = 0; index < kProxies; ++index)
    threads.emplace_back(runScenario, index, std::ref(barrier), std::ref(outcomes[index]));
  for (std::thread& thread : threads) thread.join();

  std::vector<uint32_t> everyFrame;
  for (uint32_t frame = 1; frame <= kFrames; ++frame) everyFrame.push_back(frame);
  for (int index = 0; index < kProxies; ++index) {
    const Outcome& outcome = outcomes[index];
    SCOPED_TRACE("proxy " + std::to_string(index));
    EXPECT_EQ(outcome.results, std::vector<int>(outcome.results.size(), VANTREL_ERR_OK));
    EXPECT_EQ(outcome.results.size(), 7u + 3u * kFrames);
    EXPECT_EQ(outcome.terrain, "flat");
    EXPECT_EQ(outcome.frames, everyFrame);
    EXPECT_EQ(outcome.lastError,
              index % 2 == 0 ? "Cannot send on closed socket" : "Cannot receive on closed socket");
  }
}

}  // namespace
