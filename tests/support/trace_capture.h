// The test build's trace sink keeps every message, formatted, in order.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vemra::test {

const std::vector<std::string>& traceMessages();
void clearTrace();
bool traced(std::string_view message);

}  // namespace vemra::test
