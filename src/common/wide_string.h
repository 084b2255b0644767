// Comparison of a caller's wide string with a name the driver knows.
#pragma once

#include "vemradrv/minidriver.h"

namespace vemra::common {

// True when `text` equals `name` as whole strings, terminator included,
// case-sensitive. NULL equals nothing. Reads the caller's string only up to
// its first character that differs from `name` (or the terminator), so an
// unterminated string longer than every name is never read to its end.
[[nodiscard]] inline bool sameWideString(LPCWSTR text, const char16_t* name) {
  if (text == nullptr) return false;
  for (;; ++text, ++name) {
    if (static_cast<char16_t>(*text) != *name) return false;
    if (*name == u'\0') return true;
  }
}

}  // namespace vemra::common
