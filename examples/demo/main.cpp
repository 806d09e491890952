// vantrel-demo: drives the ego car of an engine's scene around its track and leaves pictures of
// the run in an output folder.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "DemoClient.h"
#include "Pictures.h"

namespace {

struct Settings {
  Vantrel::Demo::DemoOptions demo;
  std::string outDir = "out/demo";
  unsigned int every = 50;
};

const char kUsage[] =
    "usage: vantrel-demo [--connect \"HOST PORT\"] [--frames N] [--out DIR] [--every N]\n"
    "  --connect \"HOST PORT\"  the engine to drive (default \"127.0.0.1 8052\")\n"
    "  --frames N             frames to drive (default 400, 20 s at 20 Hz)\n"
    "  --out DIR              where the pictures go (default out/demo)\n"
    "  --every N              save a camera frame every N frames (default 50; 0: none)\n";

bool parseCount(const char* text, unsigned int& value) {
  char* end = nullptr;
  const unsigned long parsed = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || text[0] == '-' || parsed > 1000000000ul) return false;
  value = static_cast<unsigned int>(parsed);
  return true;
}

// 0: run, 1: help shown, 2: bad arguments.
int parseArguments(int argc, char** argv, Settings& settings) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::cout << kUsage;
      return 1;
    }
    if (i + 1 >= argc) {
      std::cerr << "vantrel-demo: " << option << " needs a value\n" << kUsage;
      return 2;
    }
    const char* value = argv[++i];
    bool ok = true;
    if (option == "--connect") {
      settings.demo.connection = value;
    } else if (option == "--frames") {
      ok = parseCount(value, settings.demo.frames);
    } else if (option == "--out") {
      settings.outDir = value;
    } else if (option == "--every") {
      ok = parseCount(value, settings.every);
    } else {
      std::cerr << "vantrel-demo: unknown option " << option << "\n" << kUsage;
      return 2;
    }
    if (!ok) {
      std::cerr << "vantrel-demo: bad value \"" << value << "\" for " << option << "\n";
      return 2;
    }
  }
  return 0;
}

struct CameraSaver {
  std::string outDir;
  unsigned int every = 0;
  unsigned int nextFrame = 0;
  unsigned int saved = 0;
};

void saveCamera(const Vantrel::Demo::DemoRun& run, void* context) {
  auto& saver = *static_cast<CameraSaver*>(context);
  if (saver.every == 0 || run.camera.pixels.empty() || run.camera.frame < saver.nextFrame) return;
  char name[64];
  std::snprintf(name, sizeof name, "/camera-%06u.png", run.camera.frame);
  if (Vantrel::Demo::writeCameraPng(saver.outDir + name, run.camera)) ++saver.saved;
  saver.nextFrame = run.camera.frame + saver.every;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  switch (parseArguments(argc, argv, settings)) {
    case 1:
      return 0;
    case 2:
      return 2;
    default:
      break;
  }
  std::error_code error;
  std::filesystem::create_directories(settings.outDir, error);
  if (error) {
    std::cerr << "vantrel-demo: cannot create " << settings.outDir << ": " << error.message()
              << std::endl;
    return 1;
  }
  settings.demo.out = &std::cout;
  Vantrel::Demo::DemoClient client(settings.demo);
  CameraSaver saver{settings.outDir, settings.every, 1, 0};
  client.onFrame(saveCamera, &saver);
  const int result = client.run();
  const Vantrel::Demo::DemoRun& run = client.result();

  using namespace Vantrel::Demo;
  bool written = writeSummaryJson(settings.outDir + "/summary.json", run);
  if (!run.frames.empty()) {
    written = writeTrajectorySvg(settings.outDir + "/trajectory.svg", run) && written;
    if (!run.lidarPoints.empty()) {
      written = writeBirdsEyePng(settings.outDir + "/birds-eye.png", run) && written;
    }
  }
  if (result != 0) {
    std::cerr << "vantrel-demo: the run stopped at " << run.failure << " after "
              << run.frames.size() << " frames" << std::endl;
    return 1;
  }
  std::cout << "drove " << run.frames.size() << " frames in " << run.wallSeconds << " s, "
            << run.bytesReceived / 1e6 << " MB of sensor data"
            << (run.endReason.empty() ? "" : "; " + run.endReason) << "\n"
            << "pictures in " << settings.outDir << "/: " << saver.saved
            << " camera frames, birds-eye.png, trajectory.svg, summary.json" << std::endl;
  return written ? 0 : 1;
}
