// What the simulated card's directory and file tables say, read straight from
// the card's persistent state, for tests that check the card after a fault:
// the names and contents a provider would see, the broken invariants (a
// registered entry without its EF, a directory record without its DF) and
// what is left over (an EF or DF no entry refers to, two entries of a name).
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "cardsim/card.h"

namespace vemra::test {

struct CardTables {
  // Directory name ("" for the root) -> file name -> registered content.
  std::map<std::string, std::map<std::string, std::string>> files;
  std::set<std::string> directories;
  std::vector<std::string> broken;     // never allowed
  std::vector<std::string> leftOvers;  // allowed where a failure documents them, until the next operation repairs them

  // Names and contents only, for comparing before and after.
  bool sameView(const CardTables& other) const { return files == other.files && directories == other.directories; }
  std::string describe() const;
};

CardTables readTables(const cardsim::Card& card);

}  // namespace vemra::test
