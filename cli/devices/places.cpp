#include "cli/devices/places.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "sim/plist/plist_io.h"

namespace orvane::cli::devices {

namespace fs = std::filesystem;

namespace {

// The folder `path` (and the ones above it that are missing, each 0700); then it must be a folder
// and not a link. Throws saying why not.
void makeFolder(const fs::path& path) {
  fs::path made;
  for (const fs::path& part : path) {
    made /= part;
    if (::mkdir(made.c_str(), 0700) != 0 && errno != EEXIST) {
      throw std::runtime_error("cannot make " + made.string() + ": " + std::strerror(errno));
    }
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    throw std::runtime_error(path.string() + " is not a folder");
  }
}

// A folder this user alone may enter: theirs, not a link, nothing for group or others. What the
// door's folder must be, since the door's mode alone is not looked at by every system.
void checkOwnFolder(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    throw std::runtime_error(path.string() + " is not a folder");
  }
  if (st.st_uid != ::getuid()) throw std::runtime_error(path.string() + " belongs to another user");
  if ((st.st_mode & 077) != 0) throw std::runtime_error(path.string() + " may be entered by other users");
}

std::string absoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value == '/' ? std::string(value) : std::string();
}

const std::string* stringAt(const Dictionary& d, std::string_view key) {
  const Value* v = find(d, key);
  return v != nullptr ? v->string() : nullptr;
}

}  // namespace

std::string nameError(std::string_view name) {
  constexpr std::size_t kLongest = 64;
  if (name.empty() || name.size() > kLongest) return "a device's name is 1 to 64 characters";
  const auto alnum = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); };
  if (!alnum(name.front())) return "a device's name begins with a letter or a digit";
  if (!std::ranges::all_of(name, [&](char c) { return alnum(c) || c == '.' || c == '_' || c == '-'; })) {
    return "a device's name holds only letters, digits, '.', '_' and '-'";
  }
  if (name == kBootedWord) return "'booted' names the booted device: it is no device's own name";
  if (name.ends_with(".scn")) return "a name ending in .scn is a set-up file's";
  return "";
}

fs::path devicesFolder(bool make) {
  fs::path base = absoluteVariable("XDG_STATE_HOME");
  if (base.empty()) {
    const std::string home = absoluteVariable("HOME");
    if (home.empty()) throw std::runtime_error("neither XDG_STATE_HOME nor HOME names a folder for the devices");
    base = fs::path(home) / ".local" / "state";
  }
  const fs::path folder = base / "orvane" / "devices";
  if (make) makeFolder(folder);
  return folder;
}

fs::path doorsFolder(bool make) {
  const std::string runtime = absoluteVariable("XDG_RUNTIME_DIR");
  const fs::path folder =
      !runtime.empty() ? fs::path(runtime) / "orvane" : fs::path("/tmp") / ("orvane-" + std::to_string(::getuid()));
  if (make) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      throw std::runtime_error("cannot make " + folder.string() + ": " + std::strerror(errno));
    }
    checkOwnFolder(folder);
  }
  return folder;
}

Places placesOf(const std::string& name, bool make) {
  Places p;
  p.name = name;
  p.folder = devicesFolder(make) / name;
  p.root = p.folder / "root";
  p.record = p.folder / "device.plist";
  p.lock = p.folder / "lock";
  p.log = p.folder / "device.log";
  p.socket = doorsFolder(make) / (name + ".sock");
  if (make) {
    makeFolder(p.folder);
    makeFolder(p.root);
  }
  return p;
}

std::optional<Record> readRecord(const Places& places) {
  std::string bytes;
  const int fd = ::open(places.record.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0 && bytes.size() < 65536;) {
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  const auto parsed = sim::parsePlist(bytes);
  const Dictionary* d = parsed ? parsed->value.dictionary() : nullptr;
  if (d == nullptr) return std::nullopt;
  Record r;
  const auto text = [&](std::string_view key, std::string& into) {
    if (const std::string* s = stringAt(*d, key)) into = *s;
  };
  text("name", r.name);
  text("runtime", r.runtime);
  text("state", r.state);
  text("socket", r.socket);
  text("booted", r.booted);
  if (const Value* v = find(*d, "version"); v != nullptr && v->isNumber()) {
    if (const auto* real = std::get_if<double>(&v->storage())) r.version = *real;
  }
  if (const Value* v = find(*d, "pid")) {
    if (const auto* n = std::get_if<std::int64_t>(&v->storage())) r.pid = *n;
  }
  return r;
}

bool writeRecord(const Places& places, const Record& record) {
  Dictionary d;
  d.emplace("name", Value(record.name));
  d.emplace("runtime", Value(record.runtime));
  d.emplace("version", Value(record.version));
  d.emplace("state", Value(record.state));
  d.emplace("pid", Value(static_cast<std::int64_t>(record.pid)));
  d.emplace("socket", Value(record.socket));
  d.emplace("booted", Value(record.booted));
  const auto bytes = sim::serializePlist(Value(std::move(d)), sim::PlistFormat::kXml);
  if (!bytes) return false;
  const fs::path temporary = places.record.string() + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  const bool written =
      ::write(fd, bytes->data(), bytes->size()) == static_cast<ssize_t>(bytes->size()) && ::fsync(fd) == 0;
  ::close(fd);
  return written && ::rename(temporary.c_str(), places.record.c_str()) == 0;
}

std::optional<Lock> Lock::take(const Places& places) {
  const int fd = ::open(places.lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) throw std::runtime_error("cannot open " + places.lock.string() + ": " + std::strerror(errno));
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return std::nullopt;
  }
  return Lock(fd);
}

Lock::~Lock() {
  if (fd_ >= 0) ::close(fd_);
}

State stateOf(const Places& places) {
  std::error_code ec;
  if (!fs::is_directory(places.folder, ec)) return State::kUnknown;
  const int fd = ::open(places.lock.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd >= 0) {
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    if (held) return State::kBooted;
  }
  const auto record = readRecord(places);
  return record && record->state == "booted" ? State::kEnded : State::kShutdown;
}

std::string_view stateName(State state) {
  switch (state) {
    case State::kBooted:
      return "booted";
    case State::kEnded:
      return "ended";
    case State::kShutdown:
      return "shutdown";
    case State::kUnknown:
      break;
  }
  return "unknown";
}

std::vector<std::string> deviceNames() {
  std::vector<std::string> names;
  std::error_code ec;
  const fs::path folder = devicesFolder(false);
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (nameError(name).empty() && entry.is_directory(ec)) names.push_back(name);
  }
  std::ranges::sort(names);
  return names;
}

Places bootedDevice(const std::string& name) {
  if (name == kBootedWord) {
    std::vector<std::string> booted;
    for (const std::string& each : deviceNames()) {
      if (stateOf(placesOf(each, false)) == State::kBooted) booted.push_back(each);
    }
    if (booted.size() == 1) return placesOf(booted.front(), false);
    std::string list;
    for (const std::string& each : booted) list += (list.empty() ? "" : ", ") + each;
    throw std::runtime_error(booted.empty() ? "no device is booted (orvane-sim boot [NAME])"
                                            : "more than one device is booted (" + list + "): name one");
  }
  if (const std::string error = nameError(name); !error.empty()) throw std::runtime_error(error);
  const Places places = placesOf(name, false);
  switch (stateOf(places)) {
    case State::kBooted:
      return places;
    case State::kUnknown:
      throw std::runtime_error("no device " + name + " (orvane-sim boot " + name + " makes it; orvane-sim list)");
    case State::kEnded:
      throw std::runtime_error("the device " + name + " has ended (killed?): orvane-sim boot " + name +
                               " boots it again from its folder");
    case State::kShutdown:
      break;
  }
  throw std::runtime_error("the device " + name + " is shut down: orvane-sim boot " + name);
}

}  // namespace orvane::cli::devices
