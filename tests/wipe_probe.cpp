// Compiled with -O2 and the wipe's own definition in the same translation
// unit, so the optimiser sees through it: a secret that dies at the end of
// the function, whose zeroing is a dead store unless the wipe is one the
// compiler cannot drop. check_wipe.sh reads the disassembly.
#include <cstdint>

#include "card/bytes.cpp"
#include "card/secret_bytes.h"

extern "C" std::uint8_t vemra_wipe_probe(std::uint8_t seed) {
  // Large enough that a memset of it is a call, not inline stores.
  vemra::card::SecretBytes<4096> secret;
  std::uint8_t folded = 0;
  for (std::uint8_t& b : secret.bytes()) b = seed++;
  for (std::uint8_t b : secret.view()) folded = static_cast<std::uint8_t>(folded * 31 + b);
  return folded;
}
