#pragma once

#include "vemradrv/minidriver.h"

namespace vemra::driver {

// Writes the driver's entry points into the slots of `cardData` that interface
// `version` (as the provider passed it) has. Slots of later versions, the two
// reserved pointers and the provider's own callbacks are not touched; the
// Diffie-Hellman slots receive NULL.
void fillDispatchTable(CARD_DATA& cardData, DWORD version);

}  // namespace vemra::driver
