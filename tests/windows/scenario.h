/*
 * What the Windows scenario's parts share: the failure report, the checks
 * that end a step, the provider's allocator and the bound CARD_DATA.
 */
#ifndef VEMRA_WINE_SCENARIO_H
#define VEMRA_WINE_SCENARIO_H

#include <windows.h>

#include "vemradrv/minidriver.h"

/* Records why the current step fails; returns FALSE for `return fail(…)`. */
BOOL fail(const char *format, ...);

#define EXPECT_CODE(expected, call)                                                                  \
  do {                                                                                               \
    const DWORD actual_ = (DWORD)(call);                                                             \
    if (actual_ != (DWORD)(expected))                                                                \
      return fail("%s returned 0x%08lX, expected 0x%08lX", #call, (unsigned long)actual_,            \
                  (unsigned long)(expected));                                                        \
  } while (0)

#define EXPECT_TRUE(condition) \
  do {                         \
    if (!(condition)) return fail("%s does not hold", #condition); \
  } while (0)

/* The provider's allocator: blocks handed out and given back. */
extern long allocations;
extern long releases;
void WINAPI providerFree(LPVOID address);

/* The driver bound to the card (CardAcquireContext). */
extern CARD_DATA cardData;

/* The certificate vemractl wrote into mscp/kxc00 of a card kept by its
 * demo: read compressed, decoded by CryptoAPI, its key verifying the card's
 * signature; then written uncompressed, as another provider may, and read
 * again. */
BOOL certificateFromLinux(void);

#endif /* VEMRA_WINE_SCENARIO_H */
