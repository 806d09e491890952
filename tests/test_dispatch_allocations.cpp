// Delivering a frame must not copy its payload: a camera image of megabytes reaches the callback
// while dispatchMessages allocates next to nothing. The global allocation functions of this program
// are replaced to count the bytes that the counting thread asks for.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>

#include "SensorSession.h"
#include "TestEngine.h"
#include "VantrelSim.h"

namespace {

thread_local bool countingHere = false;
thread_local size_t bytesAllocatedHere = 0;

void* allocate(size_t size) {
  if (countingHere) bytesAllocatedHere += size;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(size_t size) { return allocate(size); }
void* operator new[](size_t size) { return allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, size_t) noexcept { std::free(memory); }

namespace {

using namespace Vantrel::SDK;
using namespace Vantrel::Testing;

// Bytes allocated on this thread while `action` runs.
template <typename Action>
size_t bytesAllocatedBy(Action action) {
  bytesAllocatedHere = 0;
  countingHere = true;
  action();
  countingHere = false;
  return bytesAllocatedHere;
}

TEST(DispatchAllocations, AMultiMegabyteCameraFrameIsDeliveredWithoutCopies) {
  const size_t kPixelBytes = 8u << 20;
  std::string pixels(kPixelBytes, '\0');
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<char>(i * 131 % 251);

  SensorSession session;
  size_t deliveredBytes = 0;
  bool deliveredWhole = false;
  CallLog log;
  Recorder<RGBCameraOutput> camera("camera", log);
  camera.then = [&](const EngineToClientMessage&, const SensorOutput&,
                    const RGBCameraOutput& image) {
    deliveredBytes = image.pixels().size();
    deliveredWhole = image.pixels() == pixels && image.width() == 2048 && image.height() == 1024;
  };
  ASSERT_EQ(session.registerSensor(4, camera), VANTREL_ERR_OK);
  ASSERT_EQ(session.sim.start(Blocking), VANTREL_ERR_OK);

  SensorOutput output = sensorOutput(SensorOutput::kRgbCameraOutput, 4);
  output.mutable_rgbcameraoutput()->set_width(2048);
  output.mutable_rgbcameraoutput()->set_height(1024);
  output.mutable_rgbcameraoutput()->set_pixels(pixels);
  ASSERT_EQ(session.advanceWith(sensorData(1, {output})), VANTREL_ERR_OK);
  ASSERT_GE(bytesAllocatedBy([&] { SensorOutput copy(output); }), kPixelBytes)
      << "the count sees what the message classes allocate";

  const size_t allocated =
      bytesAllocatedBy([&] { EXPECT_EQ(session.sim.dispatchMessages(), VANTREL_ERR_OK); });
  EXPECT_EQ(deliveredBytes, kPixelBytes);
  EXPECT_TRUE(deliveredWhole);
  EXPECT_LT(allocated, 64u << 10);
}

}  // namespace
