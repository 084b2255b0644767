#include "support/trace_capture.h"

#include <algorithm>
#include <cstdio>

#include "common/trace.h"

namespace vemra::test {
namespace {

std::vector<std::string>& messages() {
  static std::vector<std::string> all;
  return all;
}

}  // namespace

const std::vector<std::string>& traceMessages() { return messages(); }

void clearTrace() { messages().clear(); }

bool traced(std::string_view message) {
  const auto& all = messages();
  return std::find(all.begin(), all.end(), message) != all.end();
}

}  // namespace vemra::test

namespace vemra::trace {

void sink(Kind kind, const char* message, long value) {
  if (kind != Kind::Value) {
    test::messages().emplace_back(message);
    return;
  }
  char buffer[256];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::snprintf(buffer, sizeof buffer, message, static_cast<int>(value));
#pragma GCC diagnostic pop
  test::messages().emplace_back(buffer);
}

}  // namespace vemra::trace
