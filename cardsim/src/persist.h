// The card's persistent state as JSON.
#ifndef VEMRA_CARDSIM_PERSIST_H
#define VEMRA_CARDSIM_PERSIST_H

#include <string>

#include "state.h"

namespace vemra::cardsim {

std::string stateToJson(const CardState& state);
// Replaces `state` with the one described; throws std::runtime_error on
// malformed or inconsistent input, leaving `state` unchanged. The loaded
// card is powered and reset.
void stateFromJson(const std::string& json, CardState& state);

}  // namespace vemra::cardsim

#endif  // VEMRA_CARDSIM_PERSIST_H
