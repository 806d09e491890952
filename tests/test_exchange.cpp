// The proxy's message exchange against the test engine: sending and its limits, the receive
// handler's filing and diagnostics, the acknowledgement and query waits, connection strings,
// reconnecting, the engine closing, destruction, and frames that take many reads.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Capture.h"
#include "TestEngine.h"
#include "VantrelSim.h"
#include "zel_net.h"

using namespace Vantrel::SDK;
using namespace Vantrel::Testing;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

VersionCommand* versions(const std::string& sdk = "1.3.51", const std::string& oem = "oem") {
  auto* version = new VersionCommand;
  version->set_sdkversion(sdk);
  version->set_oemversion(oem);
  return version;
}

ClientToEngineMessage logMessage(const std::string& text) {
  ClientToEngineMessage message;
  message.mutable_command()->mutable_logcommand()->set_msg(text);
  return message;
}

ClientToEngineMessage engineVersionQuery() {
  ClientToEngineMessage message;
  message.mutable_query()->mutable_engineversionquery();
  return message;
}

EngineToClientMessage engineVersionReply(const std::string& version) {
  EngineToClientMessage message;
  message.mutable_queryreport()->mutable_engineversionreport()->set_version(version);
  return message;
}

std::string rawFrame(const std::string& payload) {
  return frameHeader(static_cast<int64_t>(payload.size())) + payload;
}

bool isLog(const ClientFrame& sent, const std::string& text) {
  return sent.decoded && sent.message.command().has_logcommand() &&
         sent.message.command().logcommand().msg() == text;
}

const EngineToClientMessage kLoading = loadingState(LoadingStateReport::Terrain);

// A proxy connected to its own test engine.
class Exchange : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
  }

  // Sends a log line: a client frame that the engine's script can wait for, with no reply.
  void sendFrame(const std::string& text = "sync") { ASSERT_EQ(sim.log(0, text), VANTREL_ERR_OK); }

  // Starts the simulation; the engine acknowledges the start, the `frame`-th client frame.
  void startRunning(size_t frame) {
    engine.awaitFrames(frame).send(acknowledgement(0));
    ASSERT_EQ(sim.start(NonBlocking), VANTREL_ERR_OK);
    bool running = false;
    sim.isRunning(running);
    ASSERT_TRUE(running);
  }

  TestEngine engine;  // declared first, so that the proxy goes before its engine
  VantrelSim sim;
};

TEST_F(Exchange, FrameArrivingInSeveralReadsIsDeliveredOnce) {
  const std::string ack =
      frame(stamped(acknowledgement(VANTREL_ERR_BAD_TIMING_SETTINGS), 4, 0.25f));
  engine.awaitFrames(1).sendCut(ack, {3, 8, 11});
  EXPECT_EQ(sim.setVersionCommand(versions()), VANTREL_ERR_BAD_TIMING_SETTINGS);
  unsigned int frameNumber = 0;
  sim.getCurrFrame(frameNumber);
  EXPECT_EQ(frameNumber, 4u);

  // Had the pieces been delivered twice, this wait would find the acknowledgement again.
  engine.awaitFrames(2).send(kLoading);
  sendFrame();
  int result = 0;
  EXPECT_EQ(stderrOf([&] { result = sim.waitForErrorMessage(10); }),
            "should not awake if m_ErrorList is empty\n");
  EXPECT_EQ(result, VANTREL_ERR_UNEXPECTED);
}

// Each case arrives in one read while the simulation runs; the acknowledgement wait reports the
// status of the read's last frame.
TEST(ReceiveHandler, FilesEachReportTypeAndReportsTheLastFrameOfTheRead) {
  EngineToClientMessage noReport;
  const std::string undecodable = rawFrame("\xff\xff");
  struct Case {
    const char* name;
    std::string read;
    int result;
    std::string errors;
    std::string output;
    unsigned int frameNumber;
    float simulationTime;
    bool running;
  };
  const std::vector<Case> cases = {
      {"undecodable frame last", frame(stamped(acknowledgement(-5000), 7, 1.5f)) + undecodable,
       VANTREL_ERR_UNEXPECTED, "bad message\n", "", 7, 1.5f, true},
      {"undecodable frame before an acknowledgement",
       undecodable + frame(stamped(acknowledgement(-5000), 8, 2.0f)), -5000, "bad message\n", "", 8,
       2.0f, true},
      {"no report type", frame(stamped(noReport, 12, 3.5f)), VANTREL_ERR_UNEXPECTED,
       "Unknown ReportType\nshould not awake if m_ErrorList is empty\n", "", 12, 3.5f, true},
      {"end of simulation last", frame(stamped(endOfSimulation("scene finished"), 30, 9.0f)),
       VANTREL_ERR_DISCONNECTED, "", "Simulation Ended, Reason: scene finished\n", 30, 9.0f, false},
      {"end of simulation before an acknowledgement",
       frame(endOfSimulation("")) + frame(stamped(acknowledgement(-103), 31, 9.5f)), -103, "",
       "Simulation Ended, Reason: \n", 31, 9.5f, false},
      {"an acknowledgement with frame number 0 resets the current frame",
       frame(stamped(acknowledgement(0), 9, 4.0f)) + frame(acknowledgement(-2000)), -2000, "", "",
       0, 0.0f, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestEngine engine;
    VantrelSim sim;
    ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
    engine.awaitFrames(1).send(stamped(acknowledgement(0), 1, 0.5f));
    ASSERT_EQ(sim.start(NonBlocking), VANTREL_ERR_OK);
    engine.awaitFrames(2).sendRaw(c.read);
    ASSERT_EQ(sim.log(0, "sync"), VANTREL_ERR_OK);

    int result = 0;
    std::string output;
    const std::string errors =
        stderrOf([&] { output = stdoutOf([&] { result = sim.waitForErrorMessage(10); }); });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(errors, c.errors);
    EXPECT_EQ(output, c.output);
    unsigned int frameNumber = 1234;
    float simulationTime = -1.0f;
    sim.getCurrFrame(frameNumber);
    sim.getCurrSimulationTime(simulationTime);
    EXPECT_EQ(frameNumber, c.frameNumber);
    EXPECT_EQ(simulationTime, c.simulationTime);
    bool running = !c.running;
    sim.isRunning(running);
    EXPECT_EQ(running, c.running);
  }
}

TEST_F(Exchange, NegativeLengthEndsTheReadAndEveryLaterOne) {
  engine.awaitFrames(1).sendRaw(frame(acknowledgement(-5000)) + frameHeader(-1) + "x");
  sendFrame();
  int result = 0;
  EXPECT_EQ(stderrOf([&] { result = sim.waitForErrorMessage(10); }),
            "Can't parse negative size message\n");
  EXPECT_EQ(result, VANTREL_ERR_UNEXPECTED);

  // The bad header stays in front: a read that delivers nothing does not end the wait.
  engine.awaitFrames(2).send(acknowledgement(0));
  sendFrame();
  EXPECT_EQ(stderrOf([&] { result = sim.waitForErrorMessage(1.5f); }),
            "Can't parse negative size message\n");
  EXPECT_EQ(result, VANTREL_ERR_CONNECTION_TIMEOUT);
}

TEST_F(Exchange, EndOfSimulationClearsBothFlagsAndLeavesNothingToStop) {
  startRunning(1);
  engine.awaitFrames(2).send(endOfSimulation("time limit reached"));
  sendFrame();
  int result = 0;
  EXPECT_EQ(stdoutOf([&] { result = sim.waitForErrorMessage(10); }),
            "Simulation Ended, Reason: time limit reached\n");
  EXPECT_EQ(result, VANTREL_ERR_DISCONNECTED);
  bool running = true;
  sim.isRunning(running);
  EXPECT_FALSE(running);

  // Should the loading flag still be set, this loading state ends the wait at once instead of
  // the scene-loading time-out.
  engine.awaitFrames(3).send(kLoading);
  sendFrame();
  bool loading = true;
  EXPECT_EQ(sim.isLoadingScene(loading), VANTREL_ERR_OK);
  EXPECT_FALSE(loading);

  ASSERT_TRUE(eventually([&] { return engine.clientConnected(); }));
  EXPECT_EQ(sim.disconnectFromEngine(), VANTREL_ERR_OK);
  ASSERT_TRUE(eventually([&] { return !engine.clientConnected(); }));
  const std::vector<ClientFrame> sent = engine.frames();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_TRUE(isLog(sent[2], "sync"));
}

TEST_F(Exchange, AcknowledgementsAreTakenNewestFirst) {
  engine.awaitFrames(1).sendTogether({acknowledgement(-5001), acknowledgement(-5002)});
  EXPECT_EQ(sim.setVersionCommand(versions()), -5002);
  EXPECT_EQ(sim.lastError(), -5002);

  // The older one stays filed; the next wait, woken by other traffic, takes it.
  engine.awaitFrames(2).send(kLoading);
  sendFrame();
  EXPECT_EQ(sim.waitForErrorMessage(10), -5001);
  EXPECT_EQ(sim.lastError(), -5001);
}

TEST_F(Exchange, AcknowledgementWaitWokenOnlyByOtherTrafficFails) {
  engine.awaitFrames(1).send(kLoading);
  int result = 0;
  EXPECT_EQ(stderrOf([&] { result = sim.setVersionCommand(versions("1.3.51", "oem 2")); }),
            "sending the version  1.3.51\nsending the version  oem 2\n"
            "should not awake if m_ErrorList is empty\n");
  EXPECT_EQ(result, VANTREL_ERR_UNEXPECTED);

  // The acknowledgement that comes late is taken by the next wait.
  engine.awaitFrames(2).send(acknowledgement(-6000));
  sendFrame();
  EXPECT_EQ(sim.waitForErrorMessage(10), -6000);
}

TEST_F(Exchange, LastErrorIsTheLastCodeTaken) {
  EXPECT_EQ(sim.lastError(), VANTREL_ERR_OK);
  const std::vector<int> codes = {-5002, 0, -7, -2000};  // -7 is not a listed code
  for (size_t i = 0; i < codes.size(); ++i) {
    SCOPED_TRACE(codes[i]);
    engine.awaitFrames(i + 1).send(acknowledgement(codes[i]));
    EXPECT_EQ(sim.setVersionCommand(versions()), codes[i]);
    EXPECT_EQ(sim.lastError(), codes[i]);
  }

  EngineToClientMessage loading = kLoading;
  EXPECT_EQ(sim.checkMessageError(loading), VANTREL_ERR_OK);
  EXPECT_EQ(sim.lastError(), -2000);
  EngineToClientMessage refusal = acknowledgement(-7);
  EXPECT_EQ(sim.checkMessageError(refusal), -7);
  EXPECT_EQ(sim.lastError(), -7);
}

TEST_F(Exchange, QueryWaitGivesUpWhenItsTimeIsUsedWhileOtherTrafficGoesOn) {
  for (int i = 0; i < 100; ++i) engine.send(kLoading).pause(50ms);  // five seconds of traffic
  const auto start = Clock::now();
  EXPECT_EQ(sim.waitForQueryMessage(0.3f), VANTREL_ERR_CONNECTION_TIMEOUT);
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, 290ms);
  EXPECT_LT(elapsed, 3s);
}

TEST_F(Exchange, QueryWaitEndsOnceAReplyIsFiledAndLeavesIt) {
  engine.send(kLoading)
      .pause(30ms)
      .send(acknowledgement(-4000))
      .pause(30ms)
      .send(stamped(engineVersionReply("7.1"), 5, 0.0f));
  EXPECT_EQ(sim.waitForQueryMessage(10), VANTREL_ERR_OK);
  unsigned int frameNumber = 0;
  sim.getCurrFrame(frameNumber);
  EXPECT_EQ(frameNumber, 5u);

  // The reply is still filed: the next wait ends after any read.
  engine.awaitFrames(1).send(kLoading);
  sendFrame();
  EXPECT_EQ(sim.waitForQueryMessage(10), VANTREL_ERR_OK);
}

TEST_F(Exchange, EncodedMessagesUpTo2040BytesGoOutAsOneFrame) {
  // Message, command and log command each add a tag byte and a two-byte length.
  const ClientToEngineMessage atLimit = logMessage(std::string(2031, 'm'));
  ClientToEngineMessage overLimit = logMessage(std::string(2032, 'm'));
  ASSERT_EQ(atLimit.ByteSizeLong(), 2040u);
  ASSERT_EQ(overLimit.ByteSizeLong(), 2041u);

  ClientToEngineMessage sendable = atLimit;
  EXPECT_EQ(sim.sendMessage(sendable), VANTREL_ERR_OK);
  int result = 0;
  std::string output;
  const std::string errors =
      stderrOf([&] { output = stdoutOf([&] { result = sim.sendMessage(overLimit); }); });
  EXPECT_EQ(result, VANTREL_ERR_SEND_CMD_FAILED);
  EXPECT_EQ(errors, "");
  EXPECT_EQ(output, "");
  sendFrame("after");

  ASSERT_TRUE(engine.waitForFrames(2, 5s));
  const std::vector<ClientFrame> sent = engine.frames();
  ASSERT_EQ(sent[0].raw.size(), 2048u);
  EXPECT_EQ(hexOf(sent[0].raw.substr(0, 8)), "f8 07 00 00 00 00 00 00");
  EXPECT_EQ(sent[0].payload, atLimit.SerializeAsString());
  EXPECT_TRUE(isLog(sent[1], "after"));  // nothing went out in between
}

TEST_F(Exchange, QueriesAreRefusedWhileRunningAndCommandsAreNot) {
  ClientToEngineMessage query = engineVersionQuery();
  EXPECT_EQ(sim.sendMessage(query), VANTREL_ERR_OK);
  startRunning(2);

  int result = 0;
  EXPECT_EQ(stderrOf([&] { result = sim.sendMessage(query); }),
            "Can't call query commands after simulation has started\n");
  EXPECT_EQ(result, VANTREL_ERR_UNEXPECTED);
  ClientToEngineMessage command = logMessage("while running");
  EXPECT_EQ(sim.sendMessage(command), VANTREL_ERR_OK);

  ASSERT_TRUE(engine.waitForFrames(3, 5s));
  const std::vector<ClientFrame> sent = engine.frames();
  EXPECT_TRUE(sent[0].message.query().has_engineversionquery());
  EXPECT_TRUE(sent[1].message.command().simulationcommand().has_startsimulation());
  EXPECT_TRUE(isLog(sent[2], "while running"));
}

TEST(ConnectionString, HostEndsAtTheFirstBlankAndThePortIsTheRest) {
  struct Case {
    const char* name;
    std::string connection;  // "PORT" stands for the engine's port
    int result;
    std::string errors;
    std::string lastError;  // after the call; "marker" when nothing was tried
  };
  const std::vector<Case> cases = {
      {"no blank", "127.0.0.1:PORT", VANTREL_ERR_CONNECTION_FAILED, "invalid connection string",
       "marker"},
      {"empty", "", VANTREL_ERR_CONNECTION_FAILED, "invalid connection string", "marker"},
      {"the port runs to the end", "127.0.0.1 PORT x", VANTREL_ERR_CONNECTION_FAILED, "",
       "Cannot resolve hostname"},
      {"host and port", "127.0.0.1 PORT", VANTREL_ERR_OK, "", "marker"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestEngine engine;
    std::string connection = c.connection;
    const size_t port = connection.find("PORT");
    if (port != std::string::npos) connection.replace(port, 4, engine.port());
    VantrelSim sim;
    zel_net_set_last_error("marker");
    int result = 0;
    EXPECT_EQ(stderrOf([&] { result = sim.connectToEngine(connection); }), c.errors);
    EXPECT_EQ(result, c.result);
    EXPECT_STREQ(zel_net_get_last_error(), c.lastError.c_str());
    // An unconnected proxy refuses to send.
    EXPECT_EQ(sim.log(0, "probe"),
              c.result == VANTREL_ERR_OK ? VANTREL_ERR_OK : VANTREL_ERR_CONNECTION_FAILED);
    if (c.result == VANTREL_ERR_OK) {
      EXPECT_TRUE(engine.waitForFrames(1, 5s));
    }
  }
}

TEST(ConnectionString, DefaultIsLocalPort8052) {
  zel_net_socket_t probe;
  zel_net_reset_socket(&probe);
  if (zel_net_open_socket(&probe, "127.0.0.1", "8052") == 0) {
    zel_net_close_socket(&probe);
    GTEST_SKIP() << "something listens on 127.0.0.1 port 8052";
  }
  VantrelSim sim;
  zel_net_set_last_error("marker");
  EXPECT_EQ(sim.connectToEngine(), VANTREL_ERR_CONNECTION_FAILED);
  EXPECT_STREQ(zel_net_get_last_error(), "Cannot connect to host");
}

TEST_F(Exchange, ReconnectingClosesTheOldConnectionAndDropsItsUnfinishedFrame) {
  // The first connection ends inside a frame that announces 100 bytes.
  engine.awaitFrames(1).sendRaw(frame(acknowledgement(0)) + frameHeader(100) + "abc");
  ASSERT_EQ(sim.setVersionCommand(versions()), VANTREL_ERR_OK);

  // The engine serves one client at a time: it reaches the new one only once the old one left.
  ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
  engine.awaitFrames(2).send(stamped(acknowledgement(-5000), 3, 0.5f));
  sendFrame();
  EXPECT_EQ(sim.waitForErrorMessage(10), -5000);
  unsigned int frameNumber = 0;
  sim.getCurrFrame(frameNumber);
  EXPECT_EQ(frameNumber, 3u);
}

TEST_F(Exchange, OrderlyCloseByTheEngineDuringAWait) {
  engine.awaitFrames(1).closeConnection();
  sendFrame();
  zel_net_set_last_error("Cannot receive data");  // an unrelated earlier failure
  int result = 0;
  EXPECT_EQ(stderrOf([&] { result = sim.waitForErrorMessage(10); }), "Connection closed by peer\n");
  EXPECT_EQ(result, VANTREL_ERR_CONNECTION_FAILED);
  // The proxy stays usable and keeps reporting the close.
  EXPECT_EQ(stderrOf([&] { result = sim.waitForErrorMessage(10); }), "Connection closed by peer\n");
  EXPECT_EQ(result, VANTREL_ERR_CONNECTION_FAILED);
}

TEST(Destruction, RunningProxyIsStoppedBeforeItsConnectionCloses) {
  // ClientToEngineMessage.command (11) > Command.simulationCommand (11) >
  // SimulationCommand.stopSimulation (11) > StopSimulation.reasonText (2); reasonID 0 is not
  // encoded.
  const std::string stop =
      bytesFromHex("1c 00 00 00 00 00 00 00  5a 1a 5a 18 5a 16 12 14") + "Disconnect requested";
  for (bool running : {true, false}) {
    SCOPED_TRACE(running ? "running" : "not running");
    TestEngine engine;
    {
      VantrelSim sim;
      ASSERT_EQ(sim.connectToEngine(engine.connectionString()), VANTREL_ERR_OK);
      if (running) {
        engine.awaitFrames(1).send(acknowledgement(0));
        ASSERT_EQ(sim.start(NonBlocking), VANTREL_ERR_OK);
      }
      ASSERT_TRUE(eventually([&] { return engine.clientConnected(); }));
    }
    ASSERT_TRUE(eventually([&] { return !engine.clientConnected(); }));
    const std::vector<ClientFrame> sent = engine.frames();
    ASSERT_EQ(sent.size(), running ? 2u : 0u);
    if (running) {
      EXPECT_EQ(hexOf(sent[1].raw), hexOf(stop));
    }
  }
}

TEST_F(Exchange, NullVersionCommandIsRefusedAndSendsNothing) {
  EXPECT_EQ(sim.setVersionCommand(nullptr), VANTREL_ERR_BAD_PARAMS);
  sendFrame("after");
  ASSERT_TRUE(engine.waitForFrames(1, 5s));
  EXPECT_TRUE(isLog(engine.frames()[0], "after"));
}

TEST(Proxy, UnconnectedProxyAnswersItsOwnQuestions) {
  VantrelSim sim;
  EXPECT_EQ(sim.getSDKVersion(), "1.3.51");
  EXPECT_EQ(sim.getId(), "");
  std::string version = "left over";
  EXPECT_EQ(sim.geStudioVersion(version), VANTREL_ERR_NOT_IMPLEMENTED);
  EXPECT_EQ(version, "");
  EXPECT_EQ(sim.lastError(), VANTREL_ERR_OK);
  EXPECT_EQ(sim.disconnectFromEngine(), VANTREL_ERR_OK);
}

// The framing object alone against the engine: a frame far larger than one read, cut at odd
// places, arrives intact and the small frames behind it still come through.
TEST(LargeFrame, ArrivesIntactAndSmallFramesFollow) {
  std::string large(8u << 20, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>((i * 131) ^ (i >> 11));
  std::vector<std::string> expected = {large};
  std::string stream = rawFrame(large);
  const size_t largeEnd = stream.size();
  for (int i = 0; i < 60; ++i) {
    expected.push_back("small " + std::to_string(i));
    stream += rawFrame(expected.back());
  }

  TestEngine engine;
  engine.sendCut(stream, {5, 3000, (4u << 20) + 1, largeEnd - 1, largeEnd + 7}, 5ms);
  VantrelSocket socket;
  std::vector<std::string> received;
  socket.register_callback([&](unsigned char* data, unsigned long size, VantrelErr&) {
    received.emplace_back(reinterpret_cast<const char*>(data), size);
  });
  ASSERT_EQ(socket.connect(engine.host(), engine.port()), VANTREL_ERR_OK);
  while (received.size() < expected.size()) {
    ASSERT_EQ(socket.waitForMessage(10), VANTREL_ERR_OK);
  }
  ASSERT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received[0] == large) << "the large frame arrived altered";
  EXPECT_EQ(std::vector<std::string>(received.begin() + 1, received.end()),
            std::vector<std::string>(expected.begin() + 1, expected.end()));
}

}  // namespace
