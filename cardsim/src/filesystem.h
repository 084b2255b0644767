// The file tree: control parameters in and out, FID resolution, deletion.
#ifndef VEMRA_CARDSIM_FILESYSTEM_H
#define VEMRA_CARDSIM_FILESYSTEM_H

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "state.h"

namespace vemra::cardsim {

struct ParsedFcp {
  std::unique_ptr<Node> node;  // set when sw is 0x9000
  uint16_t sw = sw::kOk;
};

// Builds a file from the FCP template (tag 62) of CREATE FILE. Malformed or
// unsupported templates give 0x6A80.
ParsedFcp parseFcp(std::span<const uint8_t> bytes);

// The control parameters of a file: an FCP template (62) or, with `fci`, an
// FCI template (6F) that also carries the file's total size under 81.
std::vector<uint8_t> controlParameters(const CardState& state, const Node& node, bool fci);

// The file that `fid` names from the current DF: the MF for 3F00, else the
// current DF itself, its children, its parent, then its parent's children.
Node* resolveFid(const CardState& state, uint16_t fid);

// Whether `inner` is `outer` or lies below it.
bool contains(const Node& outer, const Node* inner);

// The DF whose DF name is `name`, searched through the whole tree.
Node* findDfByName(const CardState& state, std::span<const uint8_t> name);

// Removes `node` and everything below it; the current DF and EF move up
// when they were inside it.
void removeNode(CardState& state, Node& node);

// Makes `node` the current file, as SELECT and CREATE FILE do.
void makeCurrent(CardState& state, Node& node);

}  // namespace vemra::cardsim

#endif  // VEMRA_CARDSIM_FILESYSTEM_H
