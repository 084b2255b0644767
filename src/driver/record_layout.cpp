// Compile-time checks that the interface records have their published layout
// on the 64-bit (LP64 Linux, LLP64 Windows) and 32-bit (i386 Linux, i686
// Windows) ABIs: a slip in a field's type or order cannot build. The
// expected offsets are the tables of record_layout.h.
#include "driver/record_layout.h"

#include <cstddef>
#include <type_traits>

#include "vemradrv/minidriver.h"

namespace {

using vemra::layout::at;
using vemra::layout::kPointer;

// The base types: DWORD and LONG stay 32-bit on LLP64 (long is 32-bit there,
// 64-bit on LP64), WCHAR is a 16-bit code unit (wchar_t on Windows,
// char16_t elsewhere), the PC/SC handles are pointer-sized.
static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(BOOL) == 4);
static_assert(sizeof(WCHAR) == 2 && sizeof(BYTE) == 1 && sizeof(ALG_ID) == 4);
static_assert(sizeof(SIZE_T) == kPointer && sizeof(ULONG_PTR) == kPointer);
static_assert(sizeof(SCARDHANDLE) == kPointer && sizeof(SCARDCONTEXT) == kPointer);
static_assert(sizeof(CARD_KEY_HANDLE) == kPointer);
static_assert(sizeof(CARD_FILE_ACCESS_CONDITION) == 4 && sizeof(CARD_DIRECTORY_ACCESS_CONDITION) == 4);
static_assert(sizeof(SECRET_TYPE) == 4 && sizeof(SECRET_PURPOSE) == 4 && sizeof(PIN_CACHE_POLICY_TYPE) == 4);
// Every enumeration is a DWORD in C++, so any word a caller passes is a value
// of the type and reaches the driver's range checks.
static_assert(std::is_same_v<std::underlying_type_t<CARD_FILE_ACCESS_CONDITION>, DWORD> &&
              std::is_same_v<std::underlying_type_t<CARD_DIRECTORY_ACCESS_CONDITION>, DWORD> &&
              std::is_same_v<std::underlying_type_t<SECRET_TYPE>, DWORD> &&
              std::is_same_v<std::underlying_type_t<SECRET_PURPOSE>, DWORD> &&
              std::is_same_v<std::underlying_type_t<PIN_CACHE_POLICY_TYPE>, DWORD>);

// CARD_DATA: every field and every slot up to version 7, and nothing after.
#define HEAD(field, offset64, offset32) VEMRA_ASSERT_OFFSET(CARD_DATA, field, offset64, offset32)
#define SLOT(field, index) VEMRA_ASSERT_SLOT(CARD_DATA, field, index)
VEMRA_CARD_DATA_HEAD(HEAD)
VEMRA_CARD_DATA_SLOTS_V5(SLOT)
VEMRA_CARD_DATA_SLOTS_V7(SLOT)
#undef HEAD
#undef SLOT
static_assert(sizeof(CARD_DATA) == vemra::layout::slot(vemra::layout::kVersion7Slots),
              "CARD_DATA ends with the last version-7 slot");
static_assert(sizeof(CARD_DATA) == at(504, 252));

#define SIGNING(field, offset64, offset32) VEMRA_ASSERT_OFFSET(CARD_SIGNING_INFO, field, offset64, offset32)
VEMRA_SIGNING_INFO_FIELDS(SIGNING)
#undef SIGNING
VEMRA_ASSERT_SIZE(CARD_SIGNING_INFO, VEMRA_SIGNING_INFO_SIZE)

#define DECRYPT(field, offset64, offset32) VEMRA_ASSERT_OFFSET(CARD_RSA_DECRYPT_INFO, field, offset64, offset32)
VEMRA_DECRYPT_INFO_FIELDS_V1(DECRYPT)
VEMRA_DECRYPT_INFO_FIELDS_V2(DECRYPT)
#undef DECRYPT
VEMRA_ASSERT_SIZE(CARD_RSA_DECRYPT_INFO, VEMRA_DECRYPT_INFO_SIZE)

#define CONTAINER(field, offset64, offset32) VEMRA_ASSERT_OFFSET(CONTAINER_INFO, field, offset64, offset32)
VEMRA_CONTAINER_INFO_FIELDS(CONTAINER)
#undef CONTAINER
VEMRA_ASSERT_SIZE(CONTAINER_INFO, VEMRA_CONTAINER_INFO_SIZE)

#define PIN(field, offset64, offset32) VEMRA_ASSERT_OFFSET(PIN_INFO, field, offset64, offset32)
VEMRA_PIN_INFO_FIELDS(PIN)
#undef PIN
VEMRA_ASSERT_SIZE(PIN_INFO, VEMRA_PIN_INFO_SIZE)
static_assert(sizeof(PIN_CACHE_POLICY) == 12);

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

static_assert(sizeof(CARD_KEY_SIZES) == 20);
static_assert(sizeof(BCRYPT_PKCS1_PADDING_INFO) == kPointer);

}  // namespace
