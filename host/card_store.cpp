#include "card_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "text.h"

namespace vemra::host {

namespace {

constexpr uint8_t kTag[4] = {'V', 'C', 'R', '1'};
constexpr std::size_t kLargestFile = 1 << 20;
constexpr std::size_t kLongestId = 32;
constexpr std::size_t kLongestCounters = 16;
constexpr std::size_t kMostEntries = 4096;

void put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Reads the record's fields in order, never past the end.
class Reader {
 public:
  explicit Reader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  bool take(std::size_t n, const uint8_t*& at) {
    if (bytes_.size() - pos_ < n) return false;
    at = bytes_.data() + pos_;
    pos_ += n;
    return true;
  }
  bool byte(std::size_t& v) {
    const uint8_t* at = nullptr;
    if (!take(1, at)) return false;
    v = at[0];
    return true;
  }
  bool word(uint32_t& v) {
    const uint8_t* at = nullptr;
    if (!take(4, at)) return false;
    v = static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
        static_cast<uint32_t>(at[3]) << 24;
    return true;
  }
  bool done() const { return pos_ == bytes_.size(); }

 private:
  const std::vector<uint8_t>& bytes_;
  std::size_t pos_ = 0;
};

std::optional<std::string> cacheDirectory() {
  const char* off = ::secure_getenv("VEMRA_CARD_CACHE");
  if (off != nullptr && std::strcmp(off, "off") == 0) return std::nullopt;
  if (const char* xdg = ::secure_getenv("XDG_CACHE_HOME"); xdg != nullptr && xdg[0] == '/') {
    return std::string(xdg) + "/vemradrv";
  }
  if (const char* home = ::secure_getenv("HOME"); home != nullptr && home[0] == '/') {
    return std::string(home) + "/.cache/vemradrv";
  }
  return std::nullopt;
}

bool makeDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
  const std::size_t slash = path.rfind('/');
  if (errno != ENOENT || slash == 0 || slash == std::string::npos) return false;
  return makeDirectory(path.substr(0, slash)) && (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST);
}

bool writeAll(int fd, const std::vector<uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool publicCardFile(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name == "cardid";
  if (dir != "mscp") return false;
  return name == "cmapfile" || (name.size() == 5 && (name.starts_with("kxc") || name.starts_with("ksc")));
}

bool keepableAnswer(uint32_t code) {
  constexpr uint32_t kFileNotFound = 0x80100024;
  constexpr uint32_t kDirectoryNotFound = 0x80100023;
  constexpr uint32_t kNoKeyContainer = 0x80100030;
  return code == 0 || code == kFileNotFound || code == kDirectoryNotFound || code == kNoKeyContainer;
}

std::vector<uint8_t> encodeCardRecord(const CardRecord& record) {
  std::vector<uint8_t> out(std::begin(kTag), std::end(kTag));
  out.push_back(static_cast<uint8_t>(record.counters.size()));
  out.insert(out.end(), record.counters.begin(), record.counters.end());
  put32(out, static_cast<uint32_t>(record.entries.size()));
  for (const auto& [name, answer] : record.entries) {
    out.push_back(static_cast<uint8_t>(name.size()));
    out.insert(out.end(), name.begin(), name.end());
    put32(out, answer.code);
    put32(out, static_cast<uint32_t>(answer.data.size()));
    out.insert(out.end(), answer.data.begin(), answer.data.end());
  }
  return out;
}

std::optional<CardRecord> decodeCardRecord(const std::vector<uint8_t>& bytes) {
  if (bytes.size() > kLargestFile) return std::nullopt;
  Reader in(bytes);
  const uint8_t* at = nullptr;
  if (!in.take(sizeof kTag, at) || std::memcmp(at, kTag, sizeof kTag) != 0) return std::nullopt;
  CardRecord record;
  std::size_t length = 0;
  if (!in.byte(length) || length > kLongestCounters || !in.take(length, at)) return std::nullopt;
  record.counters.assign(at, at + length);
  uint32_t count = 0;
  if (!in.word(count) || count > kMostEntries) return std::nullopt;
  for (uint32_t i = 0; i < count; ++i) {
    if (!in.byte(length) || length == 0 || !in.take(length, at)) return std::nullopt;
    std::string name(reinterpret_cast<const char*>(at), length);
    StoredAnswer answer;
    uint32_t size = 0;
    if (!in.word(answer.code) || !in.word(size) || !in.take(size, at)) return std::nullopt;
    answer.data.assign(at, at + size);
    if (!record.entries.emplace(std::move(name), std::move(answer)).second) return std::nullopt;
  }
  if (!in.done()) return std::nullopt;
  return record;
}

std::optional<std::string> cardRecordPath(const std::vector<uint8_t>& cardId) {
  if (cardId.empty() || cardId.size() > kLongestId) return std::nullopt;
  const auto dir = cacheDirectory();
  if (!dir) return std::nullopt;
  return *dir + "/" + hex(cardId);
}

std::optional<CardRecord> loadCardRecord(const std::vector<uint8_t>& cardId) {
  const auto path = cardRecordPath(cardId);
  if (!path) return std::nullopt;
  const int fd = ::open(path->c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::vector<uint8_t> bytes;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
            static_cast<std::size_t>(st.st_size) <= kLargestFile;
  if (ok) {
    bytes.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      if (ok) done += static_cast<std::size_t>(n);
    }
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  return decodeCardRecord(bytes);
}

void saveCardRecord(const std::vector<uint8_t>& cardId, const CardRecord& record) {
  const auto path = cardRecordPath(cardId);
  if (!path) return;
  const std::vector<uint8_t> bytes = encodeCardRecord(record);
  if (bytes.size() > kLargestFile || record.counters.size() > kLongestCounters ||
      record.entries.size() > kMostEntries) {
    return;
  }
  const std::string dir = path->substr(0, path->rfind('/'));
  if (!makeDirectory(dir)) return;
  std::string temporary = dir + "/.record-XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return;
  const bool written = ::fchmod(fd, 0600) == 0 && writeAll(fd, bytes);
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temporary.c_str(), path->c_str()) != 0) ::unlink(temporary.c_str());
}

void forgetCardRecord(const std::vector<uint8_t>& cardId) {
  if (const auto path = cardRecordPath(cardId)) ::unlink(path->c_str());
}

}  // namespace vemra::host
