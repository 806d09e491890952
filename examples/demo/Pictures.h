// What a demo run leaves for a person to look at: camera frames and a bird's-eye view as PNG, the
// cars' paths as SVG and a JSON summary. Every writer returns false, with a line on standard
// error, when the file cannot be written.
#ifndef VANTREL_DEMO_PICTURES_H
#define VANTREL_DEMO_PICTURES_H

#include <string>

#include "DemoClient.h"

namespace Vantrel {
namespace Demo {

// `pixels` holds width * height * channels bytes, row-major from the top; 3 channels RGB, 4 RGBA.
bool writePng(const std::string& path, unsigned int width, unsigned int height, int channels,
              const std::string& pixels);
bool writeCameraPng(const std::string& path, const Image& camera);
// The lidar points seen from above around the ego car (forward is up), with the ground-truth boxes.
bool writeBirdsEyePng(const std::string& path, const DemoRun& run);
bool writeTrajectorySvg(const std::string& path, const DemoRun& run);
bool writeSummaryJson(const std::string& path, const DemoRun& run);

}  // namespace Demo
}  // namespace Vantrel

#endif
