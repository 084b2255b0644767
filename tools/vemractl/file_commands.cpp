// The commands on files and directories: ls, cat, put, mkdir, rmdir, rm.
#include "commands.h"

#include <nlohmann/json.hpp>

#include "error.h"
#include "layout.h"

namespace vemra::ctl {

using host::Error;
using nlohmann::json;

namespace {

// The directories the card lists as applications in "cardapps" and that
// exist; the driver has no listing of directories.
std::vector<std::string> knownDirectories(Card& card) {
  std::vector<std::string> dirs;
  Bytes apps;
  try {
    if (!card.fileInfo("", "cardapps")) return dirs;
    apps = card.readFile("", "cardapps");
  } catch (const Error&) {
    return dirs;
  }
  for (std::size_t at = 0; at + 8 <= apps.size(); at += 8) {
    std::string name;
    for (std::size_t i = 0; i < 8 && apps[at + i] != 0; ++i) name += static_cast<char>(apps[at + i]);
    if (name.empty()) continue;
    try {
      card.listFiles(name);
      dirs.push_back(name);
    } catch (const Error&) {
    }
  }
  return dirs;
}

}  // namespace

void cmdLs(Tool& tool, const std::string& dir, std::ostream& out) {
  Card& card = tool.card();
  const Card::Hold held = card.hold();
  json files = json::array();
  for (const std::string& name : card.listFiles(dir)) {
    const auto entry = card.fileInfo(dir, name);
    if (!entry) continue;
    files.push_back({{"name", name}, {"size", entry->size}, {"access", fileAccessName(entry->access)}});
  }
  json dirs = json::array();
  if (dir.empty()) {
    for (const std::string& d : knownDirectories(card)) dirs.push_back(d);
  }
  if (tool.options().json) {
    out << json{{"directory", dir}, {"files", files}, {"directories", dirs}}.dump(2) << "\n";
    return;
  }
  for (const json& f : files) {
    std::string name = f["name"].get<std::string>();
    std::string size = std::to_string(f["size"].get<DWORD>());
    name.resize(10, ' ');
    size.insert(0, size.size() < 7 ? 7 - size.size() : 0, ' ');
    out << name << size << "  " << f["access"].get<std::string>() << "\n";
  }
  for (const json& d : dirs) out << d.get<std::string>() << "/\n";
}

namespace {

// Tells providers that the files changed; a card without "cardcf" has no
// cache to invalidate.
void filesChanged(Card& card, const std::string& dir, const std::string& name, std::ostream& out) {
  if (dir.empty() && name == "cardcf") return;
  try {
    bumpFreshness(card, Freshness::Files);
  } catch (const Error& e) {
    out << "note: cardcf not updated: " << e.what() << "\n";
  }
}

}  // namespace

void cmdCat(Tool& tool, const std::string& path, const std::string& output, std::ostream& out) {
  std::string dir;
  std::string name;
  splitPath(path, dir, name);
  Card& card = tool.card();
  const Card::Hold held = card.hold();
  writeAll(output, card.readFile(dir, name), out);
}

void cmdPut(Tool& tool, const std::string& path, const std::string& input, const std::string& access,
            std::ostream& out) {
  std::string dir;
  std::string name;
  splitPath(path, dir, name);
  const CARD_FILE_ACCESS_CONDITION condition = parseFileAccess(access);
  const Bytes content = readAll(input);
  Card& card = tool.card();
  const Card::Hold held = card.hold();
  const auto existing = card.fileInfo(dir, name);
  if (!existing) {
    // A new file is created with room for its content (the driver creates
    // at most 32768 bytes; writing grows it further).
    card.createFile(dir, name, static_cast<DWORD>(std::min<std::size_t>(content.size(), 0x8000)), condition);
  } else if (content.empty()) {
    throw Error("cannot write " + path + ": the content is empty (remove the file instead)");
  }
  if (!content.empty()) card.writeFile(dir, name, content);
  out << (existing ? "wrote " : "created ") << path << ", " << content.size() << " bytes\n";
  filesChanged(card, dir, name, out);
}

void cmdMkdir(Tool& tool, const std::string& dir, const std::string& access, std::ostream& out) {
  CARD_DIRECTORY_ACCESS_CONDITION condition = UserCreateDeleteDirAc;
  if (access == "admin") {
    condition = AdminCreateDeleteDirAc;
  } else if (access != "user") {
    throw Error("unknown directory access \"" + access + "\" (user or admin)");
  }
  Card& card = tool.card();
  const Card::Hold held = card.hold();
  card.createDirectory(dir, condition);
  out << "created directory " << dir << "\n";
  filesChanged(card, dir, "", out);
}

void cmdRmdir(Tool& tool, const std::string& dir, std::ostream& out) {
  Card& card = tool.card();
  const Card::Hold held = card.hold();
  card.deleteDirectory(dir);
  out << "deleted directory " << dir << "\n";
  filesChanged(card, dir, "", out);
}

void cmdRm(Tool& tool, const std::string& path, std::ostream& out) {
  std::string dir;
  std::string name;
  splitPath(path, dir, name);
  Card& card = tool.card();
  const Card::Hold held = card.hold();
  card.deleteFile(dir, name);
  out << "deleted " << path << "\n";
  filesChanged(card, dir, name, out);
}

}  // namespace vemra::ctl
