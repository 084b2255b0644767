// Bounded access to bytes: a reader over card answers, a writer for commands
// and templates, and the byte-by-byte scans the driver runs over control
// parameters. Nothing here reads or writes outside the span it was given.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>

namespace vemra::card {

// Reads an untrusted byte string front to back. Every read checks first and
// advances only on success; a failed read leaves the reader where it was.
class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  [[nodiscard]] bool readU8(std::uint8_t& out) {
    if (bytes_.empty()) return false;
    out = bytes_[0];
    bytes_ = bytes_.subspan(1);
    return true;
  }

  // A 16-bit value, most significant byte first.
  [[nodiscard]] bool readU16(std::uint16_t& out) {
    if (bytes_.size() < 2) return false;
    out = static_cast<std::uint16_t>((bytes_[0] << 8) | bytes_[1]);
    bytes_ = bytes_.subspan(2);
    return true;
  }

  // Fills `out` completely or reads nothing.
  [[nodiscard]] bool readBytes(std::span<std::uint8_t> out) {
    if (bytes_.size() < out.size()) return false;
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = bytes_[i];
    bytes_ = bytes_.subspan(out.size());
    return true;
  }

  // The next `count` bytes as a view of the input, or nothing read.
  [[nodiscard]] bool readView(std::size_t count, std::span<const std::uint8_t>& out) {
    if (bytes_.size() < count) return false;
    out = bytes_.first(count);
    bytes_ = bytes_.subspan(count);
    return true;
  }

  // The next byte without reading it.
  [[nodiscard]] bool peekU8(std::uint8_t& out) const {
    if (bytes_.empty()) return false;
    out = bytes_[0];
    return true;
  }

  [[nodiscard]] bool skip(std::size_t count) {
    if (bytes_.size() < count) return false;
    bytes_ = bytes_.subspan(count);
    return true;
  }

  [[nodiscard]] std::size_t remaining() const { return bytes_.size(); }
  [[nodiscard]] bool empty() const { return bytes_.empty(); }

 private:
  std::span<const std::uint8_t> bytes_;
};

// Writes into a fixed buffer. A write that does not fit writes nothing and
// fails; once a write has failed, `ok()` stays false.
class ByteWriter {
 public:
  explicit ByteWriter(std::span<std::uint8_t> buffer) : buffer_(buffer) {}

  [[nodiscard]] bool putU8(std::uint8_t value) {
    if (!fits(1)) return false;
    buffer_[size_++] = value;
    return true;
  }

  // A 16-bit value, most significant byte first.
  [[nodiscard]] bool putU16(std::uint16_t value) {
    if (!fits(2)) return false;
    buffer_[size_++] = static_cast<std::uint8_t>(value >> 8);
    buffer_[size_++] = static_cast<std::uint8_t>(value);
    return true;
  }

  [[nodiscard]] bool putBytes(std::span<const std::uint8_t> bytes) {
    if (!fits(bytes.size())) return false;
    for (std::uint8_t b : bytes) buffer_[size_++] = b;
    return true;
  }

  [[nodiscard]] bool putBytes(std::initializer_list<std::uint8_t> bytes) {
    return putBytes(std::span<const std::uint8_t>(bytes.begin(), bytes.size()));
  }

  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] std::span<const std::uint8_t> written() const { return {buffer_.data(), size_}; }

 private:
  bool fits(std::size_t count) {
    if (!ok_ || buffer_.size() - size_ < count) {
      ok_ = false;
      return false;
    }
    return true;
  }

  std::span<std::uint8_t> buffer_;
  std::size_t size_ = 0;
  bool ok_ = true;
};

// A 16-bit value from two bytes, most significant first.
[[nodiscard]] constexpr std::uint16_t bigEndian16(std::uint8_t high, std::uint8_t low) {
  return static_cast<std::uint16_t>((high << 8) | low);
}

// The byte swap of a 16-bit value.
[[nodiscard]] constexpr std::uint16_t swap16(std::uint16_t value) {
  return static_cast<std::uint16_t>((value << 8) | (value >> 8));
}

[[nodiscard]] constexpr std::uint8_t highByte(std::uint16_t value) { return static_cast<std::uint8_t>(value >> 8); }
[[nodiscard]] constexpr std::uint8_t lowByte(std::uint16_t value) { return static_cast<std::uint8_t>(value); }

// Copies `source` into `destination` in reverse order: destination byte t is
// source byte (length - 1 - t). Fails, writing nothing, when the sizes differ.
[[nodiscard]] bool reverseBytes(std::span<std::uint8_t> destination, std::span<const std::uint8_t> source);

// Overwrites `bytes` with zeros in a way the compiler does not drop, for
// buffers that held a PIN, an administrator response or key material.
void wipe(std::span<std::uint8_t> bytes);

// Scans `bytes` front to back for the first occurrence of the pair (first,
// second): findPairAfter without leaders.
[[nodiscard]] std::optional<std::size_t> findPair(std::span<const std::uint8_t> bytes, std::uint8_t first,
                                                  std::uint8_t second);

// Scans `bytes` front to back with a state machine: each byte of `leaders` must
// be met in that order (other bytes between them are skipped), and after the
// last leader (at once when there is none) the first pair (first, second)
// counts; bytes are looked at, not any TLV structure. Returns the position of
// `first`, or nothing when the scan reaches the end.
[[nodiscard]] std::optional<std::size_t> findPairAfter(std::span<const std::uint8_t> bytes,
                                                       std::initializer_list<std::uint8_t> leaders,
                                                       std::uint8_t first, std::uint8_t second);

// The scan of findPairAfter on a reader: on success the reader stands just
// after the pair; otherwise it has reached the end.
[[nodiscard]] bool seekPairAfter(ByteReader& reader, std::initializer_list<std::uint8_t> leaders, std::uint8_t first,
                                 std::uint8_t second);

// Copies the bytes that stand `offset` places after position `at` into `out`.
// Fails when any of them would lie beyond the end of `bytes`.
[[nodiscard]] bool bytesAt(std::span<const std::uint8_t> bytes, std::optional<std::size_t> at, std::size_t offset,
                           std::span<std::uint8_t> out);

}  // namespace vemra::card
