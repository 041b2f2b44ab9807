#include "sim/preference_store.h"

namespace orvane::sim {

std::optional<StoredDictionary> readDictionaryFile(const FileStore& files, std::string_view devicePath) {
  auto bytes = files.read(devicePath, kMaxPlistBytes);
  if (!bytes) return std::nullopt;
  auto parsed = parsePlist(*bytes);
  if (!parsed || parsed->value.dictionary() == nullptr) return std::nullopt;
  return StoredDictionary{std::move(*parsed->value.dictionary()), parsed->format};
}

std::optional<std::string> PreferenceStore::domainPath(std::string_view domain) {
  if (domain.empty() || domain == "." || domain == ".." || domain.find('/') != std::string_view::npos ||
      domain.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  return std::string(kPreferencesFolder) + std::string(domain) + ".plist";
}

Dictionary PreferenceStore::read(std::string_view domain) const {
  auto path = domainPath(domain);
  if (!path) return {};
  auto stored = readDictionaryFile(files_, *path);
  return stored ? std::move(stored->dictionary) : Dictionary{};
}

std::optional<Value> PreferenceStore::copy(std::string_view key, std::string_view domain) const {
  const Dictionary dictionary = read(domain);
  const Value* v = find(dictionary, key);
  return v ? std::optional<Value>(*v) : std::nullopt;
}

bool PreferenceStore::set(std::string_view key, const std::optional<Value>& value, std::string_view domain) {
  auto path = domainPath(domain);
  if (!path) return false;
  auto lock = files_.lockFolderOf(*path);
  if (!lock) return false;
  auto stored = readDictionaryFile(files_, *path);
  Dictionary dictionary = stored ? std::move(stored->dictionary) : Dictionary{};
  const PlistFormat format = stored ? stored->format : PlistFormat::kBinary;
  if (value) {
    dictionary.insert_or_assign(std::string(key), *value);
  } else {
    auto it = dictionary.find(key);
    if (it == dictionary.end()) return true;
    dictionary.erase(it);
  }
  const auto bytes = serializeFaithfully(Value(std::move(dictionary)), format);
  return bytes && files_.writeAtomically(*path, *bytes);
}

}  // namespace orvane::sim
