// The sandbox engine's settings and its command line.
#ifndef VANTREL_SANDBOX_OPTIONS_H
#define VANTREL_SANDBOX_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "Sensors.h"

namespace Vantrel {
namespace Sandbox {

struct EngineOptions {
  std::string host = "127.0.0.1";
  std::string port = "8052";  // "0": a free port chosen by the system
  uint32_t frameBudget = 0;   // frames after which the run ends; 0: no budget
  uint32_t seed = 1;
  CameraSize camera;
};

enum class ParseResult { Run, Help, Error };

// Reads the arguments after the program name. On Error, `error` says what is wrong.
ParseResult parseOptions(const std::vector<std::string>& arguments, EngineOptions& options,
                         std::string& error);
std::string usage(const std::string& program);

}  // namespace Sandbox
}  // namespace Vantrel

#endif
