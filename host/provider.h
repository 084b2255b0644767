// The provider host: loads the driver library as the platform's smart-card
// providers do, fills a version-7 CARD_DATA for one connected card and calls
// the driver through the record's slots. Only CardAcquireContext is resolved
// by name; nothing of the driver is linked in.
#ifndef VEMRA_HOST_PROVIDER_H
#define VEMRA_HOST_PROVIDER_H

#include <memory>
#include <string>
#include <vector>

#include "pcsc.h"
#include "vemradrv/minidriver.h"

namespace vemra::host {

// The driver beside the running program: in the same directory (a build
// tree), else in the library directory of the installation.
std::string defaultDriverPath();

// The driver library opened with dlopen and its CardAcquireContext.
class DriverLibrary {
 public:
  explicit DriverLibrary(const std::string& path);
  ~DriverLibrary();
  DriverLibrary(const DriverLibrary&) = delete;
  DriverLibrary& operator=(const DriverLibrary&) = delete;

  PFN_CARD_ACQUIRE_CONTEXT acquireContext() const { return acquire_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  void* handle_ = nullptr;
  PFN_CARD_ACQUIRE_CONTEXT acquire_ = nullptr;
};

// The allocator callbacks the host hands to the driver, and the release of
// buffers the driver allocated through them.
LPVOID WINAPI providerAlloc(SIZE_T size);
LPVOID WINAPI providerReAlloc(LPVOID address, SIZE_T size);
void WINAPI providerFree(LPVOID address);

// A buffer the driver handed back through providerAlloc.
struct ProviderFree {
  void operator()(BYTE* p) const { providerFree(p); }
};
using ProviderBuffer = std::unique_ptr<BYTE, ProviderFree>;

// The padding information of an OAEP decryption, as the platform's providers
// pass it in CARD_RSA_DECRYPT_INFO.pPaddingInfo: the hash's name ("SHA1",
// "SHA256", "SHA384", "SHA512") and the label.
struct OaepPaddingInfo {
  LPCWSTR pszAlgId;
  PBYTE pbLabel;
  DWORD cbLabel;
};

// The unpad callback of the record: removes PKCS #1 v1.5 encryption padding
// (CARD_PADDING_PKCS1) or OAEP padding (CARD_PADDING_OAEP, with
// OaepPaddingInfo) with OpenSSL, or hands the block back unchanged
// (CARD_PADDING_NONE). The result is allocated with providerAlloc.
DWORD WINAPI unpadWithOpenssl(PCARD_RSA_DECRYPT_INFO info, DWORD* unpaddedLength, PBYTE* unpadded);

// One acquired driver context on the card of one connection. Deleting it
// calls CardDeleteContext.
class DriverContext {
 public:
  // Fills the record and calls CardAcquireContext; throws Error with the
  // driver's code when it refuses.
  DriverContext(const DriverLibrary& driver, const PcscContext& pcsc, const CardConnection& card);
  // The same with the driver's entry point, the card's ATR, the two PC/SC
  // handles and the reader's name (for messages) given one by one.
  DriverContext(PFN_CARD_ACQUIRE_CONTEXT acquire, const std::vector<uint8_t>& atr, uintptr_t pcscContext,
                uintptr_t card, const std::string& reader);
  ~DriverContext();
  DriverContext(const DriverContext&) = delete;
  DriverContext& operator=(const DriverContext&) = delete;

  CARD_DATA* data() { return &data_; }
  CARD_DATA* operator->() { return &data_; }

 private:
  std::vector<BYTE> atr_;
  std::u16string cardName_;
  CARD_DATA data_{};
  bool acquired_ = false;
};

// A card found and bound: the PC/SC context, the connection and the driver
// context, torn down in the reverse order.
class Session {
 public:
  // Opens `driverPath` and binds to the card in `reader`, or, with an empty
  // name, to the first reader whose card the driver accepts. Throws Error
  // with a message for each way that fails: no PC/SC service, no reader, no
  // card, no supported card, a driver that cannot be loaded.
  Session(const std::string& driverPath, const std::string& reader);

  CARD_DATA* card() { return context_->data(); }
  const std::string& readerName() const { return connection_->reader(); }
  const std::vector<uint8_t>& atr() const { return connection_->atr(); }
  // The SCARDHANDLE of the connection, for a CardTransaction.
  uintptr_t cardHandle() const { return connection_->handle(); }

 private:
  std::unique_ptr<DriverLibrary> driver_;
  std::unique_ptr<PcscContext> pcsc_;
  std::unique_ptr<CardConnection> connection_;
  std::unique_ptr<DriverContext> context_;
};

}  // namespace vemra::host

#endif  // VEMRA_HOST_PROVIDER_H
