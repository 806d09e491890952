// The gRPC peer: the same request and the same EngineToClientMessage over one bidirectional gRPC
// stream in lockstep. Built only where gRPC is found; elsewhere these report that it is absent.
#ifndef VANTREL_BENCH_GRPC_PEER_H
#define VANTREL_BENCH_GRPC_PEER_H

#include <memory>
#include <string>

#include "Clients.h"

namespace VantrelBench {

class WorkloadCache;

bool grpcAvailable();
// Starts the server side on an ephemeral loopback port and returns the port; 0 without gRPC.
// The stream's "workload" metadata selects what every request is answered with.
int startGrpcEngine(WorkloadCache& workloads);
// A client with an open stream, ready for its first frame; null on failure or without gRPC.
std::unique_ptr<FrameClient> connectGrpcClient(int port, const std::string& workload);

}  // namespace VantrelBench

#endif
