// The preference service: each domain is the property-list file
// /var/mobile/Library/Preferences/<domain>.plist. Reads see the file; a write reaches the file before
// it returns, through a read-modify-write under the folder's exclusive lock, so writers of different
// keys never lose each other's work. The file is written binary, whatever it was before. A
// domain file that exists but cannot be read is moved aside, never overwritten, before a write.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"
#include "sim/plist/plist_io.h"
#include "sim/storage/file_store.h"

namespace orvane::sim {

inline constexpr std::string_view kPreferencesFolder = "/var/mobile/Library/Preferences/";

// A property-list file read as a dictionary, with the format it was stored in.
struct StoredDictionary {
  Dictionary dictionary;
  PlistFormat format;
};
std::optional<StoredDictionary> readDictionaryFile(const FileStore& files, std::string_view devicePath);

class PreferenceStore {
 public:
  explicit PreferenceStore(FileStore& files) : files_(files) {}

  // The device path of a domain's file; nothing for a name that is not a plain file name.
  static std::optional<std::string> domainPath(std::string_view domain);

  // The domain's dictionary; empty when the file is missing or unreadable.
  Dictionary read(std::string_view domain) const;
  std::optional<Value> copy(std::string_view key, std::string_view domain) const;
  struct Write {
    bool written = false;                   // the file holds the change (or had nothing to remove)
    std::optional<std::string> movedAside;  // where an unreadable file was put before the write
  };
  // Sets (or, with no value, removes) one key.
  Write set(std::string_view key, const std::optional<Value>& value, std::string_view domain);

 private:
  FileStore& files_;
};

}  // namespace orvane::sim
