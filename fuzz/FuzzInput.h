// Reading helpers shared by the fuzz targets: a cursor over the fuzzer's bytes and a small
// deterministic generator for the choices that are not worth spending input bytes on.
#ifndef VANTREL_FUZZ_INPUT_H
#define VANTREL_FUZZ_INPUT_H

#include <google/protobuf/stubs/logging.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <streambuf>

namespace Vantrel {
namespace Fuzz {

// Stops the run with a message that libFuzzer reports as a crash, together with the input. Written
// with C stdio, which the silencing below leaves alone.
[[noreturn]] inline void violated(const char* invariant) {
  std::fprintf(stderr, "invariant violated: %s\n", invariant);
  std::abort();
}

// The library writes one diagnostic line per bad frame to std::cerr and the end-of-simulation
// notice to std::cout, and the schema runtime logs every string that is not UTF-8; at thousands of
// inputs a second they would drown the fuzzer's own report.
inline void silenceLibraryStreams() {
  google::protobuf::SetLogHandler(nullptr);
  struct Discard : std::streambuf {
    int overflow(int c) override { return c; }
  };
  static Discard discard;
  std::cerr.rdbuf(&discard);
  std::cout.rdbuf(&discard);
}

class Cursor {
 public:
  Cursor(const uint8_t* data, size_t size) : m_Data(data), m_Left(size) {}
  size_t left() const { return m_Left; }
  uint8_t byte() { return m_Left > 0 ? (--m_Left, *m_Data++) : 0; }
  uint32_t littleEndian(size_t bytes) {
    uint32_t value = 0;
    for (size_t i = 0; i < bytes; ++i) value |= uint32_t{byte()} << (8 * i);
    return value;
  }
  // Up to `count` bytes (fewer at the end of the input), valid as long as the input.
  const uint8_t* take(size_t& count) {
    if (count > m_Left) count = m_Left;
    const uint8_t* bytes = m_Data;
    m_Data += count;
    m_Left -= count;
    return bytes;
  }

 private:
  const uint8_t* m_Data;
  size_t m_Left;
};

// xorshift32: the same cuts for the same input, so that every finding reproduces.
class Choices {
 public:
  explicit Choices(uint32_t seed) : m_State(seed == 0 ? 0x9e3779b9u : seed) {}
  uint32_t next() {
    m_State ^= m_State << 13;
    m_State ^= m_State >> 17;
    m_State ^= m_State << 5;
    return m_State;
  }
  uint32_t below(uint32_t bound) { return next() % bound; }

 private:
  uint32_t m_State;
};

}  // namespace Fuzz
}  // namespace Vantrel

#endif
