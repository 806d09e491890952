// The engine's answers that the benchmarks measure, the request that asks for them, and the page
// touch that every client applies to what it received.
#ifndef VANTREL_BENCH_WORKLOADS_H
#define VANTREL_BENCH_WORKLOADS_H

#include <google/protobuf/message_lite.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "ClientToEngineMessage.pb.h"
#include "EngineToClientMessage.pb.h"

namespace VantrelBench {

// The sensor ids that the workloads use; every client registers all of them.
constexpr unsigned int kCarId = 0;
constexpr unsigned int kFrontCameraId = 1;
constexpr unsigned int kRearCameraId = 2;
constexpr unsigned int kLidarId = 3;
constexpr unsigned int kGpsId = 4;
constexpr unsigned int kTelemetryId = 5;
constexpr unsigned int kObjectsId = 6;

// Workload names: "small" (GPS, telemetry and objects), "camera" (one 1920x1080 RGBA frame), "mix"
// (two such cameras, a 1 MiB lidar and the small outputs), and "sweep:<bytes>" (one camera output
// whose encoded message is exactly that many bytes). False for an unknown name.
bool buildWorkload(const std::string& name, Vantrel::SDK::EngineToClientMessage& message);
std::string sweepWorkload(size_t payloadBytes);

// The text of the log line that selects a workload on a connection to the bench engine.
std::string workloadSelection(const std::string& name);
// The workload that a log line selects, or the empty text if it selects none.
std::string selectedWorkload(const std::string& logLine);

// The library's request for the next frame, as every client sends it.
Vantrel::SDK::ClientToEngineMessage nextFrameRequest();
// A log line to the engine; the bench engine takes "workload <name>" lines as workload selections.
Vantrel::SDK::ClientToEngineMessage logRequest(const std::string& text);

// One wire frame: the 8-byte little-endian length, then the encoded message.
std::string wireFrame(const google::protobuf::MessageLite& message);
int64_t frameLength(const unsigned char* header);
constexpr size_t kFrameHeaderSize = 8;

// What every client does with a payload it received: reads one byte per 4 KiB page, so that each
// page is brought in once, as a consumer of the data would.
uint64_t touchPages(const void* data, size_t size);
uint64_t touch(const Vantrel::SDK::RGBCameraOutput& camera);
uint64_t touch(const Vantrel::SDK::LidarOutput& lidar);
uint64_t touch(const Vantrel::SDK::GPSOutput& gps);
uint64_t touch(const Vantrel::SDK::CarTelemetriesOutput& telemetry);
uint64_t touch(const Vantrel::SDK::ROIOutput& objects);
// The same, chosen by the output's kind; 0 for the kinds that no workload sends.
uint64_t touchOutput(const Vantrel::SDK::SensorOutput& output);

}  // namespace VantrelBench

#endif
