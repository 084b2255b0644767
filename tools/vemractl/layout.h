// The standard file layout that the platform's smart-card providers expect
// on top of the driver's file system: the root files "cardid", "cardcf" and
// "cardapps", and the directory "mscp" with the container map "cmapfile".
#ifndef VEMRA_CTL_LAYOUT_H
#define VEMRA_CTL_LAYOUT_H

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "card.h"
#include "container_map.h"

namespace vemra::ctl {

using host::ContainerRecord;
using host::encodeContainerMap;
using host::kContainerDefault;
using host::kContainerRecordSize;
using host::kContainerValid;
using host::parseContainerMap;

// A new container name: a random GUID in braces.
std::u16string newContainerName();
std::string narrow(const std::u16string& text);

enum class Freshness { Pins, Containers, Files };

// Adds one to a counter of "cardcf", so that providers know their cache is
// stale. Returns false when the card has no "cardcf".
bool bumpFreshness(Card& card, Freshness which);

// Lays out whatever of the standard files and the directory is missing; the
// administrator must be authenticated. Writes one line per item to `log`.
void initLayout(Card& card, std::ostream& log);

// The container map, or nothing when the card has none.
std::optional<std::vector<ContainerRecord>> readContainerMap(Card& card);

// Marks container `index` valid in "cmapfile" with the key size of the key
// type (the other key's size is kept); the caller bumps the containers'
// counter. Returns false when the card has no container map.
bool recordContainer(Card& card, BYTE index, DWORD keySpec, DWORD bits);
// Frees container `index` in "cmapfile"; false when there is no map.
bool forgetContainer(Card& card, BYTE index);

}  // namespace vemra::ctl

#endif  // VEMRA_CTL_LAYOUT_H
