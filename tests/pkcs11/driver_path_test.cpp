// The driver a user names in VEMRA_DRIVER is loaded by an ordinary process
// and ignored by a privileged one (here: set-user-ID root, run by nobody),
// where it would run the user's code with the program's privileges.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

std::string output(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "(popen failed)";
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  ::pclose(pipe);
  return out;
}

TEST(DriverOverride, OrdinaryProcessTakesItPrivilegedProcessIgnoresIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "making a set-user-ID program needs root";
  char dir[] = "/tmp/vemra-driver-path-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  ASSERT_EQ(::chmod(dir, 0755), 0);
  const std::string probe = std::string(dir) + "/probe";
  std::filesystem::copy_file(VEMRA_P11_DRIVER_PATH_PROBE, probe);
  const std::string chosen = std::string(dir) + "/chosen-by-the-user.so";
  const std::string run = "VEMRA_DRIVER=" + chosen + " ASAN_OPTIONS=detect_leaks=0 setpriv --reuid=65534 --regid=65534 --clear-groups " + probe;
  struct Case {
    const char* what;
    mode_t mode;
    bool overridden;
  };
  const Case cases[] = {
      {"ordinary", 0755, true},
      {"set-user-ID", 04755, false},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(::chown(probe.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(probe.c_str(), c.mode), 0);
    const std::string path = output(run);
    ASSERT_FALSE(path.empty()) << c.what;
    EXPECT_EQ(path == chosen + "\n", c.overridden) << c.what << ": " << path;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
