#include "Options.h"

#include <cerrno>
#include <cstdlib>

namespace Vantrel {
namespace Sandbox {

namespace {

constexpr uint32_t kMaxCameraSide = 2048;

// A whole decimal number within [low, high], nothing before or after it.
bool readNumber(const std::string& text, unsigned long long low, unsigned long long high,
                unsigned long long& value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtoull(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0' && value >= low && value <= high;
}

bool readCameraSize(const std::string& text, CameraSize& camera) {
  const size_t x = text.find('x');
  unsigned long long width;
  unsigned long long height;
  if (x == std::string::npos || !readNumber(text.substr(0, x), 1, kMaxCameraSide, width) ||
      !readNumber(text.substr(x + 1), 1, kMaxCameraSide, height)) {
    return false;
  }
  camera.width = static_cast<uint32_t>(width);
  camera.height = static_cast<uint32_t>(height);
  return true;
}

}  // namespace

ParseResult parseOptions(const std::vector<std::string>& arguments, EngineOptions& options,
                         std::string& error) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option == "--help" || option == "-h") return ParseResult::Help;
    if (option != "--port" && option != "--frames" && option != "--seed" && option != "--camera") {
      error = "unknown option " + option;
      return ParseResult::Error;
    }
    if (i + 1 == arguments.size()) {
      error = option + " needs a value";
      return ParseResult::Error;
    }
    const std::string& value = arguments[++i];
    unsigned long long number = 0;
    bool valid;
    if (option == "--port") {
      valid = readNumber(value, 0, 65535, number);
      if (valid) options.port = std::to_string(number);
    } else if (option == "--frames") {
      valid = readNumber(value, 0, UINT32_MAX, number);
      options.frameBudget = static_cast<uint32_t>(number);
    } else if (option == "--seed") {
      valid = readNumber(value, 0, UINT32_MAX, number);
      options.seed = static_cast<uint32_t>(number);
    } else {
      valid = readCameraSize(value, options.camera);
    }
    if (!valid) {
      error = "bad value for " + option + ": " + value;
      return ParseResult::Error;
    }
  }
  return ParseResult::Run;
}

std::string usage(const std::string& program) {
  return "Usage: " + program +
         " [--port N] [--frames N] [--seed N] [--camera WxH]\n"
         "\n"
         "A driving-simulation engine for developing and testing clients of the Vantrel SDK.\n"
         "It listens on 127.0.0.1, serves one client at a time and, once that client has\n"
         "gone, the next; every client gets a fresh scene: a two-lane stadium track with the\n"
         "ego car (car 0), three more cars, two pedestrians and a traffic light. The first\n"
         "line on standard output is \"listening on 127.0.0.1:PORT\".\n"
         "\n"
         "  --port N      TCP port to listen on (default 8052; 0 lets the system choose)\n"
         "  --frames N    end each run with endOfSimulation after N frames (default 0: no end)\n"
         "  --seed N      seed of the scene: the same seed and the same commands give the\n"
         "                same bytes (default 1)\n"
         "  --camera WxH  size of the camera images, 1 to 2048 pixels a side (default 320x240)\n"
         "  --help        show this text and exit\n";
}

}  // namespace Sandbox
}  // namespace Vantrel
