// Temporary body of an entry point whose operation is not built yet: it runs
// the prologue like the finished entry point will, then answers
// SCARD_E_UNSUPPORTED_FEATURE. Each subsystem removes its uses as it lands.
#pragma once

#include "common/prologue.h"

namespace vemra::driver {

inline DWORD pendingEntryPoint(PCARD_DATA pCardData) {
  if (const DWORD rc = common::prologue(pCardData)) return rc;
  return SCARD_E_UNSUPPORTED_FEATURE;
}

}  // namespace vemra::driver
