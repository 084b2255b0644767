// vemractl's handling of secrets without a card: administrator keys parsed
// without leaving key bytes in freed memory, plaintext written to a file
// only its owner reads, and the secrets' variables kept out of the
// environment of the programs the demo starts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "commands.h"
#include "freed_memory_watch.h"
#include "secrets.h"
#include "simulator.h"

namespace vemra::ctl {
namespace {

using vemra::test::FreedMemoryWatch;

TEST(AdminKeyParsing, LeavesNoKeyBytesInFreedMemory) {
  struct Case {
    const char* what;
    std::string hex;
    bool valid;
  };
  const Case cases[] = {
      {"24 bytes", "8f3ca571d2e4b6099a1b2c3d4e5f6071" "8f3ca571d2e4b609", true},
      {"16 bytes", "8f3ca571d2e4b6099a1b2c3d4e5f6071", true},
      {"24 bytes with separators", "8f:3c:a5:71:d2:e4:b6:09 9a:1b:2c:3d:4e:5f:60:71 8f:3c:a5:71:d2:e4:b6:09", true},
      {"an odd digit at the end", "8f3ca571d2e4b6099a1b2c3d4e5f6071" "8f3ca571d2e4b6090", false},
  };
  const std::vector<uint8_t> start = {0x8f, 0x3c, 0xa5, 0x71};
  for (const Case& c : cases) {
    std::size_t leaks = 0;
    bool parsed = false;
    std::vector<std::vector<uint8_t>> secrets{start};  // copied before the watch starts
    std::string hex = c.hex;
    {
      FreedMemoryWatch watch(std::move(secrets));
      try {
        const Secret key = parseAdminKey(std::move(hex));
        parsed = key.size() == 24 && std::equal(start.begin(), start.end(), key.data()) &&
                 std::equal(key.data(), key.data() + 8, key.data() + 16);
      } catch (const std::exception&) {
      }
      leaks = watch.leaks();
    }
    EXPECT_EQ(parsed, c.valid) << c.what;
    EXPECT_EQ(leaks, 0u) << c.what;
  }
}

TEST(OutputFiles, PlaintextGoesToAFileOnlyItsOwnerReads) {
  char dir[] = "/tmp/vemractl-output-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string fresh = std::string(dir) + "/plain";
  const std::string existing = std::string(dir) + "/existing";
  std::ofstream(existing) << "old content that is longer";
  ASSERT_EQ(::chmod(existing.c_str(), 0644), 0);
  const mode_t saved = ::umask(022);
  const Bytes plain = {'s', 'e', 'c', 'r', 'e', 't'};
  std::ostringstream out;
  for (const std::string& path : {fresh, existing}) {
    writeAll(path, plain, out, FileAccess::OwnerOnly);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << path;
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "secret") << path;
  }
  // Other output keeps the usual mode.
  const std::string other = std::string(dir) + "/public";
  writeAll(other, plain, out);
  struct stat st {};
  ASSERT_EQ(::stat(other.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ::umask(saved);
  for (const std::string& path : {fresh, existing, other}) ::unlink(path.c_str());
  ::rmdir(dir);
}

TEST(DemoChildren, InheritNoSecretsFromTheEnvironment) {
  const char* given[] = {"PATH=/usr/bin",         "VEMRA_PIN=1234",       "VEMRA_NEW_PIN=5678",
                         "VEMRA_ADMIN_KEY=0011",  "VEMRA_NEW_ADMIN_KEY=2233", "VEMRA_PINNED=kept",
                         "HOME=/root",            nullptr};
  const std::vector<std::string> env = childEnvironment(const_cast<char**>(given));
  EXPECT_EQ(env, (std::vector<std::string>{"PATH=/usr/bin", "VEMRA_PINNED=kept", "HOME=/root"}));
}

}  // namespace
}  // namespace vemra::ctl
