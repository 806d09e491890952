// A hostile engine against a client that reconnects and goes on. The engine answers what it is
// asked, but mixes its replies with undecodable frames, negative and huge lengths, replies cut
// into pieces with pauses in between, resets and orderly closes in the middle of a frame, and ends
// of the simulation. The client must get a result code that its operation documents for every
// call, and its memory must stay bounded. Seeded and bounded in count and time, so a failure
// reproduces.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "RunningEngine.h"
#include "TestEngine.h"
#include "VantrelSim.h"

using namespace Vantrel::SDK;
using namespace Vantrel::Testing;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kSeed = 20261211;
constexpr int kIterations = 1500;
constexpr auto kTimeBudget = 25s;
constexpr int kWarmUpIterations = 60;
constexpr long kResidentMarginKiB = 24 * 1024;
constexpr unsigned int kGpsId = 5;
// Codes the hostile engine puts into its acknowledgements.
const int kEngineCodes[] = {VANTREL_ERR_OK, VANTREL_ERR_REGISTER_SENSOR_FAILED,
                            VANTREL_ERR_BAD_TIMING_SETTINGS};

long residentKiB() {
  long pages = 0, resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return -1;
  if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = -1;
  std::fclose(statm);
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct EngineFigures {
  long replies = 0, badFrames = 0, cutReplies = 0, pauses = 0, resets = 0, closes = 0, ends = 0;
  long faults() const { return badFrames + cutReplies + pauses + resets + closes + ends; }
};

// The engine on plain sockets: it needs what the test engine does not offer, a reset (SO_LINGER 0)
// and a close after half a frame.
class HostileEngine {
 public:
  explicit HostileEngine(uint32_t seed) : m_Random(seed) {
    m_Listening = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(m_Listening, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_Listening, 8) != 0 ||
        getsockname(m_Listening, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return;
    m_Port = ntohs(address.sin_port);
    m_Thread = std::thread([this] { serve(); });
  }
  ~HostileEngine() {
    m_Stopping = true;
    if (m_Thread.joinable()) m_Thread.join();
    close(m_Listening);
  }

  bool listening() const { return m_Port != 0; }
  std::string connectionString() const { return "127.0.0.1 " + std::to_string(m_Port); }
  EngineFigures figures() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Figures;
  }

 private:
  uint32_t below(uint32_t bound) {
    return std::uniform_int_distribution<uint32_t>(0, bound - 1)(m_Random);
  }
  void count(long EngineFigures::*figure) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    ++(m_Figures.*figure);
  }

  void serve() {
    while (!m_Stopping) {
      pollfd entry{m_Listening, POLLIN, 0};
      if (poll(&entry, 1, 20) != 1) continue;
      const int client = accept(m_Listening, nullptr, nullptr);
      if (client == -1) continue;
      serveClient(client);
    }
  }

  // Reads the client's frames and answers each; returns once the connection is gone.
  void serveClient(int client) {
    std::string pending;
    while (!m_Stopping) {
      pollfd entry{client, POLLIN, 0};
      if (poll(&entry, 1, 20) != 1) continue;
      char chunk[4096];
      const ssize_t received = recv(client, chunk, sizeof chunk, 0);
      if (received <= 0) break;
      pending.append(chunk, static_cast<size_t>(received));
      bool open = true;
      while (open && pending.size() >= 8) {
        int64_t length = 0;
        for (int i = 7; i >= 0; --i) length = (length << 8) | static_cast<uint8_t>(pending[i]);
        if (length < 0 || pending.size() - 8 < static_cast<uint64_t>(length)) break;
        ClientToEngineMessage message;
        message.ParseFromArray(pending.data() + 8, static_cast<int>(length));
        pending.erase(0, 8 + static_cast<size_t>(length));
        open = answer(client, message);
      }
      if (!open) return;
    }
    close(client);
  }

  std::vector<EngineToClientMessage> repliesTo(const ClientToEngineMessage& message) {
    if (expectsAcknowledgement(message))
      return {acknowledgement(below(10) < 8 ? 0 : kEngineCodes[below(3)])};
    if (isNextFrame(message)) return {gpsFrame(++m_Frame, kGpsId)};
    if (message.has_query()) {
      if (below(2) == 0) return {terrainReply("flat")};
      EngineToClientMessage cars;
      cars.mutable_queryreport()->mutable_carsqueryreport()->add_carqueryreport()->set_name("ego");
      return {cars};
    }
    return {};  // log lines, stops and car commands wait for nothing
  }

  // An undecodable payload: a field number of 0 is never valid.
  std::string garbageFrame() {
    std::string payload(1 + below(40), '\0');
    for (size_t i = 1; i < payload.size(); ++i) payload[i] = static_cast<char>(below(256));
    return frameHeader(static_cast<int64_t>(payload.size())) + payload;
  }

  bool sendAll(int client, const std::string& bytes) {
    return ::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  void reset(int client) {
    const linger abort{1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(client);
  }

  // Answers one client frame; false when the connection has been ended.
  bool answer(int client, const ClientToEngineMessage& message) {
    const std::vector<EngineToClientMessage> replies = repliesTo(message);
    if (replies.empty()) return true;
    std::string bytes = frame(replies);
    count(&EngineFigures::replies);
    const uint32_t roll = below(100);
    if (roll < 8) {  // garbage first, in the same write or a write of its own
      count(&EngineFigures::badFrames);
      if (below(2) == 0) {
        bytes = garbageFrame() + bytes;
      } else if (!sendAll(client, garbageFrame())) {
        return false;
      }
    } else if (roll < 11) {  // a negative length: the stream cannot recover, so the engine hangs up
      count(&EngineFigures::badFrames);
      sendAll(client, frameHeader(-1 - static_cast<int64_t>(below(1000))) + bytes);
      std::this_thread::sleep_for(std::chrono::milliseconds(below(10)));
      close(client);
      return false;
    } else if (roll < 14) {  // a huge length whose payload never comes
      count(&EngineFigures::badFrames);
      sendAll(client, frameHeader((int64_t{1} << (20 + below(43))) + below(1000)) +
                          std::string(below(5000), 'x'));
      std::this_thread::sleep_for(std::chrono::milliseconds(below(10)));
      below(2) == 0 ? reset(client) : (void)close(client);
      return false;
    } else if (roll < 18) {  // a reset in the middle of the reply
      count(&EngineFigures::resets);
      sendAll(client, bytes.substr(0, below(static_cast<uint32_t>(bytes.size()))));
      reset(client);
      return false;
    } else if (roll < 22) {  // an orderly close in the middle of the reply
      count(&EngineFigures::closes);
      sendAll(client, bytes.substr(0, below(static_cast<uint32_t>(bytes.size()))));
      close(client);
      return false;
    } else if (roll < 25) {  // the engine ends the simulation instead of answering
      count(&EngineFigures::ends);
      return sendAll(client, frame(endOfSimulation("hostile engine")));
    } else if (roll < 30) {  // a pause first, now and then longer than the client's frame wait
      count(&EngineFigures::pauses);
      std::this_thread::sleep_for(std::chrono::milliseconds(below(8) == 0 ? 400 : below(20)));
    }
    if (roll >= 30 && roll < 45) {  // the reply cut into pieces, with short pauses
      count(&EngineFigures::cutReplies);
      size_t offset = 0;
      while (offset < bytes.size()) {
        const size_t piece = 1 + below(static_cast<uint32_t>(bytes.size() - offset));
        if (!sendAll(client, bytes.substr(offset, piece))) return false;
        offset += piece;
        std::this_thread::sleep_for(std::chrono::microseconds(below(3000)));
      }
      return true;
    }
    return sendAll(client, bytes);
  }

  std::mt19937 m_Random;
  int m_Listening = -1;
  int m_Port = 0;
  uint32_t m_Frame = 0;
  std::atomic<bool> m_Stopping{false};
  std::mutex m_Mutex;
  EngineFigures m_Figures;
  std::thread m_Thread;
};

class CountingGps : public Sensor<GPSOutput> {
 public:
  void onSensorOutput(const EngineToClientMessage&, const SensorOutput& output,
                      const GPSOutput&) override {
    EXPECT_EQ(output.outputsensorid(), kGpsId);
    ++calls;
  }
  long calls = 0;
};

// What each operation may return, by what its documentation names: its own refusals, the
// transport's failures, and for a command the engine's code.
const std::set<int> kTransport = {VANTREL_ERR_CONNECTION_FAILED, VANTREL_ERR_CONNECTION_TIMEOUT,
                                  VANTREL_ERR_DISCONNECTED, VANTREL_ERR_UNEXPECTED};
std::set<int> withTransport(std::set<int> codes) {
  codes.insert(kTransport.begin(), kTransport.end());
  return codes;
}
const std::set<int> kAcknowledged = withTransport(
    {VANTREL_ERR_OK, VANTREL_ERR_REGISTER_SENSOR_FAILED, VANTREL_ERR_BAD_TIMING_SETTINGS});
const std::set<int> kTerrain = withTransport({VANTREL_ERR_OK, VANTREL_ERR_NOT_IMPLEMENTED});
const std::set<int> kCars = withTransport({VANTREL_ERR_OK});
const std::set<int> kFrame = withTransport({VANTREL_ERR_OK});
const std::set<int> kSendOnly = {VANTREL_ERR_OK, VANTREL_ERR_CONNECTION_FAILED};

TEST(Soak, HostileEngineNeverBreaksTheClient) {
  HostileEngine engine(kSeed);
  ASSERT_TRUE(engine.listening());
  std::mt19937 random(kSeed + 1);
  auto below = [&](uint32_t bound) {
    return std::uniform_int_distribution<uint32_t>(0, bound - 1)(random);
  };

  VantrelSim sim;
  CountingGps gps;
  bool connected = false;
  long reconnects = 0, failures = 0;
  std::map<std::string, long> calls;
  long warmResident = 0;
  const auto start = std::chrono::steady_clock::now();
  int iteration = 0;

  // Runs one operation and checks its result against the codes it documents.
  auto check = [&](const char* operation, int result, const std::set<int>& allowed) {
    ++calls[operation];
    EXPECT_TRUE(allowed.count(result) == 1)
        << operation << " returned " << result << " in iteration " << iteration;
    if (result == VANTREL_ERR_CONNECTION_FAILED) connected = false;
    if (result != VANTREL_ERR_OK) ++failures;
  };

  for (; iteration < kIterations && std::chrono::steady_clock::now() - start < kTimeBudget;
       ++iteration) {
    if (iteration == kWarmUpIterations) warmResident = residentKiB();
    if (!connected) {
      const int result = sim.connectToEngine(engine.connectionString());
      ASSERT_EQ(result, VANTREL_ERR_OK);
      connected = true;
      ++reconnects;
    }
    bool running = false;
    sim.isRunning(running);
    if (!running) {
      switch (below(6)) {
        case 0: {
          auto* version = new VersionCommand;
          version->set_sdkversion(sim.getSDKVersion());
          check("setVersionCommand", sim.setVersionCommand(version), kAcknowledged);
          break;
        }
        case 1: {
          std::string terrain;
          check("getTerrain", sim.getTerrain(terrain), kTerrain);
          break;
        }
        case 2: {
          unsigned int cars = 0;
          check("getNumberOfCars", sim.getNumberOfCars(cars), kCars);
          break;
        }
        case 3: {
          auto* configuration = new ConfigurationCommand;
          configuration->mutable_timestepconfig()->set_fps(60);
          check("setConfiguration", sim.setConfiguration(configuration), kAcknowledged);
          break;
        }
        case 4:
          check("registerSensor", sim.registerSensor(0, kGpsId, gps), kAcknowledged);
          break;
        default:
          check("start", sim.start(NonBlocking), kAcknowledged);
          break;
      }
    } else {
      switch (below(8)) {
        case 0:
          check("sendCarControlGasCmd", sim.sendCarControlGasCmd(0, 0.5f), kSendOnly);
          break;
        case 1:
          check("stop", sim.stop(1, "soak"), kSendOnly);
          break;
        default:
          check("advanceFramesAndBlockForMessages", sim.advanceFramesAndBlockForMessages(0.3f),
                kFrame);
          check("dispatchMessages", sim.dispatchMessages(), {VANTREL_ERR_OK});
          break;
      }
    }
  }
  const long endResident = residentKiB();
  sim.disconnectFromEngine();
  const EngineFigures figures = engine.figures();

  std::printf(
      "soak: seed %u, %d iterations, %ld bad frames, %ld reconnects, %ld faults "
      "(%ld cut replies, %ld pauses, %ld resets, %ld closes mid-frame, %ld ends of "
      "simulation), %ld failed calls, %ld sensor deliveries, resident %ld KiB after "
      "warm-up and %ld KiB at the end\n",
      kSeed, iteration, figures.badFrames, reconnects, figures.faults(), figures.cutReplies,
      figures.pauses, figures.resets, figures.closes, figures.ends, failures, gps.calls,
      warmResident, endResident);
  EXPECT_GE(iteration, 200) << "too few iterations to mean anything";
  EXPECT_GT(figures.badFrames, 0);
  EXPECT_GT(figures.resets + figures.closes, 0);
  EXPECT_GT(reconnects, 1);
  EXPECT_GT(gps.calls, 0);
  ASSERT_GT(warmResident, 0);
  EXPECT_LT(endResident - warmResident, kResidentMarginKiB);
}

}  // namespace
