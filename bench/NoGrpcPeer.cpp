// Stands in for the gRPC peer where the bench is built without gRPC.
#include <iostream>

#include "GrpcPeer.h"

namespace VantrelBench {

bool grpcAvailable() { return false; }

int startGrpcEngine(WorkloadCache&) { return 0; }

std::unique_ptr<FrameClient> connectGrpcClient(int, const std::string&) {
  std::cerr << "grpc client: this bench was built without gRPC" << std::endl;
  return nullptr;
}

}  // namespace VantrelBench
