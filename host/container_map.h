// The container map "mscp/cmapfile" of the standard card layout: one 86-byte
// record per container index (the container's name in UTF-16LE, flags, and
// the bit length of each of its two keys, little-endian).
#ifndef VEMRA_HOST_CONTAINER_MAP_H
#define VEMRA_HOST_CONTAINER_MAP_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vemra::host {

constexpr std::size_t kContainerRecordSize = 86;
constexpr uint8_t kContainerValid = 0x01;
constexpr uint8_t kContainerDefault = 0x02;

struct ContainerRecord {
  std::u16string name;  // at most 39 characters
  uint8_t flags = 0;
  uint16_t signatureBits = 0;
  uint16_t keyExchangeBits = 0;
  bool valid() const { return (flags & kContainerValid) != 0; }
};

// The records of a container map; bytes after the last whole record are
// ignored.
std::vector<ContainerRecord> parseContainerMap(const std::vector<uint8_t>& file);
// The file of `records`, names cut at 39 characters.
std::vector<uint8_t> encodeContainerMap(const std::vector<ContainerRecord>& records);

}  // namespace vemra::host

#endif
