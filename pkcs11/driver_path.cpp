#include "driver_path.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace vemra::p11 {

std::string driverPath() {
  // secure_getenv answers nothing in a process the loader runs in secure
  // mode (AT_SECURE), so a user's variable never picks the code a
  // privileged program runs.
  if (const char* env = ::secure_getenv("VEMRA_DRIVER"); env != nullptr && *env != '\0') return env;
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

std::chrono::milliseconds lingerFromEnvironment() {
  constexpr std::chrono::milliseconds kDefault{100};
  constexpr unsigned long kLongest = 5000;
  const char* env = ::secure_getenv("VEMRA_CARD_LINGER_MS");
  if (env == nullptr || *env < '0' || *env > '9') return kDefault;
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(env, &end, 10);
  if (errno != 0 || *end != '\0' || value > kLongest) return kDefault;
  return std::chrono::milliseconds{value};
}

}  // namespace vemra::p11
