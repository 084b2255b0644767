// vemra-bench-actions: what a user waits for. Lays out the simulated card
// (user_actions.h), then runs each user action once against it with the
// bridge holding every answer for the time a real card would take, and
// prints per action the commands, the bytes each way, the modelled card
// time, the wall time and the rest (the host: programs, module, driver,
// pcscd). See docs/performance.md.
#include <filesystem>
#include <iomanip>
#include <iostream>

#include "cardsim/timing.h"
#include "pcsc_stack.h"
#include "user_actions.h"

namespace {

using vemra::bench::Programs;

struct Options {
  std::string timing = "usb-contact";
  std::string only;  // one action by name, else all
  bool verbose = false;
  bool trace = false;  // the bridge logs every command and answer
};

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--timing" && i + 1 < argc) {
      o.timing = argv[++i];
    } else if (arg == "--only" && i + 1 < argc) {
      o.only = argv[++i];
    } else if (arg == "--verbose") {
      o.verbose = true;
    } else if (arg == "--trace") {
      o.trace = true;
    } else {
      return false;
    }
  }
  return vemra::cardsim::parseTimingProfile(o.timing).has_value();
}

double seconds(std::chrono::microseconds t) { return static_cast<double>(t.count()) / 1e6; }

// Lays the card out without a timing profile, then puts it back into the
// reader with the profile. "" or what failed.
std::string prepare(vemra::integration::PcscStack& stack, const Programs& programs, const Options& o,
                    const std::string& counts) {
  std::filesystem::remove(programs.work + "/card.json");
  stack.setStateFile(programs.work + "/card.json");
  stack.setBridgeOptions({"--stats", counts});
  if (std::string failure = stack.start(); !failure.empty()) return failure;
  if (std::string failure = vemra::bench::prepareCard(programs); !failure.empty()) return failure;
  if (std::string failure = stack.removeCard(); !failure.empty()) return failure;
  std::vector<std::string> options{"--stats", counts, "--timing", o.timing};
  if (o.trace) options.emplace_back("--verbose");
  stack.setBridgeOptions(options);
  return stack.insertCard();
}

// Each action twice: as the first program after a change of the card
// (nothing kept of it yet), and again, when the first run kept what it read.
int runActions(vemra::integration::PcscStack& stack, const Programs& programs, const Options& o,
               const std::string& counts) {
  std::cout << "| user action | commands, first | commands, again | bytes to / from the card, first "
               "| card time first (s) | card time again (s) | wall time first (s) | wall time again (s) |\n"
               "|---|---:|---:|---:|---:|---:|---:|---:|\n";
  int failures = 0;
  for (const auto& action : vemra::bench::userActions(programs)) {
    if (!o.only.empty() && action.name != o.only) continue;
    stack.emptyCardStore();
    const auto first = vemra::bench::measure(action, counts);
    const auto again = first && first->result.status == 0 ? vemra::bench::measure(action, counts) : std::nullopt;
    if (!first || !again || first->result.status != 0 || again->result.status != 0) {
      const auto& failed = first && first->result.status != 0 ? first : again;
      std::cerr << action.name << " failed:\n" << (failed ? failed->result.output : "no counts from the bridge\n");
      ++failures;
      continue;
    }
    if (o.verbose) std::cerr << action.commandLine << "\n" << first->result.output;
    std::cout << std::fixed << std::setprecision(2) << "| `" << action.name << "` | " << first->counts.commands
              << " | " << again->counts.commands << " | " << first->counts.bytesIn << " / " << first->counts.bytesOut
              << " | " << seconds(first->counts.modelled) << " | " << seconds(again->counts.modelled) << " | "
              << seconds(first->wall) << " | " << seconds(again->wall) << " |" << std::endl;
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    std::cerr << "usage: vemra-bench-actions [--timing PROFILE] [--only ACTION] [--verbose] [--trace]\n"
                 "  --timing P   the bridge's timing profile (default usb-contact; off counts only)\n"
                 "  --only A     run one action, named as in the table (\"vemractl info\")\n"
                 "  --verbose    print each action's command line and output\n"
                 "  --trace      the bridge logs every command and answer in vemra-vcard.log beside the program\n";
    return 2;
  }
  const Programs programs{VEMRA_P11_MODULE, VEMRA_VEMRACTL, VEMRA_INTEGRATION_WORKDIR, VEMRA_BENCH_PRELOAD};
  const std::string counts = programs.work + "/bridge-counts.json";
  auto& stack = vemra::integration::PcscStack::instance();
  const std::string failure = prepare(stack, programs, o, counts);
  if (!failure.empty()) {
    std::cerr << "vemra-bench-actions: " << failure << "\n";
    stack.stop();
    return 1;
  }
  std::cout << "Timing profile: " << o.timing << "\n\n";
  const int status = runActions(stack, programs, o, counts);
  stack.stop();
  return status;
}
