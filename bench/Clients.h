// The clients measured against one bench engine, each in lockstep: send the next-frame request,
// take in the whole answer, touch every payload page, repeat.
#ifndef VANTREL_BENCH_CLIENTS_H
#define VANTREL_BENCH_CLIENTS_H

#include <memory>
#include <string>

namespace VantrelBench {

enum class Side { Limit, Library, Grpc };
const char* sideName(Side side);

struct Endpoint {
  int tcpPort = 0;
  int grpcPort = 0;  // 0 when the bench was built without gRPC
};

class FrameClient {
 public:
  virtual ~FrameClient() = default;
  // Runs `count` lockstep frames; false, with a line on standard error, on any failure.
  virtual bool runFrames(int count) = 0;
};

// Connects a client of `side` for `workload`, ready for its first frame; null (with a line on
// standard error) if it cannot.
std::unique_ptr<FrameClient> connectClient(Side side, const Endpoint& endpoint,
                                           const std::string& workload);
bool sideAvailable(Side side);

}  // namespace VantrelBench

#endif
