#include "rig/rig.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "settings/settings.h"

namespace orvane::rig {

std::filesystem::path temporaryFolder() {
  const char* tmpdir = std::getenv("TMPDIR");
  return tmpdir != nullptr && *tmpdir != '\0' ? std::filesystem::path(tmpdir) : std::filesystem::path("/tmp");
}

namespace {
constexpr std::string_view kTemporaryPrefix = "orvane-device-";

// A temporary root is held with an open-file-description lock on its folder, a read lock, which
// the folder's descriptor can take. Not flock: the device's own folder locks (sim/storage) are
// flocks, and one on the root would wait for ever on a flock held here.
struct flock wholeFile(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  return lock;
}

// Whether any process holds the folder open with the lock.
bool held(int folderFd) {
  struct flock probe = wholeFile(F_WRLCK);
  return ::fcntl(folderFd, F_OFD_GETLK, &probe) != 0 || probe.l_type != F_UNLCK;
}
}  // namespace

TemporaryRoot::TemporaryRoot() {
  std::string pattern = (temporaryFolder() / (std::string(kTemporaryPrefix) + "XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a temporary folder");
  path_ = pattern;
  lock_ = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (lock_ >= 0) {
    struct flock held = wholeFile(F_RDLCK);
    ::fcntl(lock_, F_OFD_SETLK, &held);
  }
}

TemporaryRoot::~TemporaryRoot() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
  if (lock_ >= 0) ::close(lock_);
}

std::vector<std::string> removeStaleTemporaryRoots(const std::filesystem::path& folder, std::chrono::seconds age) {
  std::vector<std::string> removed;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return removed;
  const auto now = std::chrono::system_clock::now();
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (!name.starts_with(kTemporaryPrefix)) continue;
    // Only a folder (never a link), this user's, left alone for `age`.
    struct stat st {};
    if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_uid != ::getuid() || now - std::chrono::system_clock::from_time_t(st.st_mtim.tv_sec) < age) {
      continue;
    }
    const int fd = ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    // A device that is alive (or a child of one) holds it.
    if (!held(fd)) {
      std::error_code ec;
      std::filesystem::remove_all(folder / name, ec);
      if (!ec) removed.emplace_back(name);
    }
    ::close(fd);
  }
  ::closedir(dir);
  return removed;
}

std::unique_ptr<sim::Device> makeDevice(const std::filesystem::path& root, sim::Storage storage) {
  auto device = std::make_unique<sim::Device>(root, storage);
  installExtension(*device);
  return device;
}

Rig::Rig(bool withExtension, sim::Storage storage)
    : device_(withExtension ? makeDevice(root_.path(), storage)
                            : std::make_unique<sim::Device>(root_.path(), storage)) {}

sim::LocalProcess& Rig::start(std::string_view bundleIdentifier) {
  sim::LocalProcess* p = device_->start(bundleIdentifier).local();
  if (p == nullptr) throw std::logic_error("a rig's processes run in this OS process");
  return *p;
}

sim::LocalProcess& Rig::process(std::string_view bundleIdentifier) {
  sim::Process* p = device_->find(bundleIdentifier);
  if (p == nullptr || p->local() == nullptr) throw std::logic_error("no such process");
  return *p->local();
}

Orvane& Rig::extension(std::string_view bundleIdentifier) {
  Orvane* orvane = extensionIn(process(bundleIdentifier));
  if (orvane == nullptr) throw std::logic_error("the extension is not loaded there");
  return *orvane;
}

void Rig::keyboards(const std::vector<std::string>& identifiers) {
  if (!device_->setKeyboards(identifiers)) throw std::runtime_error("cannot set the keyboards");
}

void Rig::writeSettings(const Dictionary& settings, sim::PlistFormat format) {
  writeSettingsBytes(sim::serializePlist(Value(settings), format).value());
}

void Rig::writeSettingsBytes(std::string_view bytes) {
  if (!device_->files().writeAtomically(kSettingsPath, bytes)) throw std::runtime_error("cannot write settings");
}

void Rig::deleteSettings() { device_->files().remove(kSettingsPath); }

std::vector<std::string> Rig::events(std::string_view kind) const {
  std::vector<std::string> out;
  for (const auto& e : device_->trace().events()) {
    if (e.kind == kind) out.push_back(sim::Trace::text(e));
  }
  return out;
}

}  // namespace orvane::rig
