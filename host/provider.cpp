#include "provider.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "error.h"
#include "text.h"

namespace vemra::host {

std::string defaultDriverPath() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return VEMRA_DRIVER_FILE_NAME;
  const std::filesystem::path dir = self.parent_path();
  for (const std::filesystem::path& candidate :
       {dir / VEMRA_DRIVER_FILE_NAME, dir / ".." / VEMRA_INSTALL_LIBDIR / VEMRA_DRIVER_FILE_NAME}) {
    if (std::filesystem::exists(candidate, ec)) return candidate.lexically_normal().string();
  }
  return (dir / VEMRA_DRIVER_FILE_NAME).string();
}

DriverLibrary::DriverLibrary(const std::string& path) : path_(path) {
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = ::dlerror();
    throw Error("cannot load the driver " + path + ": " + (why != nullptr ? why : "unknown reason"));
  }
  acquire_ = reinterpret_cast<PFN_CARD_ACQUIRE_CONTEXT>(::dlsym(handle_, "CardAcquireContext"));
  if (acquire_ == nullptr) {
    ::dlclose(handle_);
    handle_ = nullptr;
    throw Error(path + " is not a minidriver: it exports no CardAcquireContext");
  }
}

DriverLibrary::~DriverLibrary() {
  if (handle_ != nullptr) ::dlclose(handle_);
}

LPVOID WINAPI providerAlloc(SIZE_T size) { return std::calloc(size == 0 ? 1 : size, 1); }
LPVOID WINAPI providerReAlloc(LPVOID address, SIZE_T size) { return std::realloc(address, size); }
void WINAPI providerFree(LPVOID address) { std::free(address); }

DriverContext::DriverContext(const DriverLibrary& driver, const PcscContext& pcsc, const CardConnection& card)
    : DriverContext(driver.acquireContext(), card.atr(), pcsc.handle(), card.handle(), card.reader()) {}

DriverContext::DriverContext(PFN_CARD_ACQUIRE_CONTEXT acquire, const std::vector<uint8_t>& atr,
                             uintptr_t pcscContext, uintptr_t card, const std::string& reader)
    : atr_(atr.begin(), atr.end()), cardName_(u"VEMRA_MINIDR") {
  data_.dwVersion = CARD_DATA_CURRENT_VERSION;
  data_.pbAtr = atr_.data();
  data_.cbAtr = static_cast<DWORD>(atr_.size());
  data_.pwszCardName = reinterpret_cast<LPWSTR>(cardName_.data());
  data_.pfnCspAlloc = providerAlloc;
  data_.pfnCspReAlloc = providerReAlloc;
  data_.pfnCspFree = providerFree;
  data_.pfnCspUnpadData = unpadWithOpenssl;
  data_.hSCardCtx = pcscContext;
  data_.hScard = card;
  const DWORD rc = acquire(&data_, 0);
  if (rc != 0) {
    // The driver may have allocated its configuration before it failed;
    // CardDeleteContext is the one way to release it.
    if (data_.pfnCardDeleteContext != nullptr) data_.pfnCardDeleteContext(&data_);
    check(rc, "the driver refuses the card in \"" + reader + "\"");
  }
  acquired_ = true;
}

DriverContext::~DriverContext() {
  if (acquired_ && data_.pfnCardDeleteContext != nullptr) data_.pfnCardDeleteContext(&data_);
}

Session::Session(const std::string& driverPath, const std::string& reader) {
  driver_ = std::make_unique<DriverLibrary>(driverPath);
  try {
    pcsc_ = std::make_unique<PcscContext>();
  } catch (const Error& e) {
    if (e.code() == pcsc_code::kNoService) {
      throw Error("the PC/SC service is not running: start pcscd (" + describeCode(e.code()) + ")", e.code());
    }
    throw;
  }
  const std::vector<ReaderState> readers = pcsc_->readers();
  if (readers.empty()) {
    throw Error("no smart-card reader is connected (" + describeCode(pcsc_code::kNoReadersAvailable) + ")",
                pcsc_code::kNoReadersAvailable);
  }
  if (!reader.empty()) {
    bool known = false;
    for (const ReaderState& r : readers) {
      if (r.name != reader) continue;
      known = true;
      if (!r.cardPresent) {
        throw Error("no card in \"" + reader + "\" (" + describeCode(pcsc_code::kNoSmartcard) + ")",
                    pcsc_code::kNoSmartcard);
      }
    }
    if (!known) {
      throw Error("no reader named \"" + reader + "\" (" + describeCode(pcsc_code::kUnknownReader) + ")",
                  pcsc_code::kUnknownReader);
    }
    connection_ = std::make_unique<CardConnection>(*pcsc_, reader);
    context_ = std::make_unique<DriverContext>(*driver_, *pcsc_, *connection_);
    return;
  }
  std::string refused;
  for (const ReaderState& r : readers) {
    if (!r.cardPresent) continue;
    try {
      auto connection = std::make_unique<CardConnection>(*pcsc_, r.name);
      auto context = std::make_unique<DriverContext>(*driver_, *pcsc_, *connection);
      connection_ = std::move(connection);
      context_ = std::move(context);
      return;
    } catch (const Error& e) {
      refused += "\n  " + r.name + " (ATR " + hex(r.atr) + "): " + e.what();
    }
  }
  if (refused.empty()) {
    throw Error("no card in any reader (" + describeCode(pcsc_code::kNoSmartcard) + ")", pcsc_code::kNoSmartcard);
  }
  throw Error("no reader holds a card this driver supports:" + refused, SCARD_E_UNKNOWN_CARD);
}

}  // namespace vemra::host
