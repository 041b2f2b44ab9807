#include "sim/storage/preference_store.h"

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

PreferenceStore::Write PreferenceStore::set(std::string_view key, const std::optional<Value>& value,
                                            std::string_view domain) {
  Write result;
  auto path = domainPath(domain);
  if (!path) return result;
  auto lock = files_.lockFolderOf(*path);
  if (!lock) return result;
  auto stored = readDictionaryFile(files_, *path);
  if (!stored && !value) {
    result.written = true;  // no key to remove
    return result;
  }
  Dictionary dictionary = stored ? std::move(stored->dictionary) : Dictionary{};
  if (value) {
    dictionary.insert_or_assign(std::string(key), *value);
  } else {
    auto it = dictionary.find(key);
    if (it == dictionary.end()) {
      result.written = true;
      return result;
    }
    dictionary.erase(it);
  }
  // The preference service writes binary, whatever the old file was.
  const auto bytes = serializeFaithfully(Value(std::move(dictionary)), PlistFormat::kBinary);
  if (!bytes) return result;
  if (!stored && files_.exists(*path)) {
    // What the user had stays, under a name that says why it was set aside.
    result.movedAside = files_.moveAside(*path);
    if (!result.movedAside) return result;
  }
  result.written = files_.writeAtomically(*path, *bytes);
  return result;
}

}  // namespace orvane::sim
