// The lean floor: what rereading the settings file costs at the least. The file is read with plain
// system calls (stat; open, fstat, read, close) on its host path, found once, and parsed by a
// binary property-list reader that knows only what a settings file holds (booleans, integers, reals,
// strings, data, arrays and dictionaries) and checks only what keeps it inside the bytes. It is a
// yardstick for the benchmark, not a reader for the device: no bound on sizes or nesting beyond the
// file's own, no shared objects kept shared.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

namespace orvane::bench {

class LeanReader {
 public:
  // The value of a binary property list, or nothing when the bytes are not one it reads.
  static std::optional<Value> parse(std::string_view bytes) {
    if (bytes.size() < 40 || bytes.substr(0, 8) != "bplist00") return std::nullopt;
    LeanReader r(bytes);
    const std::string_view trailer = bytes.substr(bytes.size() - 32);
    r.offsetSize_ = static_cast<unsigned char>(trailer[6]);
    r.refSize_ = static_cast<unsigned char>(trailer[7]);
    r.count_ = r.number(bytes.size() - 24, 8);
    const std::uint64_t top = r.number(bytes.size() - 16, 8);
    r.table_ = r.number(bytes.size() - 8, 8);
    if (r.offsetSize_ == 0 || r.offsetSize_ > 8 || r.refSize_ == 0 || r.refSize_ > 8 || top >= r.count_ ||
        r.table_ > bytes.size() - 32 || r.count_ > (bytes.size() - 32 - r.table_) / r.offsetSize_) {
      return std::nullopt;
    }
    return r.object(top, 0);
  }

 private:
  explicit LeanReader(std::string_view bytes) : bytes_(bytes) {}

  // A big-endian number of `size` bytes at `at` (0 past the end: the caller's checks catch it).
  std::uint64_t number(std::size_t at, std::size_t size) const {
    if (at > bytes_.size() || size > bytes_.size() - at) return 0;
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < size; ++i) n = (n << 8) | static_cast<unsigned char>(bytes_[at + i]);
    return n;
  }

  std::optional<Value> object(std::uint64_t index, int depth) {
    if (index >= count_ || depth > 512) return std::nullopt;
    std::size_t at = number(table_ + index * offsetSize_, offsetSize_);
    if (at >= table_) return std::nullopt;
    const auto marker = static_cast<unsigned char>(bytes_[at++]);
    const unsigned low = marker & 0x0F;
    switch (marker >> 4) {
      case 0x0:
        if (marker == 0x08 || marker == 0x09) return Value(marker == 0x09);
        return std::nullopt;
      case 0x1: {
        if (low > 3) return std::nullopt;
        const std::size_t size = std::size_t{1} << low;
        if (at + size > table_) return std::nullopt;
        return Value(static_cast<std::int64_t>(number(at, size)));
      }
      case 0x2: {
        if (low != 3 || at + 8 > table_) return std::nullopt;
        return Value(std::bit_cast<double>(number(at, 8)));
      }
      default:
        break;
    }
    // Everything else has a length: in the marker, or an integer after it.
    std::uint64_t length = low;
    if (low == 0x0F) {
      if (at >= table_) return std::nullopt;
      const auto intMarker = static_cast<unsigned char>(bytes_[at++]);
      if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3) return std::nullopt;
      const std::size_t size = std::size_t{1} << (intMarker & 0x0F);
      if (at + size > table_) return std::nullopt;
      length = number(at, size);
      at += size;
    }
    const std::size_t room = table_ - at;
    switch (marker >> 4) {
      case 0x4:
        if (length > room) return std::nullopt;
        return Value(Data(bytes_.begin() + static_cast<std::ptrdiff_t>(at),
                          bytes_.begin() + static_cast<std::ptrdiff_t>(at + length)));
      case 0x5:
        if (length > room) return std::nullopt;
        return Value(std::string(bytes_.substr(at, length)));
      case 0x6:
        if (length > room / 2) return std::nullopt;
        return utf16(at, length);
      case 0xA: {
        if (length > room / refSize_) return std::nullopt;
        Array array;
        array.reserve(length);
        for (std::uint64_t i = 0; i < length; ++i) {
          auto element = object(number(at + i * refSize_, refSize_), depth + 1);
          if (!element) return std::nullopt;
          array.push_back(std::move(*element));
        }
        return Value(std::move(array));
      }
      case 0xD: {
        if (length > room / refSize_ / 2) return std::nullopt;
        Dictionary dictionary;
        for (std::uint64_t i = 0; i < length; ++i) {
          auto key = object(number(at + i * refSize_, refSize_), depth + 1);
          auto value = object(number(at + (length + i) * refSize_, refSize_), depth + 1);
          if (!key || !value || key->string() == nullptr) return std::nullopt;
          dictionary.insert_or_assign(Key(*key->string()), std::move(*value));
        }
        return Value(std::move(dictionary));
      }
      default:
        return std::nullopt;
    }
  }

  // UTF-16 (big-endian) as UTF-8; nothing for an unpaired surrogate.
  std::optional<Value> utf16(std::size_t at, std::uint64_t units) const {
    std::string out;
    out.reserve(units * 3);
    for (std::uint64_t i = 0; i < units; ++i) {
      std::uint32_t c = static_cast<std::uint32_t>(number(at + 2 * i, 2));
      if (c >= 0xD800 && c < 0xDC00) {
        const auto next = static_cast<std::uint32_t>(i + 1 < units ? number(at + 2 * (i + 1), 2) : 0);
        if (next < 0xDC00 || next >= 0xE000) return std::nullopt;
        c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
        ++i;
      } else if (c >= 0xDC00 && c < 0xE000) {
        return std::nullopt;
      }
      if (c < 0x80) {
        out += static_cast<char>(c);
      } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
      } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
      } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    return Value(std::move(out));
  }

  std::string_view bytes_;
  unsigned offsetSize_ = 0;
  unsigned refSize_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t table_ = 0;
};

// The file's bytes by plain system calls, or nothing.
inline std::optional<std::string> leanRead(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::optional<std::string> bytes;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    std::string buffer(static_cast<std::size_t>(st.st_size), '\0');
    if (::read(fd, buffer.data(), buffer.size()) == static_cast<ssize_t>(buffer.size())) bytes = std::move(buffer);
  }
  ::close(fd);
  return bytes;
}

inline bool leanExists(const char* path) {
  struct stat st {};
  return ::stat(path, &st) == 0;
}

}  // namespace orvane::bench
