// The libFuzzer target: each input is one provider session with the driver
// (see session.h for what the input decides and what is checked).
#include <cstddef>
#include <cstdint>

#include "fuzz/input_source.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vemra::fuzz::InputSource source({data, size});
  vemra::fuzz::runSession(source);
  return 0;
}
