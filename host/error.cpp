#include "error.h"

#include <array>
#include <cstdio>

namespace vemra::host {

namespace {

struct CodeText {
  uint32_t code;
  const char* name;
  const char* meaning;
};

// PC/SC codes that pcsc-lite hands back, and the minidriver interface's
// codes and the four Win32 codes the driver uses.
constexpr std::array kCodes{
    CodeText{0x00000000, "SCARD_S_SUCCESS", "success"},
    CodeText{0x80100001, "SCARD_F_INTERNAL_ERROR", "the card answered in a way the driver does not expect"},
    CodeText{0x80100002, "SCARD_E_CANCELLED", "the operation was cancelled"},
    CodeText{0x80100003, "SCARD_E_INVALID_HANDLE", "invalid card or context handle"},
    CodeText{0x80100004, "SCARD_E_INVALID_PARAMETER", "a parameter was refused"},
    CodeText{0x80100006, "SCARD_E_NO_MEMORY", "out of memory"},
    CodeText{0x80100008, "SCARD_E_INSUFFICIENT_BUFFER", "the data does not have the key's size"},
    CodeText{0x80100009, "SCARD_E_UNKNOWN_READER", "no reader of that name"},
    CodeText{0x8010000A, "SCARD_E_TIMEOUT", "the PC/SC service timed out"},
    CodeText{0x8010000B, "SCARD_E_SHARING_VIOLATION", "another program holds the card exclusively"},
    CodeText{0x8010000C, "SCARD_E_NO_SMARTCARD", "no card in the reader"},
    CodeText{0x8010000D, "SCARD_E_UNKNOWN_CARD", "the card is not one this driver supports"},
    CodeText{0x8010000F, "SCARD_E_PROTO_MISMATCH", "the card does not speak the protocol asked for"},
    CodeText{0x80100011, "SCARD_E_INVALID_VALUE", "a value was refused by the PC/SC service"},
    CodeText{0x80100013, "SCARD_F_COMM_ERROR", "communication with the PC/SC service failed"},
    CodeText{0x80100016, "SCARD_E_NOT_TRANSACTED", "the card transaction failed"},
    CodeText{0x80100017, "SCARD_E_READER_UNAVAILABLE", "the reader is not available"},
    CodeText{0x8010001C, "SCARD_E_CARD_UNSUPPORTED", "the card cannot be used in this reader"},
    CodeText{0x8010001D, "SCARD_E_NO_SERVICE", "the PC/SC service (pcscd) is not running"},
    CodeText{0x8010001E, "SCARD_E_SERVICE_STOPPED", "the PC/SC service (pcscd) stopped"},
    CodeText{0x80100022, "SCARD_E_UNSUPPORTED_FEATURE", "the driver does not offer this"},
    CodeText{0x80100023, "SCARD_E_DIR_NOT_FOUND", "no such directory on the card"},
    CodeText{0x80100024, "SCARD_E_FILE_NOT_FOUND", "no such file on the card"},
    CodeText{0x80100027, "SCARD_E_NO_ACCESS", "access denied"},
    CodeText{0x80100028, "SCARD_E_WRITE_TOO_MANY", "too much data for the card"},
    CodeText{0x8010002E, "SCARD_E_NO_READERS_AVAILABLE", "no smart-card reader is connected"},
    CodeText{0x80100030, "SCARD_E_NO_KEY_CONTAINER", "the key container is empty"},
    CodeText{0x80100066, "SCARD_W_UNRESPONSIVE_CARD", "the card does not answer"},
    CodeText{0x80100067, "SCARD_W_UNPOWERED_CARD", "the card is not powered"},
    CodeText{0x80100068, "SCARD_W_RESET_CARD", "the card was reset by another program"},
    CodeText{0x80100069, "SCARD_W_REMOVED_CARD", "the card was removed"},
    CodeText{0x8010006A, "SCARD_W_SECURITY_VIOLATION", "not allowed: log in first (or the card refuses it)"},
    CodeText{0x8010006B, "SCARD_W_WRONG_CHV", "wrong"},
    CodeText{0x8010006C, "SCARD_W_CHV_BLOCKED", "blocked"},
    CodeText{80, "ERROR_FILE_EXISTS", "a file or directory of that name exists"},
    CodeText{122, "ERROR_INSUFFICIENT_BUFFER", "the buffer is too small"},
    CodeText{145, "ERROR_DIR_NOT_EMPTY", "the directory is not empty"},
    CodeText{1306, "ERROR_REVISION_MISMATCH", "record version not supported"},
};

const CodeText* find(uint32_t code) {
  for (const CodeText& c : kCodes) {
    if (c.code == code) return &c;
  }
  return nullptr;
}

}  // namespace

std::string codeName(uint32_t code) {
  if (const CodeText* c = find(code)) return c->name;
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", code);
  return text;
}

std::string codeMeaning(uint32_t code, const std::string& secret, int attempts) {
  if (code == 0x8010006B) {
    std::string text = "wrong " + secret;
    if (attempts == 1) return text + ", 1 attempt left";
    if (attempts >= 0) return text + ", " + std::to_string(attempts) + " attempts left";
    return text;
  }
  if (code == 0x8010006C) return secret + " blocked";
  if (const CodeText* c = find(code)) return c->meaning;
  return "unknown error";
}

std::string describeCode(uint32_t code, const std::string& secret, int attempts) {
  return codeName(code) + ": " + codeMeaning(code, secret, attempts);
}

void check(uint32_t code, const std::string& what, const std::string& secret, int attempts) {
  if (code != 0) throw Error(what + ": " + describeCode(code, secret, attempts), code);
}

}  // namespace vemra::host
