// The card port over the driver, loaded as a provider loads it through the
// provider host library, and the readers through pcsc-lite. The mapping of
// each request to the driver's calls is the driver port's.
#include "card_port.h"
#include "driver_path.h"
#include "driver_port.h"
#include "error.h"
#include "pcsc.h"
#include "provider.h"
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

 private:
  std::shared_ptr<host::DriverLibrary> driver_;
};

std::unique_ptr<Backend> makeHostBackend() { return std::make_unique<HostBackend>(); }

const bool registered = registerHostBackend(makeHostBackend);

}  // namespace

}  // namespace vemra::p11
