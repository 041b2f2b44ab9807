// A process's files and strings, as Foundation reads and writes them. Its preferences are
// preferences.cpp's, its notifications notifications.cpp's.
#include <string>
#include <utility>

#include "sim/device/device.h"
#include "sim/device/process.h"
#include "sim/plist/plist_io.h"
#include "sim/standins/locale.h"

namespace orvane::sim {

// ---- platform::Files ----

bool LocalProcess::fileExistsAtPath(std::string_view path) { return device_.files().exists(path); }

std::optional<Dictionary> LocalProcess::dictionaryWithContentsOfFile(std::string_view path) {
  // What the file shares stays shared, as CoreFoundation's reader keeps it (CFBinaryPList.c caches
  // every object by its offset): a value written out in full past any bound costs nothing here.
  auto stored = readDictionaryFile(device_.files(), path);
  if (!stored) return std::nullopt;
  return std::move(stored->dictionary);
}

bool LocalProcess::writeToFileAtomically(const Dictionary& dictionary, std::string_view path) {
  // writeToFile:atomically: of a dictionary writes an XML property list, whatever the old file was.
  const auto bytes = serializeFaithfully(Value(dictionary), PlistFormat::kXml);
  const bool ok = bytes && device_.files().writeAtomically(path, *bytes);
  // The event shows what the file holds: XML keeps whole seconds of a date.
  const auto stored = ok ? parsePlist(*bytes) : std::nullopt;
  trace(ok ? "file-write" : "file-write-failed",
        {{"path", std::string(path)},
         {"format", "xml"},
         {"value", FieldValue::of(stored ? stored->value : Value(dictionary))}});
  return ok;
}

// ---- platform::Strings ----

std::string LocalProcess::capitalizedString(std::string_view s) { return sim::capitalizedString(s); }

}  // namespace orvane::sim
