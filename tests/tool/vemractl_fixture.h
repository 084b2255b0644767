// The fixture of the tests that run vemractl as a user runs it: a
// subprocess against a fresh simulated card through the real pcscd and the
// virtual reader, its output and exit status kept.
#ifndef VEMRA_TEST_VEMRACTL_FIXTURE_H
#define VEMRA_TEST_VEMRACTL_FIXTURE_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "pcsc_stack.h"

extern char** environ;

namespace vemra::integration {

using nlohmann::json;
using Env = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kPin = "1234";
constexpr const char* kAdminKey = "0123456789ABCDEFFEDCBA98765432100123456789ABCDEF";

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

inline std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

inline void spill(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << content;
}

class StackEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { PcscStack::instance().stop(); }
};
// Stops the stack once, after the last test of the program.
inline const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new StackEnvironment);

class VemractlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A fresh simulated card for every test.
    PcscStack& stack = PcscStack::instance();
    ASSERT_EQ(stack.start(), "") << "the PC/SC stack could not be brought up";
    ASSERT_EQ(stack.removeCard(), "");
    ASSERT_EQ(stack.insertCard(), "");
    char dir[] = "/tmp/vemractl-test-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    work = dir;
  }
  void TearDown() override { std::system(("rm -rf '" + work + "'").c_str()); }

  std::string file(const std::string& name) const { return work + "/" + name; }

  // Runs vemractl on the simulated card's reader with `args`, standard input
  // `input` and, besides PATH, only the environment `env`.
  Outcome vemractl(const std::vector<std::string>& args, const Env& env = {}, const std::string& input = "",
               bool withReader = true) {
    std::vector<std::string> all{VEMRACTL_PATH};
    if (withReader) {
      all.push_back("--reader");
      all.push_back(PcscStack::instance().readerName());
    }
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envText{"PATH=/usr/bin:/bin", "ASAN_OPTIONS=detect_leaks=0"};
    for (const auto& [k, v] : env) envText.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (std::string& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);

    spill(file("stdin"), input);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, file("stdin").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // A session of its own: no terminal, so a missing secret cannot be
    // prompted for.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    Outcome run;
    if (posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data()) == 0) {
      int status = 0;
      ::waitpid(pid, &status, 0);
      run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    run.out = slurp(file("stdout"));
    run.err = slurp(file("stderr"));
    return run;
  }

  Outcome asUser(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--login", "user"});
    return vemractl(args, {{"VEMRA_PIN", kPin}}, input);
  }

  void init() {
    const Outcome run = vemractl({"init"}, {{"VEMRA_ADMIN_KEY", kAdminKey}});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
  }

  std::string work;
};

#define EXPECT_OK(run) EXPECT_EQ((run).status, 0) << (run).out << (run).err
#define ASSERT_OK(run) ASSERT_EQ((run).status, 0) << (run).out << (run).err
#define EXPECT_FAILS_WITH(run, text)                              \
  do {                                                            \
    const Outcome& r_ = (run);                                        \
    EXPECT_NE(r_.status, 0) << r_.out;                            \
    EXPECT_NE(r_.err.find(text), std::string::npos) << r_.err;    \
  } while (0)

// Runs a shell command in the test's directory; its exit status.
inline int shell(const std::string& dir, const std::string& command) {
  return std::system(("cd '" + dir + "' && (" + command + ") >/dev/null 2>&1").c_str());
}

}  // namespace vemra::integration

#endif  // VEMRA_TEST_VEMRACTL_FIXTURE_H
