#include "Clients.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "GrpcPeer.h"
#include "Sockets.h"
#include "VantrelSim.h"
#include "Workloads.h"

namespace VantrelBench {

using namespace Vantrel::SDK;

namespace {

// Long enough for the largest frame on a loaded machine; a frame that takes longer is a failure.
constexpr float kFrameTimeout = 60.0f;
constexpr size_t kLimitInitialBuffer = 64 * 1024;

// What the raw socket allows: the request goes out in one send, the answer comes in with reads as
// large as the rest of the frame, straight into one buffer that is kept from frame to frame.
class LimitClient : public FrameClient {
 public:
  explicit LimitClient(int descriptor)
      : m_Descriptor(descriptor),
        m_Request(wireFrame(nextFrameRequest())),
        m_Buffer(new unsigned char[kLimitInitialBuffer]),
        m_Capacity(kLimitInitialBuffer) {}
  ~LimitClient() override { ::close(m_Descriptor); }

  bool runFrames(int count) override {
    for (int i = 0; i < count; ++i) {
      if (!sendAll(m_Descriptor, m_Request.data(), m_Request.size())) {
        std::cerr << "limit client: send failed: " << std::strerror(errno) << std::endl;
        return false;
      }
      if (!receiveFrame()) return false;
    }
    return true;
  }

 private:
  bool receiveFrame() {
    size_t held = 0;
    size_t frameEnd = kFrameHeaderSize;
    while (held < frameEnd) {
      const ssize_t received = ::recv(m_Descriptor, m_Buffer.get() + held, m_Capacity - held, 0);
      if (received <= 0) {
        if (received < 0 && errno == EINTR) continue;
        std::cerr << "limit client: receive failed: "
                  << (received == 0 ? "connection closed" : std::strerror(errno)) << std::endl;
        return false;
      }
      const bool headerWasIncomplete = held < kFrameHeaderSize;
      held += static_cast<size_t>(received);
      if (headerWasIncomplete && held >= kFrameHeaderSize) {
        frameEnd = kFrameHeaderSize + static_cast<size_t>(frameLength(m_Buffer.get()));
        if (frameEnd > m_Capacity) grow(frameEnd, held);
      }
    }
    // In lockstep the engine sends one frame per request and nothing behind it.
    if (held != frameEnd) {
      std::cerr << "limit client: bytes beyond the answer" << std::endl;
      return false;
    }
    m_Sink += touchPages(m_Buffer.get() + kFrameHeaderSize, frameEnd - kFrameHeaderSize);
    return true;
  }

  void grow(size_t capacity, size_t held) {
    std::unique_ptr<unsigned char[]> larger(new unsigned char[capacity]);
    std::memcpy(larger.get(), m_Buffer.get(), held);
    m_Buffer = std::move(larger);
    m_Capacity = capacity;
  }

  const int m_Descriptor;
  const std::string m_Request;
  std::unique_ptr<unsigned char[]> m_Buffer;
  size_t m_Capacity;
  uint64_t m_Sink = 0;
};

template <typename T>
class PageToucher : public Sensor<T> {
 public:
  explicit PageToucher(uint64_t& sink) : m_Sink(sink) {}
  void onSensorOutput(const EngineToClientMessage&, const SensorOutput&,
                      const T& typedOutput) override {
    m_Sink += touch(typedOutput);
  }

 private:
  uint64_t& m_Sink;
};

// This library as a client uses it: advance, then dispatch to one callback object per sensor.
class LibraryClient : public FrameClient {
 public:
  LibraryClient()
      : m_Cameras(m_Sink), m_Lidar(m_Sink), m_Gps(m_Sink), m_Telemetry(m_Sink), m_Objects(m_Sink) {}

  bool connect(int port, const std::string& workload) {
    const int connected = m_Sim.connectToEngine("127.0.0.1 " + std::to_string(port));
    if (connected != VANTREL_ERR_OK) return fail("connectToEngine", connected);
    const int selected = m_Sim.log(0, workloadSelection(workload));
    if (selected != VANTREL_ERR_OK) return fail("log", selected);
    const int registered[] = {
        m_Sim.registerSensor(kCarId, kFrontCameraId, m_Cameras),
        m_Sim.registerSensor(kCarId, kRearCameraId, m_Cameras),
        m_Sim.registerSensor(kCarId, kLidarId, m_Lidar),
        m_Sim.registerSensor(kCarId, kGpsId, m_Gps),
        m_Sim.registerSensor(kCarId, kTelemetryId, m_Telemetry),
        m_Sim.registerSensor(kCarId, kObjectsId, m_Objects),
    };
    for (const int result : registered) {
      if (result != VANTREL_ERR_OK) return fail("registerSensor", result);
    }
    const int started = m_Sim.start(NonBlocking);
    if (started != VANTREL_ERR_OK) return fail("start", started);
    return true;
  }

  bool runFrames(int count) override {
    for (int i = 0; i < count; ++i) {
      const int advanced = m_Sim.advanceFramesAndBlockForMessages(kFrameTimeout);
      if (advanced != VANTREL_ERR_OK) return fail("advanceFramesAndBlockForMessages", advanced);
      m_Sim.dispatchMessages();
    }
    return true;
  }

 private:
  static bool fail(const char* operation, int result) {
    std::cerr << "library client: " << operation << " returned " << result << std::endl;
    return false;
  }

  uint64_t m_Sink = 0;
  PageToucher<RGBCameraOutput> m_Cameras;
  PageToucher<LidarOutput> m_Lidar;
  PageToucher<GPSOutput> m_Gps;
  PageToucher<CarTelemetriesOutput> m_Telemetry;
  PageToucher<ROIOutput> m_Objects;
  VantrelSim m_Sim;  // last, so that it stops and disconnects before the objects it calls go
};

std::unique_ptr<FrameClient> connectLimit(int port, const std::string& workload) {
  const int descriptor = connectLoopback(port);
  if (descriptor < 0) {
    std::cerr << "limit client: cannot connect: " << std::strerror(errno) << std::endl;
    return nullptr;
  }
  const std::string selection = wireFrame(logRequest(workloadSelection(workload)));
  if (!sendAll(descriptor, selection.data(), selection.size())) {
    ::close(descriptor);
    std::cerr << "limit client: cannot select the workload" << std::endl;
    return nullptr;
  }
  return std::unique_ptr<FrameClient>(new LimitClient(descriptor));
}

std::unique_ptr<FrameClient> connectLibrary(int port, const std::string& workload) {
  std::unique_ptr<LibraryClient> client(new LibraryClient);
  if (!client->connect(port, workload)) return nullptr;
  return std::unique_ptr<FrameClient>(client.release());
}

}  // namespace

const char* sideName(Side side) {
  switch (side) {
    case Side::Limit:
      return "limit";
    case Side::Library:
      return "library";
    case Side::Grpc:
      return "grpc";
  }
  return "?";
}

bool sideAvailable(Side side) { return side != Side::Grpc || grpcAvailable(); }

std::unique_ptr<FrameClient> connectClient(Side side, const Endpoint& endpoint,
                                           const std::string& workload) {
  switch (side) {
    case Side::Limit:
      return connectLimit(endpoint.tcpPort, workload);
    case Side::Library:
      return connectLibrary(endpoint.tcpPort, workload);
    case Side::Grpc:
      return connectGrpcClient(endpoint.grpcPort, workload);
  }
  return nullptr;
}

}  // namespace VantrelBench
