// Windows builds: holds mingw-w64's own <cardmod.h> to the same layout tables
// as the driver's records (record_layout.h), for every record and slot it
// declares, so that a provider built against the platform header and this
// driver see the same bytes. <cardmod.h> stops at interface version 5, has no
// PIN_INFO, declares CARD_RSA_DECRYPT_INFO without its version-2 fields and
// CARD_KEY_SIZES without dwDefaultBitlen; only what it declares is compared.
// This file must not include the driver's interface header: both declare
// the same names.
#if defined(_WIN32)
#if !__has_include(<cardmod.h>)
#error "the Windows builds compare the records with mingw-w64's <cardmod.h>"
#endif
#include <windows.h>
#include <cardmod.h>

#include <cstddef>

#include "driver/record_layout.h"

namespace {

#define HEAD(field, offset64, offset32) VEMRA_ASSERT_OFFSET(CARD_DATA, field, offset64, offset32)
#define SLOT(field, index) VEMRA_ASSERT_SLOT(CARD_DATA, field, index)
VEMRA_CARD_DATA_HEAD(HEAD)
VEMRA_CARD_DATA_SLOTS_V5(SLOT)
#undef HEAD
#undef SLOT
static_assert(sizeof(CARD_DATA) == vemra::layout::slot(vemra::layout::kVersion5Slots),
              "<cardmod.h> declares CARD_DATA up to the last version-5 slot");

#define SIGNING(field, offset64, offset32) VEMRA_ASSERT_OFFSET(CARD_SIGNING_INFO, field, offset64, offset32)
VEMRA_SIGNING_INFO_FIELDS(SIGNING)
#undef SIGNING
VEMRA_ASSERT_SIZE(CARD_SIGNING_INFO, VEMRA_SIGNING_INFO_SIZE)

#define DECRYPT(field, offset64, offset32) VEMRA_ASSERT_OFFSET(CARD_RSA_DECRYPT_INFO, field, offset64, offset32)
VEMRA_DECRYPT_INFO_FIELDS_V1(DECRYPT)
#undef DECRYPT

#define CONTAINER(field, offset64, offset32) VEMRA_ASSERT_OFFSET(CONTAINER_INFO, field, offset64, offset32)
VEMRA_CONTAINER_INFO_FIELDS(CONTAINER)
#undef CONTAINER
VEMRA_ASSERT_SIZE(CONTAINER_INFO, VEMRA_CONTAINER_INFO_SIZE)

#define FILE_INFO(field, offset64, offset32) VEMRA_ASSERT_OFFSET(CARD_FILE_INFO, field, offset64, offset32)
VEMRA_FILE_INFO_FIELDS(FILE_INFO)
#undef FILE_INFO
VEMRA_ASSERT_SIZE(CARD_FILE_INFO, VEMRA_FILE_INFO_SIZE)

#define FREE_SPACE(field, offset64, offset32) VEMRA_ASSERT_OFFSET(CARD_FREE_SPACE_INFO, field, offset64, offset32)
VEMRA_FREE_SPACE_INFO_FIELDS(FREE_SPACE)
#undef FREE_SPACE
VEMRA_ASSERT_SIZE(CARD_FREE_SPACE_INFO, VEMRA_FREE_SPACE_INFO_SIZE)

#define CAPABILITIES(field, offset64, offset32) VEMRA_ASSERT_OFFSET(CARD_CAPABILITIES, field, offset64, offset32)
VEMRA_CAPABILITIES_FIELDS(CAPABILITIES)
#undef CAPABILITIES
VEMRA_ASSERT_SIZE(CARD_CAPABILITIES, VEMRA_CAPABILITIES_SIZE)

// The hash identifiers that the interface header defines only where
// <wincrypt.h> has not: the platform's values are the interface's.
static_assert(CALG_MD5 == 0x8003 && CALG_SHA1 == 0x8004 && CALG_SSL3_SHAMD5 == 0x8008);
static_assert(CALG_SHA_256 == 0x800C && CALG_SHA_384 == 0x800D && CALG_SHA_512 == 0x800E);
static_assert(AT_KEYEXCHANGE == 1 && AT_SIGNATURE == 2);

}  // namespace
#endif
