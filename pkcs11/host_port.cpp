// The card port over the driver, loaded as a provider loads it through the
// provider host library, and the readers through pcsc-lite. The mapping of
// each request to the driver's calls is the driver port's.
#include <algorithm>
#include <mutex>

#include "card_port.h"
#include "driver_path.h"
#include "driver_port.h"
#include "error.h"
#include "pcsc.h"
#include "provider.h"
#include "reader_watch.h"
#include "transaction.h"

namespace vemra::p11 {

namespace {

class HostPort final : public DriverPort {
 public:
  HostPort(std::shared_ptr<host::DriverLibrary> driver, std::unique_ptr<host::PcscContext> pcsc,
           const std::string& reader)
      : driver_(std::move(driver)), pcsc_(std::move(pcsc)) {
    connection_ = std::make_unique<host::CardConnection>(*pcsc_, reader);
    context_ = std::make_unique<host::DriverContext>(*driver_, *pcsc_, *connection_);
  }

  DWORD beginTransaction() override {
    auto transaction = std::make_unique<host::CardTransaction>(connection_->handle());
    if (!transaction->held()) return transaction->status();
    held_.push_back(std::move(transaction));
    return 0;
  }
  void endTransaction() override {
    if (!held_.empty()) held_.pop_back();
  }
  DWORD privateKeyOperation(BYTE index, DWORD keySpec, const Bytes& block, Bytes& out) override {
    // The card's decryption with no padding to remove: the unpad callback
    // hands the whole block back. A version-7 context must pass a version-2
    // record, so the raw block comes through CARD_PADDING_NONE rather than
    // a version-1 record.
    host::CardTransaction hold(connection_->handle());
    if (!hold.held()) return hold.status() != 0 ? hold.status() : SCARD_F_INTERNAL_ERROR;
    Bytes buffer = block;
    CARD_RSA_DECRYPT_INFO info{};
    info.dwVersion = 2;
    info.bContainerIndex = index;
    info.dwKeySpec = keySpec;
    info.pbData = buffer.data();
    info.cbData = static_cast<DWORD>(buffer.size());
    info.dwPaddingType = CARD_PADDING_NONE;
    DWORD rc = cd()->pfnCardRSADecrypt(cd(), &info);
    if (rc == 0 && info.cbData != buffer.size()) rc = SCARD_F_INTERNAL_ERROR;
    if (rc == 0) out.assign(buffer.begin(), buffer.end());
    volatile uint8_t* p = buffer.data();
    for (std::size_t i = 0; i < buffer.size(); ++i) p[i] = 0;
    return rc;
  }

 private:
  CARD_DATA* cd() override { return context_->data(); }

  std::shared_ptr<host::DriverLibrary> driver_;
  std::unique_ptr<host::PcscContext> pcsc_;
  std::unique_ptr<host::CardConnection> connection_;
  std::unique_ptr<host::DriverContext> context_;
  // Last, so that the card is released before the connection goes.
  std::vector<std::unique_ptr<host::CardTransaction>> held_;
};

class HostBackend final : public Backend {
 public:
  DWORD readers(std::vector<ReaderInfo>& out) override {
    try {
      host::PcscContext pcsc;
      out.clear();
      for (const host::ReaderState& r : pcsc.readers()) out.push_back({r.name, r.cardPresent});
      return 0;
    } catch (const host::Error& e) {
      return e.code() != 0 ? e.code() : SCARD_F_INTERNAL_ERROR;
    }
  }

  DWORD connect(const std::string& reader, std::unique_ptr<CardPort>& out) override {
    try {
      if (!driver_) driver_ = std::make_shared<host::DriverLibrary>(driverPath());
      out = std::make_unique<HostPort>(driver_, std::make_unique<host::PcscContext>(), reader);
      return 0;
    } catch (const host::Error& e) {
      return e.code() != 0 ? e.code() : SCARD_F_INTERNAL_ERROR;
    }
  }

  DWORD waitForChange(const std::vector<ReaderInfo>& known, std::vector<ReaderInfo>& now) override {
    // Each wait has a context of its own, which cancelWait cancels.
    std::shared_ptr<host::ReaderWatch> watch;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (cancelled_) return kWaitCancelled;
      try {
        watch = std::make_shared<host::ReaderWatch>();
      } catch (const host::Error& e) {
        return e.code() != 0 ? e.code() : SCARD_F_INTERNAL_ERROR;
      }
      watches_.push_back(watch);
    }
    std::vector<host::ReaderState> before;
    for (const ReaderInfo& r : known) before.push_back({r.name, r.cardPresent, {}});
    std::vector<host::ReaderState> after;
    const DWORD rc = watch->waitForChange(before, after);
    now.clear();
    for (const host::ReaderState& r : after) now.push_back({r.name, r.cardPresent});
    std::lock_guard<std::mutex> guard(lock_);
    watches_.erase(std::find(watches_.begin(), watches_.end(), watch));
    return rc;
  }

  void cancelWait() override {
    std::lock_guard<std::mutex> guard(lock_);
    cancelled_ = true;
    for (const auto& watch : watches_) watch->cancel();
  }

  std::chrono::milliseconds cardLinger() const override { return lingerFromEnvironment(); }
  bool keepsBetweenPrograms() const override { return true; }

 private:
  std::shared_ptr<host::DriverLibrary> driver_;
  std::mutex lock_;
  bool cancelled_ = false;
  std::vector<std::shared_ptr<host::ReaderWatch>> watches_;
};

std::unique_ptr<Backend> makeHostBackend() { return std::make_unique<HostBackend>(); }

const bool registered = registerHostBackend(makeHostBackend);

}  // namespace

}  // namespace vemra::p11
