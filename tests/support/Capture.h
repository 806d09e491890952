// Captures what the library writes to standard error or standard output during one block of code.
#ifndef VANTREL_TESTS_CAPTURE_H
#define VANTREL_TESTS_CAPTURE_H

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace Vantrel {
namespace Testing {

inline std::string stderrOf(const std::function<void()>& action) {
  ::testing::internal::CaptureStderr();
  action();
  return ::testing::internal::GetCapturedStderr();
}

inline std::string stdoutOf(const std::function<void()>& action) {
  ::testing::internal::CaptureStdout();
  action();
  return ::testing::internal::GetCapturedStdout();
}

}  // namespace Testing
}  // namespace Vantrel

#endif
