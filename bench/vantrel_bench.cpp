// The frame-loop benchmark: this library's advance-and-dispatch loop measured side by side with the
// limit (a raw socket reading with large reads into a reused buffer) and a gRPC peer, all against
// one engine that answers with frames encoded in advance. Prints one table.
//
//   vantrel_bench [--smoke] [--repetitions N] [--milliseconds M] [--only ROW ...]
//
// Every loop row runs the sides in turn, in a rotating order, for the same number of frames, and
// repeats that; each ratio is taken within one repetition and the table shows the median and the
// range of those ratios. Each side runs in a client process of its own, this program started again
// ("--child"), so that no side shares an allocator or a runtime with another; the first-frame and
// memory rows start a fresh one for every figure.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "BenchEngine.h"
#include "Clients.h"
#include "Processes.h"
#include "Workloads.h"

using namespace VantrelBench;

namespace {

using Clock = std::chrono::steady_clock;

struct Settings {
  bool smoke = false;
  int repetitions = 15;
  double repetitionSeconds = 0.06;  // the limit's share of one repetition
  int freshProcesses = 5;           // per side, for the first-frame row
  int memoryFrames = 20;
  // When not empty, only these rows: workload names, "first" and "memory".
  std::vector<std::string> only;
  bool wants(const std::string& row) const {
    return only.empty() || std::find(only.begin(), only.end(), row) != only.end();
  }
};

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

struct Range {
  double median = 0, low = 0, high = 0;
};

Range rangeOf(const std::vector<double>& values) {
  Range range;
  if (values.empty()) return range;
  range.median = median(values);
  range.low = *std::min_element(values.begin(), values.end());
  range.high = *std::max_element(values.begin(), values.end());
  return range;
}

[[noreturn]] void giveUp(const std::string& why) {
  std::cerr << "vantrel_bench: " << why << std::endl;
  std::exit(1);
}

std::vector<Side> availableSides() {
  std::vector<Side> sides;
  for (Side side : {Side::Limit, Side::Library, Side::Grpc}) {
    if (sideAvailable(side)) sides.push_back(side);
  }
  return sides;
}

std::vector<Side> rotated(std::vector<Side> sides, size_t by) {
  std::rotate(sides.begin(), sides.begin() + static_cast<std::ptrdiff_t>(by % sides.size()),
              sides.end());
  return sides;
}

size_t payloadSize(const std::string& workload) {
  Vantrel::SDK::EngineToClientMessage message;
  if (!buildWorkload(workload, message)) giveUp("unknown workload " + workload);
  return message.ByteSizeLong();
}

// ---- Measurements ------------------------------------------------------------------------------

// Per-frame seconds of each side, one value per repetition, the sides' values of one repetition
// taken back to back.
using LoopTimes = std::map<Side, std::vector<double>>;

double timeFrames(FrameClient& client, int count, Side side) {
  const Clock::time_point start = Clock::now();
  if (!client.runFrames(count)) giveUp(std::string(sideName(side)) + " client failed");
  return secondsSince(start);
}

// A process of its own for each side, so that no side shares an allocator, a cache of threads or
// a gRPC runtime with another.
std::vector<std::string> clientArguments(const std::string& role, Side side,
                                         const std::string& workload, const Endpoint& endpoint,
                                         int frames) {
  return {"--child",
          role,
          sideName(side),
          workload,
          std::to_string(endpoint.tcpPort),
          std::to_string(endpoint.grpcPort),
          std::to_string(frames)};
}

double timeFrames(ClientProcess& client, int count, Side side) {
  double seconds = 0;
  if (!client.runFrames(count, seconds)) giveUp(std::string(sideName(side)) + " client failed");
  return seconds;
}

LoopTimes measureLoop(const Endpoint& endpoint, const std::string& workload,
                      const Settings& settings) {
  const std::vector<Side> sides = availableSides();
  std::map<Side, std::unique_ptr<ClientProcess>> clients;
  for (Side side : sides) {
    clients[side].reset(new ClientProcess);
    if (!clients[side]->start(clientArguments("serve", side, workload, endpoint, 0))) {
      giveUp(std::string("cannot start the ") + sideName(side) + " client");
    }
    // Brings every buffer and allocator to its steady state before anything is timed.
    const double warmUpSeconds = settings.smoke ? 0.0 : 0.03;
    double spent = timeFrames(*clients[side], settings.smoke ? 1 : 3, side);
    while (spent < warmUpSeconds) spent += timeFrames(*clients[side], 1, side);
  }
  int frames = 1;
  if (!settings.smoke) {
    // Calibrate on the limit: enough frames that it spends the repetition's time.
    int probe = 1;
    double probeSeconds = 0;
    while ((probeSeconds = timeFrames(*clients[Side::Limit], probe, Side::Limit)) < 0.02) {
      probe *= 2;
    }
    const double perFrame = probeSeconds / probe;
    frames = std::max(3, std::min(200000, static_cast<int>(settings.repetitionSeconds / perFrame)));
  }
  LoopTimes times;
  const int repetitions = settings.smoke ? 1 : settings.repetitions;
  for (int repetition = 0; repetition < repetitions; ++repetition) {
    for (Side side : rotated(sides, static_cast<size_t>(repetition))) {
      times[side].push_back(timeFrames(*clients[side], frames, side) / frames);
    }
  }
  return times;
}

// The output of one fresh client process: the numbers it printed, in order.
std::vector<double> runFreshClient(const std::string& role, Side side, const std::string& workload,
                                   const Endpoint& endpoint, int frames) {
  std::string output;
  if (!runSelf(clientArguments(role, side, workload, endpoint, frames), output))
    giveUp(std::string("fresh ") + sideName(side) + " client failed");
  std::vector<double> values;
  std::istringstream words(output);
  for (double value; words >> value;) values.push_back(value);
  return values;
}

// The peak resident size of this process's own address space, in KiB. Not getrusage's ru_maxrss:
// Linux carries the high-water mark of the image that called execve into it, and a fresh client is
// started from the benchmark's own, much larger, process.
long peakResidentKibibytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Child role "serve": runs the frames that each line of its input asks for and answers each with
// the seconds they took. Role "first": the first frame of a new process and connection, then the
// mean of the `frames` after it. Role "memory": the peak resident size before the first frame and
// after `frames`.
int runChild(int argc, char** argv) {
  if (argc != 8)
    giveUp("usage: --child serve|first|memory SIDE WORKLOAD TCP-PORT GRPC-PORT FRAMES");
  const std::string role = argv[2];
  const std::string sideText = argv[3];
  Side side = Side::Limit;
  if (sideText == "library")
    side = Side::Library;
  else if (sideText == "grpc")
    side = Side::Grpc;
  else if (sideText != "limit")
    giveUp("unknown side " + sideText);
  Endpoint endpoint;
  endpoint.tcpPort = std::atoi(argv[5]);
  endpoint.grpcPort = std::atoi(argv[6]);
  const int frames = std::max(1, std::atoi(argv[7]));

  std::unique_ptr<FrameClient> client = connectClient(side, endpoint, argv[4]);
  if (client == nullptr) return 1;
  if (role == "serve") {
    std::cout << "ready" << std::endl;
    std::cout.precision(17);
    for (int requested; std::cin >> requested;) {
      std::cout << timeFrames(*client, requested, side) << std::endl;
    }
    return 0;
  }
  if (role == "first") {
    const double first = timeFrames(*client, 1, side);
    const double later = timeFrames(*client, frames, side) / frames;
    std::cout.precision(17);
    std::cout << first << ' ' << later << std::endl;
    return 0;
  }
  if (role == "memory") {
    const long base = peakResidentKibibytes();
    timeFrames(*client, frames, side);
    std::cout << base << ' ' << peakResidentKibibytes() << std::endl;
    return 0;
  }
  giveUp("unknown child role " + role);
}

// ---- The table -------------------------------------------------------------------------------

std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

std::string timeText(double seconds) {
  if (seconds < 1e-3) return format("%.1f µs", seconds * 1e6);
  if (seconds < 1.0) return format("%.2f ms", seconds * 1e3);
  return format("%.2f s", seconds);
}

std::string sizeText(size_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  if (bytes < (size_t{1} << 20)) return format("%.0f KiB", bytes / 1024.0);
  return format("%.1f MiB", bytes / 1048576.0);
}

// Time per frame, and the rate: frames per second for small frames, bytes per second for the rest.
std::string speedText(double seconds, size_t bytes) {
  if (seconds <= 0) return "—";
  if (bytes < 64 * 1024) return timeText(seconds) + " · " + format("%.1fk fr/s", 1e-3 / seconds);
  return timeText(seconds) + " · " + format("%.2f GB/s", bytes / seconds / 1e9);
}

std::string rangeText(const Range& range) {
  if (range.median <= 0) return "—";
  return format("%.2f", range.median) + " (" + format("%.2f", range.low) + "–" +
         format("%.2f", range.high) + ")";
}

// Per repetition: how fast `side` went compared with `reference`, as reference time / side time.
std::vector<double> speedRatios(const std::vector<double>& reference,
                                const std::vector<double>& side) {
  std::vector<double> ratios;
  for (size_t i = 0; i < reference.size() && i < side.size(); ++i) {
    if (side[i] > 0) ratios.push_back(reference[i] / side[i]);
  }
  return ratios;
}

struct Row {
  std::string workload, frame, limit, library, grpc, libraryRatio, grpcRatio, libraryOverGrpc,
      target;
};

class Table {
 public:
  void add(const Row& row) { m_Rows.push_back(row); }
  void print(std::ostream& out) const {
    out << "| # | workload | frame | limit | library | gRPC | library ÷ limit | gRPC ÷ limit | "
           "library ÷ gRPC | target |\n";
    out << "|---|---|---|---|---|---|---|---|---|---|\n";
    int number = 1;
    for (const Row& row : m_Rows) {
      out << "| " << number++ << " | " << row.workload << " | " << row.frame << " | " << row.limit
          << " | " << row.library << " | " << row.grpc << " | " << row.libraryRatio << " | "
          << row.grpcRatio << " | " << row.libraryOverGrpc << " | " << row.target << " |\n";
    }
  }
  bool anyMissed() const {
    for (const Row& row : m_Rows) {
      if (row.target.find("missed") != std::string::npos) return true;
    }
    return false;
  }

 private:
  std::vector<Row> m_Rows;
};

std::string verdict(bool met) { return met ? "met" : "**missed**"; }

Row loopRow(const std::string& label, const std::string& workload, const LoopTimes& times,
            bool targeted, bool smoke) {
  const size_t bytes = payloadSize(workload);
  const auto timesOf = [&times](Side side) {
    const auto found = times.find(side);
    return found == times.end() ? std::vector<double>() : found->second;
  };
  const std::vector<double> limit = timesOf(Side::Limit);
  const std::vector<double> library = timesOf(Side::Library);
  const std::vector<double> grpc = timesOf(Side::Grpc);
  Row row;
  row.workload = label;
  row.frame = sizeText(bytes);
  row.limit = speedText(median(limit), bytes);
  row.library = speedText(median(library), bytes);
  row.grpc = grpc.empty() ? "not built" : speedText(median(grpc), bytes);
  const Range libraryRatio = rangeOf(speedRatios(limit, library));
  const Range libraryOverGrpc = rangeOf(speedRatios(grpc, library));
  row.libraryRatio = rangeText(libraryRatio);
  row.grpcRatio = rangeText(rangeOf(speedRatios(limit, grpc)));
  row.libraryOverGrpc = rangeText(libraryOverGrpc);
  if (targeted && !smoke) {
    row.target = "≥ 0.85 of the limit: " + verdict(libraryRatio.median >= 0.85);
    if (!grpc.empty()) row.target += "; ≥ 2× gRPC: " + verdict(libraryOverGrpc.median >= 2.0);
  }
  return row;
}

Row firstFrameRow(const Endpoint& endpoint, const Settings& settings) {
  const std::string workload = "camera";
  const std::vector<Side> sides = availableSides();
  const int processes = settings.smoke ? 1 : settings.freshProcesses;
  std::map<Side, std::vector<double>> first, later;
  for (int run = 0; run < processes; ++run) {
    for (Side side : rotated(sides, static_cast<size_t>(run))) {
      const std::vector<double> values =
          runFreshClient("first", side, workload, endpoint, settings.smoke ? 1 : 5);
      if (values.size() != 2) giveUp("a fresh client printed no timing");
      first[side].push_back(values[0]);
      later[side].push_back(values[1]);
    }
  }
  const auto cell = [&](Side side) -> std::string {
    if (first[side].empty()) return "not built";
    return timeText(median(first[side])) + " (" +
           format("%.1f×", median(first[side]) / median(later[side])) + " its later frames)";
  };
  Row row;
  row.workload = "first camera frame of a fresh process";
  row.frame = sizeText(payloadSize(workload));
  row.limit = cell(Side::Limit);
  row.library = cell(Side::Library);
  row.grpc = cell(Side::Grpc);
  const Range libraryRatio = rangeOf(speedRatios(first[Side::Limit], first[Side::Library]));
  row.libraryRatio = rangeText(libraryRatio);
  row.grpcRatio = rangeText(rangeOf(speedRatios(first[Side::Limit], first[Side::Grpc])));
  row.libraryOverGrpc = rangeText(rangeOf(speedRatios(first[Side::Grpc], first[Side::Library])));
  if (!settings.smoke) {
    row.target =
        "≤ 1.5× the limit's first frame (ratio ≥ 0.67): " + verdict(libraryRatio.median >= 1 / 1.5);
  }
  return row;
}

Row memoryRow(const std::string& label, const std::string& workload, const Endpoint& endpoint,
              const Settings& settings, bool targeted) {
  const size_t bytes = payloadSize(workload);
  const int frames = settings.smoke ? 2 : settings.memoryFrames;
  std::map<Side, double> aboveBase;
  for (Side side : availableSides()) {
    const std::vector<double> values = runFreshClient("memory", side, workload, endpoint, frames);
    if (values.size() != 2) giveUp("a fresh client printed no memory figures");
    aboveBase[side] = (values[1] - values[0]) * 1024.0;  // both in KiB
  }
  const auto cell = [&](Side side) -> std::string {
    const auto found = aboveBase.find(side);
    if (found == aboveBase.end()) return "not built";
    return "+" + sizeText(static_cast<size_t>(std::max(0.0, found->second))) + " (" +
           format("%.1f frames", found->second / bytes) + ")";
  };
  Row row;
  row.workload = "peak memory above base: " + label;
  row.frame = sizeText(bytes);
  row.limit = cell(Side::Limit);
  row.library = cell(Side::Library);
  row.grpc = cell(Side::Grpc);
  row.libraryRatio = row.grpcRatio = row.libraryOverGrpc = "—";
  if (targeted && !settings.smoke) {
    row.target = "library < 4 frames: " + verdict(aboveBase[Side::Library] < 4.0 * bytes);
  }
  return row;
}

std::string machineDescription() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line, model = "unknown processor";
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  return model + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " online CPUs";
}

// The one-minute load average: other work on the machine shows in every time of the table.
std::string loadAverage() {
  std::ifstream loadavg("/proc/loadavg");
  std::string oneMinute;
  loadavg >> oneMinute;
  return oneMinute.empty() ? "unknown" : oneMinute;
}

std::string today() {
  char text[32];
  const std::time_t now = std::time(nullptr);
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  return text;
}

int runDriver(const Settings& settings) {
  const std::string loadBefore = loadAverage();
  Endpoint endpoint;
  EngineProcess engine;
  if (!engine.start(endpoint.tcpPort, endpoint.grpcPort)) return 1;

  struct LoopWorkload {
    std::string label, workload;
    bool targeted;
  };
  std::vector<LoopWorkload> loops = {
      {"small frames (GPS, telemetry, 3 objects)", "small", true},
      {"one camera, 1920×1080 RGBA", "camera", true},
      {"mix: 2 cameras, 1 MiB lidar, GPS, telemetry, objects", "mix", false},
  };
  const size_t kibibyte = 1024, mebibyte = 1024 * 1024;
  for (size_t bytes : {kibibyte, 4 * kibibyte, 16 * kibibyte, 64 * kibibyte, 256 * kibibyte,
                       mebibyte, 4 * mebibyte, 8 * mebibyte, 16 * mebibyte, 32 * mebibyte}) {
    loops.push_back({"sweep: one camera output", sweepWorkload(bytes), false});
  }

  Table table;
  for (const LoopWorkload& loop : loops) {
    if (!settings.wants(loop.workload)) continue;
    std::cerr << "measuring " << loop.workload << std::endl;
    const LoopTimes times = measureLoop(endpoint, loop.workload, settings);
    table.add(loopRow(loop.label, loop.workload, times, loop.targeted, settings.smoke));
  }
  if (settings.wants("first")) {
    std::cerr << "measuring the first frame of fresh processes" << std::endl;
    table.add(firstFrameRow(endpoint, settings));
  }
  if (settings.wants("memory")) {
    std::cerr << "measuring peak memory in fresh processes" << std::endl;
    table.add(memoryRow("small frames", "small", endpoint, settings, false));
    table.add(memoryRow("one camera", "camera", endpoint, settings, true));
    table.add(memoryRow("mix", "mix", endpoint, settings, false));
  }

  std::cout << "Frame loop, " << today() << ", " << machineDescription() << ", load average "
            << loadBefore << " before and " << loadAverage() << " after; "
            << (settings.smoke ? "smoke run (one brief pass, timings not meaningful)"
                               : std::to_string(settings.repetitions) + " repetitions per row")
            << "\n\n";
  table.print(std::cout);
  std::cout << "\nEach side's time per frame is its median over the repetitions. Ratios are speeds "
               "(the other side's time over this side's), the median of the ratios taken within "
               "each repetition, with their range in brackets. Memory is the peak resident size "
               "(VmHWM) of a fresh client process after "
            << (settings.smoke ? 2 : settings.memoryFrames)
            << " frames, less its peak before the first frame.\n";
  std::cout.flush();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--engine") == 0) return runEngineProcess();
  if (argc >= 2 && std::strcmp(argv[1], "--child") == 0) return runChild(argc, argv);
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--smoke") {
      settings.smoke = true;
    } else if (option == "--repetitions" && i + 1 < argc) {
      settings.repetitions = std::max(1, std::atoi(argv[++i]));
    } else if (option == "--only" && i + 1 < argc) {
      settings.only.push_back(argv[++i]);
    } else if (option == "--milliseconds" && i + 1 < argc) {
      settings.repetitionSeconds = std::max(1, std::atoi(argv[++i])) / 1000.0;
    } else {
      std::cerr << "usage: vantrel_bench [--smoke] [--repetitions N] [--milliseconds M] "
                   "[--only small|camera|mix|sweep:BYTES|first|memory ...]"
                << std::endl;
      return 2;
    }
  }
  return runDriver(settings);
}
