// The receive path: arbitrary bytes, cut into arbitrary reads, through the framing into the proxy's
// receive handler. No socket: the framing is fed as the wait would feed it.
//
// Input: 4 bytes that seed the cuts, then the byte stream from the engine.
// Invariants, for any input:
//  - the framing hands over exactly the frames that the stream holds, in order, and keeps the rest;
//  - after each frame the proxy's current frame and time are those of the last message that
//    decoded, and the handler's status says what the frame was (-102 undecodable, -1002 end of
//    simulation, 0 otherwise);
//  - the result of each read is the status of its last frame, or -102 after a negative length;
//  - nothing crashes, leaks or reads out of bounds (the sanitizers).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "VantrelSim.h"
#include "VantrelSocket.h"

using namespace Vantrel::SDK;
using Vantrel::Fuzz::Choices;
using Vantrel::Fuzz::Cursor;
using Vantrel::Fuzz::silenceLibraryStreams;
using Vantrel::Fuzz::violated;

namespace {

struct Expected {
  unsigned int frame = 0;
  float time = 0.0f;
  VantrelErr lastStatus = VANTREL_ERR_OK;
};

bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

int64_t lengthAt(const std::string& bytes, size_t offset) {
  uint64_t length = 0;
  for (size_t i = 8; i > 0; --i)
    length = (length << 8) | static_cast<uint8_t>(bytes[offset + i - 1]);
  return static_cast<int64_t>(length);
}

// The frames that a framing which has seen `stream` must have delivered: cut independently here,
// so that a fault in the framing's bookkeeping shows as a difference.
struct Reference {
  std::string stream;
  size_t consumed = 0;
  bool stuck = false;  // a negative length at the front
  std::vector<std::string> pending;

  // Appends bytes and returns how many frames they complete.
  int feed(const uint8_t* bytes, size_t count) {
    stream.append(reinterpret_cast<const char*>(bytes), count);
    int completed = 0;
    while (!stuck && stream.size() - consumed >= 8) {
      const int64_t length = lengthAt(stream, consumed);
      if (length < 0) {
        stuck = true;
        break;
      }
      if (static_cast<uint64_t>(length) > stream.size() - consumed - 8) break;
      pending.push_back(stream.substr(consumed + 8, static_cast<size_t>(length)));
      consumed += 8 + static_cast<size_t>(length);
      ++completed;
    }
    return completed;
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  silenceLibraryStreams();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Cursor input(data, size);
  Choices choices(input.littleEndian(4));

  VantrelSim sim;
  VantrelSocket framing;
  Reference reference;
  Expected expected;
  size_t frameIndex = 0;

  framing.register_callback([&](unsigned char* payload, unsigned long length, VantrelErr& status) {
    if (frameIndex >= reference.pending.size()) violated("a frame the stream does not hold");
    const std::string& wanted = reference.pending[frameIndex++];
    if (length != wanted.size() || (length > 0 && std::memcmp(payload, wanted.data(), length) != 0))
      violated("a frame's payload differs from the stream");

    EngineToClientMessage decoded;
    const bool decodes = decoded.ParseFromArray(payload, static_cast<int>(length));
    sim.receiveMessageCB(payload, static_cast<long>(length), status);

    VantrelErr wantedStatus = VANTREL_ERR_OK;
    if (!decodes) {
      wantedStatus = VANTREL_ERR_UNEXPECTED;
    } else {
      expected.frame = decoded.framenumber();
      expected.time = decoded.simulationtimeinsec();
      if (decoded.ReportType_case() == EngineToClientMessage::kEndOfSimulation)
        wantedStatus = VANTREL_ERR_DISCONNECTED;
    }
    if (status != wantedStatus) violated("the handler's status does not match the frame");
    expected.lastStatus = status;

    unsigned int frame = 0;
    float time = 0.0f;
    sim.getCurrFrame(frame);
    sim.getCurrSimulationTime(time);
    if (frame != expected.frame) violated("current frame is not that of the last decoded message");
    if (!sameBits(time, expected.time))
      violated("current time is not that of the last decoded message");
    bool running = true;
    sim.isRunning(running);
    if (running) violated("a proxy that never started runs");
  });

  while (input.left() > 0) {
    // Mostly small reads, now and then one that takes a large part of the stream at once.
    size_t count = choices.below(8) == 0 ? choices.below(65536) : choices.below(300);
    const uint8_t* bytes = input.take(count);
    std::vector<unsigned char> chunk(bytes, bytes + count);  // an exact-size copy for ASan
    const int completed = reference.feed(bytes, count);
    const size_t before = frameIndex;
    expected.lastStatus = VANTREL_ERR_OK;

    int messageCount = 0;
    // A read of nothing still has a valid (non-null) buffer, as recv() would fill it.
    unsigned char none = 0;
    const int result = framing.arrangeData(chunk.empty() ? &none : chunk.data(),
                                           static_cast<long>(count), messageCount);
    if (messageCount != completed || frameIndex - before != static_cast<size_t>(completed))
      violated("the framing delivered a different number of frames");
    const int wantedResult = reference.stuck ? VANTREL_ERR_UNEXPECTED : expected.lastStatus;
    if (result != wantedResult) violated("the read's result is not its last frame's status");
  }
  return 0;
}
