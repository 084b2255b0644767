#include "container_map.h"

namespace vemra::host {

std::vector<ContainerRecord> parseContainerMap(const std::vector<uint8_t>& file) {
  std::vector<ContainerRecord> records;
  for (std::size_t at = 0; at + kContainerRecordSize <= file.size(); at += kContainerRecordSize) {
    ContainerRecord r;
    for (std::size_t i = 0; i < 40; ++i) {
      const char16_t c = static_cast<char16_t>(file[at + 2 * i] | file[at + 2 * i + 1] << 8);
      if (c == 0) break;
      r.name += c;
    }
    r.flags = file[at + 80];
    r.signatureBits = static_cast<uint16_t>(file[at + 82] | file[at + 83] << 8);
    r.keyExchangeBits = static_cast<uint16_t>(file[at + 84] | file[at + 85] << 8);
    records.push_back(r);
  }
  return records;
}

std::vector<uint8_t> encodeContainerMap(const std::vector<ContainerRecord>& records) {
  std::vector<uint8_t> file(records.size() * kContainerRecordSize, 0);
  for (std::size_t n = 0; n < records.size(); ++n) {
    const ContainerRecord& r = records[n];
    uint8_t* at = file.data() + n * kContainerRecordSize;
    for (std::size_t i = 0; i < r.name.size() && i < 39; ++i) {
      at[2 * i] = static_cast<uint8_t>(r.name[i]);
      at[2 * i + 1] = static_cast<uint8_t>(r.name[i] >> 8);
    }
    at[80] = r.flags;
    at[82] = static_cast<uint8_t>(r.signatureBits);
    at[83] = static_cast<uint8_t>(r.signatureBits >> 8);
    at[84] = static_cast<uint8_t>(r.keyExchangeBits);
    at[85] = static_cast<uint8_t>(r.keyExchangeBits >> 8);
  }
  return file;
}

}  // namespace vemra::host
