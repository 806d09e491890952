// The cutting of the received byte stream into wire frames, fed bytes directly with no socket, and
// the waits of an unconnected framing object.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "Capture.h"
#include "TestEngine.h"
#include "VantrelSocket.h"

using namespace Vantrel::SDK;
using namespace Vantrel::Testing;
using namespace std::chrono_literals;

// The largest single allocation of the process while tracking is on: an announced frame length
// must never size a buffer by itself.
namespace {
std::atomic<bool> g_trackAllocations{false};
std::atomic<size_t> g_largestAllocation{0};
}  // namespace

void* operator new(size_t size) {
  if (g_trackAllocations.load(std::memory_order_relaxed)) {
    size_t largest = g_largestAllocation.load(std::memory_order_relaxed);
    while (size > largest && !g_largestAllocation.compare_exchange_weak(largest, size)) {
    }
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
// Out of line, so that the compiler never sees a new-expression paired with free().
[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, size_t) noexcept { std::free(memory); }

namespace {

// Runs `action` and returns the largest single allocation made meanwhile, on any thread.
size_t largestAllocationDuring(const std::function<void()>& action) {
  g_largestAllocation = 0;
  g_trackAllocations = true;
  action();
  g_trackAllocations = false;
  return g_largestAllocation;
}

std::string wireFrame(const std::string& payload) {
  return frameHeader(static_cast<int64_t>(payload.size())) + payload;
}

// A framing object whose callback records every payload. The callback of the i-th frame of the
// whole test sets the status statuses[i], when there is one, and leaves it alone otherwise.
struct Framer {
  VantrelSocket socket;
  std::vector<std::string> payloads;
  std::vector<VantrelErr> statuses;
  int count = 0;

  Framer() {
    socket.register_callback([this](unsigned char* data, unsigned long size, VantrelErr& status) {
      const size_t index = payloads.size();
      payloads.emplace_back(reinterpret_cast<const char*>(data), size);
      if (index < statuses.size()) status = statuses[index];
    });
  }

  // The bytes are copied into a buffer with one spare byte, so that even an empty feed passes a
  // valid pointer.
  int feed(const std::string& bytes) {
    std::vector<unsigned char> buffer(bytes.begin(), bytes.end());
    buffer.push_back(0);
    return socket.arrangeData(buffer.data(), static_cast<long>(bytes.size()), count);
  }
};

const std::vector<std::string> kPayloads = {"abc", "", "x", std::string(20, 'q'), "\0\1\2"};

std::string streamOf(const std::vector<std::string>& payloads) {
  std::string stream;
  for (const std::string& payload : payloads) stream += wireFrame(payload);
  return stream;
}

// How many of the frames of kPayloads lie wholly within the first `offset` bytes of their stream.
int framesWithin(size_t offset) {
  int whole = 0;
  size_t end = 0;
  for (const std::string& payload : kPayloads) {
    end += 8 + payload.size();
    if (end <= offset) ++whole;
  }
  return whole;
}

TEST(Framing, StreamCutAtEveryPairOfOffsetsDeliversEachFrameOnceInOrder) {
  const std::string stream = streamOf(kPayloads);
  for (size_t first = 0; first <= stream.size(); ++first) {
    for (size_t second = first; second <= stream.size(); ++second) {
      SCOPED_TRACE("cuts at " + std::to_string(first) + " and " + std::to_string(second));
      Framer framer;
      EXPECT_EQ(framer.feed(stream.substr(0, first)), VANTREL_ERR_OK);
      EXPECT_EQ(framer.count, framesWithin(first));
      EXPECT_EQ(framer.feed(stream.substr(first, second - first)), VANTREL_ERR_OK);
      EXPECT_EQ(framer.count, framesWithin(second));
      EXPECT_EQ(framer.feed(stream.substr(second)), VANTREL_ERR_OK);
      EXPECT_EQ(framer.count, static_cast<int>(kPayloads.size()));
      EXPECT_EQ(framer.payloads, kPayloads);
      if (HasFailure()) return;
    }
  }
}

TEST(Framing, SeveralFramesInOneCallShareOneStatusAndTheLastCallbackWins) {
  struct Case {
    const char* name;
    std::vector<VantrelErr> statuses;
    VantrelErr result;
  };
  const std::vector<Case> cases = {
      {"no callback sets a status", {}, VANTREL_ERR_OK},
      {"the last one sets it",
       {VANTREL_ERR_UNEXPECTED, VANTREL_ERR_OK, VANTREL_ERR_OK, VANTREL_ERR_OK,
        VANTREL_ERR_DISCONNECTED},
       VANTREL_ERR_DISCONNECTED},
      {"an early failure is cleared by a later callback",
       {VANTREL_ERR_UNEXPECTED, VANTREL_ERR_UNEXPECTED, VANTREL_ERR_OK},
       VANTREL_ERR_OK},
      {"the status carries over callbacks that leave it alone",
       {VANTREL_ERR_OK, VANTREL_ERR_UNEXPECTED},
       VANTREL_ERR_UNEXPECTED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Framer framer;
    framer.statuses = c.statuses;
    framer.count = 3;  // the count is added to, never set
    EXPECT_EQ(framer.feed(streamOf(kPayloads)), c.result);
    EXPECT_EQ(framer.count, 3 + static_cast<int>(kPayloads.size()));
    EXPECT_EQ(framer.payloads, kPayloads);
  }
}

TEST(Framing, ReadEndingInsideTheHeaderKeepsItsBytesForTheNext) {
  Framer framer;
  const std::string whole = wireFrame("payload") + wireFrame("more");
  EXPECT_EQ(framer.feed(whole.substr(0, 3)), VANTREL_ERR_OK);
  EXPECT_EQ(framer.count, 0);
  EXPECT_EQ(framer.feed(whole.substr(3, 4)), VANTREL_ERR_OK);
  EXPECT_EQ(framer.count, 0);
  EXPECT_EQ(framer.feed(whole.substr(7, 8 + 7 + 2)), VANTREL_ERR_OK);
  EXPECT_EQ(framer.payloads, std::vector<std::string>{"payload"});
  EXPECT_EQ(framer.feed(whole.substr(7 + 8 + 7 + 2)), VANTREL_ERR_OK);
  EXPECT_EQ(framer.payloads, (std::vector<std::string>{"payload", "more"}));
  EXPECT_EQ(framer.count, 2);
}

TEST(Framing, LengthZeroIsDeliveredWithLengthZero) {
  Framer framer;
  std::vector<unsigned long> lengths;
  framer.socket.register_callback(
      [&](unsigned char*, unsigned long size, VantrelErr&) { lengths.push_back(size); });
  EXPECT_EQ(framer.feed(frameHeader(0) + frameHeader(0)), VANTREL_ERR_OK);
  EXPECT_EQ(lengths, (std::vector<unsigned long>{0, 0}));
  EXPECT_EQ(framer.count, 2);
}

TEST(Framing, NegativeLengthAtTheFrontIsReportedOnEveryCall) {
  for (int64_t length : {int64_t{-1}, std::numeric_limits<int64_t>::min()}) {
    SCOPED_TRACE(length);
    Framer framer;
    int result = 0;
    std::string errors = stderrOf([&] { result = framer.feed(frameHeader(length) + "abcdef"); });
    EXPECT_EQ(errors, "Can't parse negative size message\n");
    EXPECT_EQ(result, VANTREL_ERR_UNEXPECTED);
    EXPECT_EQ(framer.count, 0);
    // The bad header stays in front: a valid frame behind it is never reached.
    errors = stderrOf([&] { result = framer.feed(wireFrame("valid")); });
    EXPECT_EQ(errors, "Can't parse negative size message\n");
    EXPECT_EQ(result, VANTREL_ERR_UNEXPECTED);
    EXPECT_EQ(framer.count, 0);
    EXPECT_TRUE(framer.payloads.empty());
  }
}

TEST(Framing, FramesBeforeANegativeLengthAreDeliveredOnce) {
  Framer framer;
  framer.statuses = {VANTREL_ERR_OK, VANTREL_ERR_OK};
  int result = 0;
  std::string errors = stderrOf([&] {
    result =
        framer.feed(wireFrame("one") + wireFrame("two") + frameHeader(-8) + wireFrame("three"));
  });
  EXPECT_EQ(errors, "Can't parse negative size message\n");
  EXPECT_EQ(result, VANTREL_ERR_UNEXPECTED);
  EXPECT_EQ(framer.count, 2);
  EXPECT_EQ(framer.payloads, (std::vector<std::string>{"one", "two"}));

  errors = stderrOf([&] { result = framer.feed(wireFrame("four")); });
  EXPECT_EQ(errors, "Can't parse negative size message\n");
  EXPECT_EQ(result, VANTREL_ERR_UNEXPECTED);
  EXPECT_EQ(framer.count, 2);
  EXPECT_EQ(framer.payloads, (std::vector<std::string>{"one", "two"}));
}

// A length near 2^63 must neither wrap in the completeness check nor size any buffer: it is an
// incomplete frame that waits for more bytes. (The sanitizer build turns a huge allocation into a
// failure of its own.)
TEST(Framing, LengthNearTheTopOfTheRangeIsAnIncompleteFrame) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  for (int64_t length : {kMax, kMax - 7, kMax - 8, int64_t{1} << 62, int64_t{1} << 40}) {
    SCOPED_TRACE(length);
    Framer framer;
    int first = -1;
    int second = -1;
    std::string errors;
    const size_t largest = largestAllocationDuring([&] {
      errors = stderrOf([&] {
        first = framer.feed(wireFrame("before") + frameHeader(length) + std::string(100, 'z'));
        second = framer.feed(std::string(5000, 'y'));
      });
    });
    EXPECT_EQ(first, VANTREL_ERR_OK);
    EXPECT_EQ(second, VANTREL_ERR_OK);
    EXPECT_EQ(errors, "");
    EXPECT_EQ(framer.count, 1);
    EXPECT_EQ(framer.payloads, std::vector<std::string>{"before"});
    EXPECT_LT(largest, size_t{64} << 20);
  }
}

// The same through the wait, which reads straight into the receive buffer: the wait times out
// with nothing delivered, and no read is sized from the announced length.
TEST(Framing, WaitOnALengthNearTheTopOfTheRangeSizesNoBufferByIt) {
  constexpr size_t kSent = 256u << 10;
  TestEngine engine;
  engine.sendRaw(frameHeader(std::numeric_limits<int64_t>::max()) + std::string(kSent, 'g'));
  VantrelSocket socket;
  int delivered = 0;
  socket.register_callback([&](unsigned char*, unsigned long, VantrelErr&) { ++delivered; });
  ASSERT_EQ(socket.connect(engine.host(), engine.port()), VANTREL_ERR_OK);
  int result = 0;
  const size_t largest = largestAllocationDuring([&] { result = socket.waitForMessage(0.5f); });
  EXPECT_EQ(result, VANTREL_ERR_CONNECTION_TIMEOUT);
  EXPECT_EQ(delivered, 0);
  EXPECT_LT(largest, size_t{64} << 20);
}

TEST(Framing, InvalidInputIsRefusedAndChangesNothing) {
  struct Case {
    bool nullData;
    long size;
    const char* diagnostic;
  };
  const std::vector<Case> cases = {
      {false, -5, "invalid input newDataSize=-5 at VantrelSocket::arrangeData\n"},
      {true, 0, "invalid input pNewData=nullptr at VantrelSocket::arrangeData\n"},
      {true, 4, "invalid input pNewData=nullptr at VantrelSocket::arrangeData\n"},
      {true, -1, "invalid input newDataSize=-1 at VantrelSocket::arrangeData\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.diagnostic);
    Framer framer;
    const std::string whole = wireFrame("kept");
    ASSERT_EQ(framer.feed(whole.substr(0, 5)), VANTREL_ERR_OK);
    unsigned char byte = 0;
    int result = 0;
    const std::string errors = stderrOf([&] {
      result = framer.socket.arrangeData(c.nullData ? nullptr : &byte, c.size, framer.count);
    });
    EXPECT_EQ(errors, c.diagnostic);
    EXPECT_EQ(result, VANTREL_ERR_BAD_PARAMS);
    EXPECT_EQ(framer.count, 0);
    // The bytes held before are still there and still first.
    EXPECT_EQ(framer.feed(whole.substr(5)), VANTREL_ERR_OK);
    EXPECT_EQ(framer.payloads, std::vector<std::string>{"kept"});
  }
}

TEST(Framing, WaitWithoutAConnectionTimesOutAtOnce) {
  TestEngine engine;
  VantrelSocket connected;
  connected.register_callback([](unsigned char*, unsigned long, VantrelErr&) {});
  ASSERT_EQ(connected.connect(engine.host(), engine.port()), VANTREL_ERR_OK);
  EXPECT_EQ(connected.disconnect(), VANTREL_ERR_OK);
  VantrelSocket neverConnected;

  for (VantrelSocket* socket : {&neverConnected, &connected}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(socket->waitForMessage(30.0f), VANTREL_ERR_CONNECTION_TIMEOUT);
    bool ready = true;
    EXPECT_EQ(socket->waitForData(ready, 30.0f), VANTREL_ERR_CONNECTION_TIMEOUT);
    EXPECT_FALSE(ready);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(socket->disconnect(), VANTREL_ERR_OK);
  }
}

}  // namespace
