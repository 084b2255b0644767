// How many commands a user action sends to the card, counted at the
// simulated card's bridge on the card the bench lays out (a key-exchange
// key with its certificate, a signature key without one). Each bound sits
// about half again above today's count, so a change that doubles the
// traffic of an action fails here.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "pcsc_stack.h"
#include "user_actions.h"

namespace {

using vemra::bench::Programs;

const Programs kPrograms{VEMRA_P11_MODULE, VEMRA_P11_VEMRACTL, VEMRA_P11_WORKDIR, VEMRA_P11_PRELOAD};
const std::string kCounts = std::string(VEMRA_P11_WORKDIR) + "/counted-bridge.json";

class CommandCounts : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto& stack = vemra::integration::PcscStack::instance();
    const std::string state = std::string(VEMRA_P11_WORKDIR) + "/counted-card.json";
    std::filesystem::remove(state);
    stack.setStateFile(state);
    stack.setBridgeOptions({"--stats", kCounts});
    failure_ = stack.start();
    if (failure_.empty()) failure_ = vemra::bench::prepareCard(kPrograms);
  }
  static void TearDownTestSuite() { vemra::integration::PcscStack::instance().stop(); }
  void SetUp() override { ASSERT_EQ(failure_, ""); }

  static std::string failure_;
};

std::string CommandCounts::failure_;

TEST_F(CommandCounts, UserActionsStayWithinTheirBounds) {
  struct Bound {
    const char* action;
    unsigned long long commands;
    const char* shows;  // in the output, so that an action that did nothing cannot pass
  };
  const Bound bounds[] = {
      {"p11tool --list-tokens", 39, "Model: VEMRA_MINIDR"},
      {"p11tool --login --list-all", 525, "Type: X.509 Certificate (RSA-2048)"},
      {"ssh-keygen -D", 189, "ssh-rsa "},
      {"vemractl info", 105, "serial number:"},
      {"vemractl sign", 37, "OpenSSL verifies the signature"},
  };
  const auto actions = vemra::bench::userActions(kPrograms);
  for (const Bound& bound : bounds) {
    SCOPED_TRACE(bound.action);
    const auto action = std::find_if(actions.begin(), actions.end(), [&](const auto& a) { return a.name == bound.action; });
    ASSERT_NE(action, actions.end());
    const auto m = vemra::bench::measure(*action, kCounts);
    ASSERT_TRUE(m.has_value()) << "no counts in " << kCounts;
    ASSERT_EQ(m->result.status, 0) << m->result.output;
    EXPECT_NE(m->result.output.find(bound.shows), std::string::npos) << m->result.output;
    EXPECT_GT(m->counts.commands, 0u);
    EXPECT_LE(m->counts.commands, bound.commands);
  }
}

}  // namespace
