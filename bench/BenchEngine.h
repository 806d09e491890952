// The bench engine: answers every next-frame request with a frame encoded once in advance, so that
// a round trip costs the engine one send and the clients are what is measured.
#ifndef VANTREL_BENCH_ENGINE_H
#define VANTREL_BENCH_ENGINE_H

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace VantrelBench {

// The encoded answers, each built on first use and kept for the life of the process.
class WorkloadCache {
 public:
  // The whole wire frame (8-byte length, then the encoded message) for `name`; null if unknown.
  // The text stays valid and unchanged for the life of the cache.
  const std::string* frame(const std::string& name);

 private:
  std::mutex m_Mutex;
  std::map<std::string, std::unique_ptr<const std::string>> m_Frames;
};

// Runs the engine process: a TCP listener (and the gRPC peer's server when built with it) on
// ephemeral loopback ports, announced as "ready <tcp port> <grpc port>" on standard output. It
// serves until its standard input reaches its end, that is until the process that started it
// closes the pipe or dies. Returns the process's exit code.
int runEngineProcess();

}  // namespace VantrelBench

#endif
