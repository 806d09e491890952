// Faults of the world around the client: the engine process dies in the middle of a run, the
// client process holds more descriptors than select() could watch, a periodic signal interrupts
// every kind of wait, and a short time-out has to be kept under all of this.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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

constexpr unsigned int kGpsId = 5;

class CountingGps : public Sensor<GPSOutput> {
 public:
  void onSensorOutput(const EngineToClientMessage&, const SensorOutput&,
                      const GPSOutput&) override {
    ++calls;
  }
  int calls = 0;
};

template <typename Action>
double secondsTaken(Action&& action) {
  const auto start = std::chrono::steady_clock::now();
  action();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Connects, registers the GPS sensor and starts; then runs `frames` frames, each dispatched.
void startAndRun(VantrelSim& sim, const std::string& connection, CountingGps& gps, int frames) {
  ASSERT_EQ(sim.connectToEngine(connection), VANTREL_ERR_OK);
  ASSERT_EQ(sim.registerSensor(0, kGpsId, gps), VANTREL_ERR_OK);
  ASSERT_EQ(sim.start(NonBlocking), VANTREL_ERR_OK);
  for (int i = 0; i < frames; ++i) {
    ASSERT_EQ(sim.advanceFramesAndBlockForMessages(5.0f), VANTREL_ERR_OK) << "frame " << i;
    ASSERT_EQ(sim.dispatchMessages(), VANTREL_ERR_OK);
  }
}

// ---- The engine process killed in the middle of a run -----------------------------------------

// An engine in a process of its own, so that it can be killed as a crashing engine dies.
class EngineProcess {
 public:
  EngineProcess() {
    int ports[2];
    if (pipe(ports) != 0) return;
    m_Pid = fork();
    if (m_Pid == 0) {
      close(ports[0]);
      TestEngine engine;
      engine.respondWith(runningEngine(kGpsId));
      const std::string port = engine.port() + "\n";
      if (write(ports[1], port.data(), port.size()) < 0) _exit(1);
      for (;;) pause();
    }
    close(ports[1]);
    char text[16] = {};
    for (size_t got = 0; got < sizeof text - 1;) {
      const ssize_t n = read(ports[0], text + got, sizeof text - 1 - got);
      if (n <= 0 || text[got + n - 1] == '\n') break;
      got += static_cast<size_t>(n);
    }
    close(ports[0]);
    m_Port = std::atoi(text);
  }
  ~EngineProcess() { kill(); }
  EngineProcess(const EngineProcess&) = delete;
  EngineProcess& operator=(const EngineProcess&) = delete;

  bool started() const { return m_Pid > 0 && m_Port > 0; }
  std::string connectionString() const { return "127.0.0.1 " + std::to_string(m_Port); }
  void kill() {
    if (m_Pid <= 0) return;
    ::kill(m_Pid, SIGKILL);
    waitpid(m_Pid, nullptr, 0);
    m_Pid = -1;
  }

 private:
  pid_t m_Pid = -1;
  int m_Port = 0;
};

TEST(EngineKilled, NextCallFailsWithinItsTimeOutAndARestartedEngineWorks) {
  VantrelSim sim;
  CountingGps gps;
  {
    EngineProcess engine;
    ASSERT_TRUE(engine.started());
    startAndRun(sim, engine.connectionString(), gps, 3);
    engine.kill();
  }
  int result = 0;
  const double taken = secondsTaken([&] { result = sim.advanceFramesAndBlockForMessages(2.0f); });
  EXPECT_EQ(result, VANTREL_ERR_CONNECTION_FAILED);
  EXPECT_LT(taken, 2.0);
  // The proxy goes on failing cleanly on the dead connection.
  EXPECT_EQ(sim.advanceFramesAndBlockForMessages(2.0f), VANTREL_ERR_CONNECTION_FAILED);

  EngineProcess restarted;
  ASSERT_TRUE(restarted.started());
  startAndRun(sim, restarted.connectionString(), gps, 3);
  EXPECT_EQ(gps.calls, 6);
  EXPECT_EQ(sim.stop(0, "done"), VANTREL_ERR_OK);
}

// ---- More than 1024 descriptors --------------------------------------------------------------

TEST(ManyDescriptors, ClientAboveDescriptor1024ConnectsAndRuns) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  const rlim_t wanted = 1300;
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted)
    GTEST_SKIP() << "the hard descriptor limit is " << limit.rlim_max;
  const rlimit saved = limit;
  if (limit.rlim_cur < wanted) limit.rlim_cur = wanted;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);

  std::vector<int> filler;
  while (filler.empty() || filler.back() < 1100) {
    const int descriptor = open("/dev/null", O_RDONLY);
    ASSERT_NE(descriptor, -1);
    filler.push_back(descriptor);
  }
  {
    TestEngine engine;  // its sockets, too, lie above 1024
    engine.respondWith(runningEngine(kGpsId));
    VantrelSim sim;
    CountingGps gps;
    startAndRun(sim, engine.connectionString(), gps, 5);
    EXPECT_EQ(gps.calls, 5);
    std::string terrain;
    EXPECT_EQ(sim.stop(0, "done"), VANTREL_ERR_OK);
    EXPECT_EQ(sim.getTerrain(terrain), VANTREL_ERR_OK);
    EXPECT_EQ(terrain, "flat");
  }
  for (int descriptor : filler) close(descriptor);
  setrlimit(RLIMIT_NOFILE, &saved);
}

// ---- A periodic signal during every kind of wait ----------------------------------------------

std::atomic<int> g_Interruptions{0};
void countInterruption(int) { ++g_Interruptions; }

// SIGALRM every millisecond, with a handler installed without SA_RESTART, so that every blocking
// system call of the client's thread returns EINTR. The test engine's thread is created with the
// signal blocked, so that the signal always lands on the client's thread.
class PeriodicSignal : public ::testing::Test {
 protected:
  void SetUp() override {
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, &m_SavedMask);
    m_Engine.reset(new TestEngine);
    pthread_sigmask(SIG_SETMASK, &m_SavedMask, nullptr);

    struct sigaction action {};
    action.sa_handler = countInterruption;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART
    sigaction(SIGALRM, &action, &m_SavedAction);
    ASSERT_EQ(sim.connectToEngine(m_Engine->connectionString()), VANTREL_ERR_OK);
  }
  void TearDown() override {
    stopSignal();
    sigaction(SIGALRM, &m_SavedAction, nullptr);
  }
  void startSignal() {
    g_Interruptions = 0;
    itimerval every{{0, 1000}, {0, 1000}};
    setitimer(ITIMER_REAL, &every, nullptr);
  }
  void stopSignal() {
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
  }
  // The reply comes 150 ms after the client's `frame`-th frame: the wait is interrupted ~100 times.
  void replyLate(size_t frame, const EngineToClientMessage& reply) {
    engine().awaitFrames(frame).pause(150ms).sendCut(::Vantrel::Testing::frame(reply), {3, 9},
                                                     10ms);
  }
  TestEngine& engine() { return *m_Engine; }

  std::unique_ptr<TestEngine> m_Engine;
  VantrelSim sim;

 private:
  sigset_t m_SavedMask{};
  struct sigaction m_SavedAction {};
};

TEST_F(PeriodicSignal, NoWaitFailsSpuriously) {
  replyLate(1, loadingState(LoadingStateReport::Done));  // frame 1 is the log line below
  replyLate(2, acknowledgement(0));                      // version
  replyLate(3, terrainReply("hills"));                   // terrain query
  replyLate(4, acknowledgement(0));                      // start
  replyLate(5, gpsFrame(1, kGpsId));                     // next frame

  startSignal();
  EXPECT_EQ(sim.log(0, "interrupted"), VANTREL_ERR_OK);
  bool loading = true;
  EXPECT_EQ(sim.isLoadingScene(loading), VANTREL_ERR_OK);
  EXPECT_FALSE(loading);
  const int afterLoading = g_Interruptions;

  auto* version = new VersionCommand;
  version->set_sdkversion(sim.getSDKVersion());
  EXPECT_EQ(sim.setVersionCommand(version), VANTREL_ERR_OK);
  std::string terrain;
  EXPECT_EQ(sim.getTerrain(terrain), VANTREL_ERR_OK);
  EXPECT_EQ(terrain, "hills");
  EXPECT_EQ(sim.start(Blocking), VANTREL_ERR_OK);
  EXPECT_EQ(sim.advanceFramesAndBlockForMessages(5.0f), VANTREL_ERR_OK);
  const int interruptions = g_Interruptions;
  stopSignal();

  // The signal really did arrive during the waits, many times each.
  EXPECT_GT(afterLoading, 20);
  EXPECT_GT(interruptions, 80);
  unsigned int frame = 0;
  sim.getCurrFrame(frame);
  EXPECT_EQ(frame, 1u);
}

TEST_F(PeriodicSignal, ShortTimeOutIsKeptDespiteInterruptions) {
  engine().awaitFrames(1).send(acknowledgement(0));
  ASSERT_EQ(sim.start(NonBlocking), VANTREL_ERR_OK);
  startSignal();
  int result = 0;
  // The engine never answers this frame: the wait must end at its time-out, not restart it.
  const double taken = secondsTaken([&] { result = sim.advanceFramesAndBlockForMessages(0.2f); });
  stopSignal();
  EXPECT_EQ(result, VANTREL_ERR_CONNECTION_TIMEOUT);
  EXPECT_GE(taken, 0.19);
  EXPECT_LT(taken, 1.5);
  EXPECT_GT(g_Interruptions, 20);
}

TEST(TimeOut, WaitOfTwoTenthsReturnsNearIt) {
  TestEngine engine;
  engine.awaitFrames(1).send(acknowledgement(0));
  VantrelSim sim;
  ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
  ASSERT_EQ(sim.start(NonBlocking), VANTREL_ERR_OK);
  int result = 0;
  const double taken = secondsTaken([&] { result = sim.advanceFramesAndBlockForMessages(0.2f); });
  EXPECT_EQ(result, VANTREL_ERR_CONNECTION_TIMEOUT);
  EXPECT_GE(taken, 0.19);
  EXPECT_LT(taken, 1.5);
}

}  // namespace
