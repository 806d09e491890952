#include "Pictures.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iostream>

namespace Vantrel {
namespace Demo {

namespace {

struct Rgb {
  unsigned char r, g, b;
};

// An RGB canvas with the few drawing operations the bird's-eye view needs.
class Canvas {
 public:
  Canvas(int width, int height, Rgb background)
      : m_Width(width), m_Height(height), m_Pixels(static_cast<size_t>(width) * height * 3, '\0') {
    for (int i = 0; i < width * height; ++i) put(i, background);
  }
  void plot(int x, int y, Rgb colour) {
    if (x >= 0 && y >= 0 && x < m_Width && y < m_Height) put(y * m_Width + x, colour);
  }
  void line(double x0, double y0, double x1, double y1, Rgb colour) {
    const int steps = static_cast<int>(std::max(std::abs(x1 - x0), std::abs(y1 - y0))) + 1;
    for (int i = 0; i <= steps; ++i) {
      const double t = static_cast<double>(i) / steps;
      plot(static_cast<int>(std::lround(x0 + (x1 - x0) * t)),
           static_cast<int>(std::lround(y0 + (y1 - y0) * t)), colour);
    }
  }
  int width() const { return m_Width; }
  int height() const { return m_Height; }
  const std::string& pixels() const { return m_Pixels; }

 private:
  void put(int index, Rgb colour) {
    m_Pixels[3 * index] = static_cast<char>(colour.r);
    m_Pixels[3 * index + 1] = static_cast<char>(colour.g);
    m_Pixels[3 * index + 2] = static_cast<char>(colour.b);
  }
  int m_Width;
  int m_Height;
  std::string m_Pixels;
};

float floatAt(const std::string& bytes, size_t offset) {
  uint32_t bits = 0;
  for (int i = 0; i < 4; ++i)
    bits |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[offset + i])) << (8 * i);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

Rgb colourOfType(const std::string& type) {
  if (type == "vehicle") return {80, 200, 255};
  if (type == "pedestrian") return {255, 90, 220};
  if (type == "trafficLight") return {120, 255, 120};
  return {255, 255, 255};
}

const char* const kPathColours[] = {"#d62728", "#1f77b4", "#2ca02c", "#9467bd",
                                    "#ff7f0e", "#8c564b", "#17becf"};

// The name under which the cars query reported the car with this ground-truth id.
std::string carName(const DemoRun& run, const std::string& id) {
  for (const SDK::CarQueryReport& car : run.cars) {
    if (std::to_string(car.roiobjectid()) == id) return car.name();
  }
  return "object " + id;
}

bool finish(std::ofstream& file, const std::string& path) {
  file.close();
  if (file) return true;
  std::cerr << "vantrel-demo: cannot write " << path << std::endl;
  return false;
}

}  // namespace

bool writePng(const std::string& path, unsigned int width, unsigned int height, int channels,
              const std::string& pixels) {
  if (width == 0 || height == 0 || pixels.size() < static_cast<size_t>(width) * height * channels) {
    std::cerr << "vantrel-demo: no picture for " << path << std::endl;
    return false;
  }
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = channels == 4 ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
  if (png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr) == 0) {
    std::cerr << "vantrel-demo: cannot write " << path << ": " << image.message << std::endl;
    return false;
  }
  return true;
}

bool writeCameraPng(const std::string& path, const Image& camera) {
  return writePng(path, camera.width, camera.height, 4, camera.pixels);
}

bool writeBirdsEyePng(const std::string& path, const DemoRun& run) {
  constexpr int kSize = 480;
  constexpr double kMetresPerPixel = 0.2;
  Canvas canvas(kSize, kSize, {16, 16, 24});
  // The ego car sits below the centre, so that more of the road ahead shows; forward is up.
  const double centreX = kSize / 2.0;
  const double centreY = kSize * 0.6;
  auto column = [&](double left) { return centreX - left / kMetresPerPixel; };
  auto row = [&](double forward) { return centreY - forward / kMetresPerPixel; };

  for (int ring = 10; ring <= 50; ring += 10) {  // range rings every 10 m
    for (int step = 0; step < 360; step += 3) {
      const double a = step * M_PI / 180.0;
      canvas.plot(static_cast<int>(column(ring * std::sin(a))),
                  static_cast<int>(row(ring * std::cos(a))), {50, 50, 70});
    }
  }
  const double mountX = run.lidarMount.position().x();
  const double mountY = run.lidarMount.position().y();
  const double mountZ = run.lidarMount.position().z();
  for (size_t offset = 0; offset + 12 <= run.lidarPoints.size(); offset += 12) {
    const double x = floatAt(run.lidarPoints, offset) + mountX;
    const double y = floatAt(run.lidarPoints, offset + 4) + mountY;
    const double z = floatAt(run.lidarPoints, offset + 8) + mountZ;  // above the ground
    // Ground hits green, anything standing on it from yellow to red with its height.
    const double high = std::min(1.0, std::max(0.0, z / 2.0));
    const Rgb colour =
        z < 0.1 ? Rgb{70, 190, 110} : Rgb{255, static_cast<unsigned char>(230 - 180 * high), 40};
    const int px = static_cast<int>(column(y));
    const int py = static_cast<int>(row(x));
    canvas.plot(px, py, colour);
    canvas.plot(px + 1, py, colour);
    canvas.plot(px, py + 1, colour);
    canvas.plot(px + 1, py + 1, colour);
  }
  // Ground-truth boxes, from the world into the ego car's frame.
  const double c = std::cos(run.egoYaw);
  const double s = std::sin(run.egoYaw);
  for (const ObjectBox& object : run.objects) {
    const double dx = object.x - run.egoPosition.x;
    const double dy = object.y - run.egoPosition.y;
    const double forward = c * dx + s * dy;
    const double left = -s * dx + c * dy;
    const double yaw = object.yaw - run.egoYaw;
    const double hl = object.length / 2, hw = object.width / 2;
    const double corners[4][2] = {{hl, hw}, {-hl, hw}, {-hl, -hw}, {hl, -hw}};
    const Rgb colour = object.id == run.egoId ? Rgb{255, 255, 255} : colourOfType(object.type);
    for (int i = 0; i < 4; ++i) {
      const double* a = corners[i];
      const double* b = corners[(i + 1) % 4];
      const double ax = forward + a[0] * std::cos(yaw) - a[1] * std::sin(yaw);
      const double ay = left + a[0] * std::sin(yaw) + a[1] * std::cos(yaw);
      const double bx = forward + b[0] * std::cos(yaw) - b[1] * std::sin(yaw);
      const double by = left + b[0] * std::sin(yaw) + b[1] * std::cos(yaw);
      canvas.line(column(ay), row(ax), column(by), row(bx), colour);
    }
  }
  return writePng(path, kSize, kSize, 3, canvas.pixels());
}

bool writeTrajectorySvg(const std::string& path, const DemoRun& run) {
  constexpr double kWidth = 800, kHeight = 500, kMargin = 30;
  double minX = 1e300, maxX = -1e300, minY = 1e300, maxY = -1e300;
  for (const auto& entry : run.trajectories) {
    for (const Point2& p : entry.second) {
      minX = std::min(minX, p.x);
      maxX = std::max(maxX, p.x);
      minY = std::min(minY, p.y);
      maxY = std::max(maxY, p.y);
    }
  }
  if (minX > maxX) {
    std::cerr << "vantrel-demo: no ground-truth positions for " << path << std::endl;
    return false;
  }
  const double scale = std::min((kWidth - 2 * kMargin) / std::max(1.0, maxX - minX),
                                (kHeight - 2 * kMargin - 30) / std::max(1.0, maxY - minY));
  // Centred in the area below the title and the legend.
  const double padX = (kWidth - 2 * kMargin - (maxX - minX) * scale) / 2;
  const double padY = (kHeight - 2 * kMargin - 30 - (maxY - minY) * scale) / 2;
  auto sx = [&](double x) { return kMargin + padX + (x - minX) * scale; };
  auto sy = [&](double y) { return kHeight - kMargin - padY - (y - minY) * scale; };

  std::ofstream file(path);
  file << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\""
       << kHeight << "\" viewBox=\"0 0 " << kWidth << " " << kHeight << "\">\n"
       << "<rect width=\"100%\" height=\"100%\" fill=\"#fafafa\"/>\n"
       << "<text x=\"" << kMargin << "\" y=\"20\" font-family=\"sans-serif\" font-size=\"14\">"
       << "Ground-truth paths over " << run.frames.size() << " frames (" << std::fixed
       << std::setprecision(1) << (run.frames.empty() ? 0.0 : run.frames.back().time)
       << " s)</text>\n";
  int index = 0;
  double legendX = kMargin;
  // The ego car's path last, on top of the others that share its lane.
  std::vector<const std::pair<const std::string, std::vector<Point2>>*> paths;
  for (const auto& entry : run.trajectories) {
    const std::string& type = run.trajectoryTypes.at(entry.first);
    if (type == "vehicle" || type == "pedestrian") paths.push_back(&entry);
  }
  std::stable_partition(paths.begin(), paths.end(),
                        [&](const auto* entry) { return entry->first != run.egoId; });
  for (const auto* drawn : paths) {
    const auto& entry = *drawn;
    const std::string& type = run.trajectoryTypes.at(entry.first);
    const bool ego = entry.first == run.egoId;
    const char* colour = ego ? kPathColours[0] : kPathColours[1 + index++ % 6];
    file << "<polyline fill=\"none\" stroke=\"" << (type == "pedestrian" ? "#999999" : colour)
         << "\" stroke-width=\"" << (ego ? 3 : 1.5) << "\""
         << (type == "pedestrian" ? " stroke-dasharray=\"4 3\"" : "") << " points=\"";
    const size_t step = std::max<size_t>(1, entry.second.size() / 400);
    for (size_t i = 0; i < entry.second.size(); i += step) {
      file << std::setprecision(1) << sx(entry.second[i].x) << "," << sy(entry.second[i].y) << " ";
    }
    file << "\"/>\n";
    if (type == "vehicle") {
      const Point2& last = entry.second.back();
      file << "<circle cx=\"" << sx(last.x) << "\" cy=\"" << sy(last.y) << "\" r=\"4\" fill=\""
           << colour << "\"/>\n"
           << "<text x=\"" << legendX << "\" y=\"42\" font-family=\"sans-serif\" font-size=\"12\" "
           << "fill=\"" << colour << "\">" << (ego ? "ego car" : carName(run, entry.first))
           << "</text>\n";
      legendX += 80;
    }
  }
  file << "</svg>\n";
  return finish(file, path);
}

bool writeSummaryJson(const std::string& path, const DemoRun& run) {
  double total = 0.0, worst = 0.0;
  for (const FrameRecord& frame : run.frames) {
    total += frame.stepSeconds;
    worst = std::max(worst, frame.stepSeconds);
  }
  const double mean = run.frames.empty() ? 0.0 : total / run.frames.size();
  char hash[24];
  std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(run.streamHash));
  std::ofstream file(path);
  file << std::fixed << std::setprecision(3) << "{\n"
       << "  \"frames\": " << run.frames.size() << ",\n"
       << "  \"simulatedSeconds\": " << (run.frames.empty() ? 0.0 : run.frames.back().time) << ",\n"
       << "  \"wallSeconds\": " << run.wallSeconds << ",\n"
       << "  \"bytesReceived\": " << run.bytesReceived << ",\n"
       << "  \"meanStepMilliseconds\": " << mean * 1e3 << ",\n"
       << "  \"worstStepMilliseconds\": " << worst * 1e3 << ",\n"
       << "  \"sensors\": " << run.sensors.size() << ",\n"
       << "  \"streamHash\": \"" << hash << "\",\n"
       << "  \"result\": " << run.result << "\n"
       << "}\n";
  return finish(file, path);
}

}  // namespace Demo
}  // namespace Vantrel
