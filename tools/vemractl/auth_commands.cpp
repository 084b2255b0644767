// The commands on logins and secrets: login, logout, change-pin, unblock,
// change-admin-key.
#include "commands.h"

#include <cstdlib>
#include <cstring>

#include "error.h"
#include "layout.h"

namespace vemra::ctl {

using host::Error;

void cmdLogin(Tool& tool, const std::string& role, std::ostream& out) {
  if (role == "user") {
    tool.loginUser();
  } else if (role == "admin") {
    tool.loginAdmin();
  } else {
    throw Error("unknown role \"" + role + "\" (user or admin)");
  }
  tool.keepLogins();
  out << role << " logged in; the card keeps the login until logout, a reset or power-off\n";
}

void cmdLogout(Tool& tool, const std::string& role, std::ostream& out) {
  PIN_SET set = PIN_SET_ALL_ROLES;
  if (role == "user") {
    set = CREATE_PIN_SET(ROLE_USER);
  } else if (role == "admin") {
    set = CREATE_PIN_SET(ROLE_ADMIN);
  } else if (role != "all") {
    throw Error("unknown role \"" + role + "\" (user, admin or all)");
  }
  tool.card().logout(set);
  out << (role == "all" ? std::string("everyone") : role) << " logged out\n";
}

namespace {

Secret newPin(Options& options) {
  if (!options.newPin.empty() || std::getenv("VEMRA_NEW_PIN") != nullptr) {
    return obtainPin(options.newPin, "VEMRA_NEW_PIN", "");
  }
  Secret first = obtainPin("", "VEMRA_NEW_PIN", "New PIN: ");
  Secret again = obtainPin("", "VEMRA_NEW_PIN", "New PIN again: ");
  if (first.size() != again.size() || std::memcmp(first.data(), again.data(), first.size()) != 0) {
    throw Error("the two new PINs differ");
  }
  return first;
}

void pinsChanged(Card& card, std::ostream& out) {
  try {
    bumpFreshness(card, Freshness::Pins);
  } catch (const Error& e) {
    out << "note: cardcf not updated: " << e.what() << "\n";
  }
}

}  // namespace

void cmdChangePin(Tool& tool, std::ostream& out) {
  Card& card = tool.card();
  Secret current = obtainPin(tool.options().pin, "VEMRA_PIN", "Current PIN: ");
  Secret next = newPin(tool.options());
  const Card::Hold held = card.hold();
  card.changePin(current, next);
  out << "user PIN changed\n";
  pinsChanged(card, out);
}

void cmdUnblock(Tool& tool, std::ostream& out) {
  Card& card = tool.card();
  Secret key = obtainAdminKey(tool.options().adminKey, "VEMRA_ADMIN_KEY", "Administrator key (hex): ");
  Secret next = newPin(tool.options());
  const Card::Hold held = card.hold();
  card.unblockPin(key, next);
  out << "user PIN unblocked and set\n";
  // The unblock leaves nobody logged in; the user's new PIN opens cardcf for
  // the counter, and the user is logged out again afterwards.
  try {
    card.loginUser(next);
    pinsChanged(card, out);
    card.logout(CREATE_PIN_SET(ROLE_USER));
  } catch (const Error& e) {
    out << "note: cardcf not updated: " << e.what() << "\n";
  }
}

void cmdChangeAdminKey(Tool& tool, std::ostream& out) {
  Card& card = tool.card();
  Secret current = obtainAdminKey(tool.options().adminKey, "VEMRA_ADMIN_KEY", "Current administrator key (hex): ");
  Secret next = obtainAdminKey(tool.options().newAdminKey, "VEMRA_NEW_ADMIN_KEY", "New administrator key (hex): ");
  const Card::Hold held = card.hold();
  card.changeAdminKey(current, next);
  out << "administrator key changed\n";
  pinsChanged(card, out);
  // The change leaves the administrator authenticated on the card.
  card.logout(CREATE_PIN_SET(ROLE_ADMIN));
  out << "administrator logged out\n";
}

}  // namespace vemra::ctl
