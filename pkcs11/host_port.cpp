// The card port over the driver, loaded as a provider loads it through the
// provider host library, and the readers through pcsc-lite. The mapping of
// each request to the driver's calls is the driver port's.
#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>

#include "card_port.h"
#include "driver_port.h"
#include "error.h"
#include "pcsc.h"
#include "provider.h"

namespace vemra::p11 {

namespace {

// The driver: $VEMRA_DRIVER, else the one beside this module (a build
// tree), else the one in the library directory above it (an installation,
// where the module sits in <libdir>/pkcs11), else the name for the loader's
// search path.
std::string driverPath() {
  if (const char* env = std::getenv("VEMRA_DRIVER"); env != nullptr && *env != '\0') return env;
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&driverPath), &info) != 0 && info.dli_fname != nullptr) {
    const std::filesystem::path dir = std::filesystem::path(info.dli_fname).parent_path();
    std::error_code ec;
    for (const std::filesystem::path& candidate : {dir / VEMRA_DRIVER_FILE_NAME, dir / ".." / VEMRA_DRIVER_FILE_NAME}) {
      if (std::filesystem::exists(candidate, ec)) return candidate.lexically_normal().string();
    }
  }
  return VEMRA_DRIVER_FILE_NAME;
}

class HostPort final : public DriverPort {
 public:
  HostPort(std::shared_ptr<host::DriverLibrary> driver, std::unique_ptr<host::PcscContext> pcsc,
           const std::string& reader)
      : driver_(std::move(driver)), pcsc_(std::move(pcsc)) {
    connection_ = std::make_unique<host::CardConnection>(*pcsc_, reader);
    context_ = std::make_unique<host::DriverContext>(*driver_, *pcsc_, *connection_);
  }

 private:
  CARD_DATA* cd() override { return context_->data(); }

  std::shared_ptr<host::DriverLibrary> driver_;
  std::unique_ptr<host::PcscContext> pcsc_;
  std::unique_ptr<host::CardConnection> connection_;
  std::unique_ptr<host::DriverContext> context_;
};

class HostBackend final : public Backend {
 public:
  std::vector<ReaderInfo> readers() override {
    std::vector<ReaderInfo> out;
    try {
      host::PcscContext pcsc;
      for (const host::ReaderState& r : pcsc.readers()) out.push_back({r.name, r.cardPresent});
    } catch (const host::Error&) {
      // No PC/SC service: no readers.
    }
    return out;
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
