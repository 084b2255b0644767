#include "support/card_tables.h"

#include <nlohmann/json.hpp>

#include <sstream>

namespace vemra::test {
namespace {

using json = nlohmann::json;

std::vector<std::uint8_t> unhex(const std::string& text) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return out;
}

std::string name(const std::vector<std::uint8_t>& record, std::size_t from) {
  std::string text;
  for (std::size_t i = from; i < from + 8 && i < record.size() && record[i] != 0; ++i) text.push_back(static_cast<char>(record[i]));
  return text;
}

const json* child(const json& df, unsigned fid) {
  if (!df.contains("children")) return nullptr;
  for (const auto& c : df.at("children")) {
    if (c.at("fid").get<unsigned>() == fid) return &c;
  }
  return nullptr;
}

// The file tables and data-file EFs of one DF (the application or a directory).
void readScope(const json& df, const cardsim::CardConfig& config, const std::string& scope, CardTables& out) {
  auto& files = out.files[scope];
  std::set<unsigned> registered;
  for (unsigned table = 0; table < 255; ++table) {
    const json* node = child(df, (config.fileTableFidBase + table) & 0xFFFF);
    if (node == nullptr) break;
    const auto& records = node->at("records");
    for (std::size_t r = 0; r < records.size(); ++r) {
      const auto record = unhex(records[r].get<std::string>());
      if (record.empty() || record[0] != 0x01) continue;
      const unsigned entry = table * config.fileTableRecords + static_cast<unsigned>(r);
      const unsigned fid = (config.fileFidBase + entry) & 0xFFFF;
      const std::string file = name(record, 3);
      const unsigned length = (record[1] << 8) | record[2];
      registered.insert(fid);
      const json* ef = child(df, fid);
      if (ef == nullptr || !ef->contains("data")) {
        out.broken.push_back(scope + "/" + file + ": registered without its EF");
        continue;
      }
      auto data = unhex(ef->at("data").get<std::string>());
      if (data.size() < length) {
        out.broken.push_back(scope + "/" + file + ": registered length beyond its EF");
        continue;
      }
      if (files.count(file) != 0) {
        out.leftOvers.push_back(scope + "/" + file + ": a second entry of the name");
        continue;  // a lookup finds the entry with the lower index
      }
      files[file] = std::string(data.begin(), data.begin() + length);
    }
  }
  for (const auto& c : df.value("children", json::array())) {
    const unsigned fid = c.at("fid").get<unsigned>();
    const unsigned offset = (fid - config.fileFidBase) & 0xFFFF;
    if (c.at("kind") == "transparent" && offset < 255u * config.fileTableRecords && registered.count(fid) == 0) {
      out.leftOvers.push_back(scope + ": an EF no entry refers to");
    }
  }
}

}  // namespace

std::string CardTables::describe() const {
  std::ostringstream text;
  for (const auto& d : directories) text << "directory " << d << "\n";
  for (const auto& [scope, entries] : files) {
    for (const auto& [file, content] : entries) text << scope << "/" << file << ": " << content.size() << " bytes\n";
  }
  for (const auto& b : broken) text << "BROKEN " << b << "\n";
  for (const auto& l : leftOvers) text << "left over: " << l << "\n";
  return text.str();
}

CardTables readTables(const cardsim::Card& card) {
  const cardsim::CardConfig& config = card.config();
  const json state = json::parse(card.toJson());
  CardTables out;
  const json* application = child(state.at("files"), config.applicationFid);
  if (application == nullptr) {
    out.broken.push_back("no application");
    return out;
  }
  readScope(*application, config, "", out);
  std::set<unsigned> directoryFids;
  if (const json* table = child(*application, config.dirTableFid)) {
    const auto& records = table->at("records");
    for (std::size_t n = 0; n < records.size(); ++n) {
      const auto record = unhex(records[n].get<std::string>());
      if (record.empty() || record[0] == 0x00) continue;
      const std::string directory = name(record, 1);
      const unsigned fid = (config.dirFidBase + n) & 0xFFFF;
      directoryFids.insert(fid);
      if (!out.directories.insert(directory).second) out.broken.push_back(directory + ": two directory records");
      const json* df = child(*application, fid);
      if (df == nullptr || df->at("kind") != "df") {
        out.broken.push_back(directory + ": registered without its DF");
        continue;
      }
      readScope(*df, config, directory, out);
    }
  }
  for (const auto& c : application->value("children", json::array())) {
    const unsigned fid = c.at("fid").get<unsigned>();
    if (c.at("kind") == "df" && ((fid - config.dirFidBase) & 0xFFFF) < 256 && directoryFids.count(fid) == 0) {
      out.leftOvers.push_back("a directory DF no record refers to");
    }
  }
  return out;
}

}  // namespace vemra::test
