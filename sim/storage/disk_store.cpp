#include "sim/storage/disk_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <random>
#include <system_error>

namespace orvane::sim {

namespace fs = std::filesystem;

namespace {

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string temporaryName(std::string_view name, std::minstd_rand& draw) {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string out = ".";
  out += name;
  out += '.';
  for (int i = 0; i < 6; ++i) out += kChars[draw() % (sizeof kChars - 1)];
  return out;
}

// Puts the temporary `temp` in place of `name`. Over a regular file the two are exchanged and the
// old one, now under the temporary's name, removed: the same atomic replacement a rename makes
// (a reader sees the old bytes or the new, never a mix), without the flush ext4 starts on a rename
// over an existing file (auto_da_alloc), which made every replacement wait on the disk; a durable
// write was flushed before. Anything else (no file, a link, a folder), or a file system that cannot
// exchange: a rename, as before.
bool putInPlace(int dir, const std::string& temp, const char* name) {
  struct stat st {};
  if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
      ::renameat2(dir, temp.c_str(), dir, name, RENAME_EXCHANGE) == 0) {
    if (::unlinkat(dir, temp.c_str(), 0) == 0) return true;
    // What was exchanged is no longer a file (a folder was put there meanwhile): both back.
    ::renameat2(dir, temp.c_str(), dir, name, RENAME_EXCHANGE);
    return false;
  }
  return ::renameat(dir, temp.c_str(), dir, name) == 0;
}

}  // namespace

DiskStore::DiskStore(fs::path root) : root_(std::move(root)), names_(std::random_device{}()) {
  std::error_code ec;
  fs::create_directories(root_, ec);
  rootFd_ = ::open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

DiskStore::~DiskStore() {
  if (rootFd_ >= 0) ::close(rootFd_);
}

std::optional<fs::path> DiskStore::hostPath(std::string_view devicePath) const {
  RelativePath rel;
  if (!rel.assign(devicePath)) return std::nullopt;
  return rel.size == 0 ? root_ : root_ / rel.view();
}

int DiskStore::openFolder(std::string_view relativeFolder, bool create) const {
  // Usually the folder is there: one openat2 beneath the root, no link followed, finds it.
  if (hasOpenat2_ && !relativeFolder.empty()) {
    RelativePath folder;  // a folder of a relative path fits where the path did
    folder.size = relativeFolder.copy(folder.text, relativeFolder.size());
    folder.text[folder.size] = '\0';
    const int whole = openBeneath(folder, O_PATH | O_DIRECTORY);
    if (whole >= 0 || !create) return whole;
  }
  int fd = ::fcntl(rootFd_, F_DUPFD_CLOEXEC, 0);
  std::size_t pos = 0;
  while (fd >= 0 && pos < relativeFolder.size()) {
    std::size_t end = relativeFolder.find('/', pos);
    if (end == std::string_view::npos) end = relativeFolder.size();
    char component[NAME_MAX + 1];
    if (end - pos > NAME_MAX) {
      ::close(fd);
      errno = ENAMETOOLONG;
      return -1;
    }
    relativeFolder.copy(component, end - pos, pos);
    component[end - pos] = '\0';
    if (create) ::mkdirat(fd, component, 0755);
    const int next = ::openat(fd, component, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(fd);
    fd = next;
    pos = end + 1;
  }
  return fd;
}

int DiskStore::openBeneath(const RelativePath& rel, int flags) const {
  if (rootFd_ < 0 || rel.size == 0) return -1;
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  if (hasOpenat2_) {
    const long fd = ::syscall(SYS_openat2, rootFd_, rel.text, &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
    hasOpenat2_ = false;  // an older kernel (or valgrind, which does not know the call): asked once
  }
  // Without openat2: the folders one by one, then the file itself, none of them a link.
  const auto [folder, name] = rel.split();
  const int dir = openFolder(folder, false);
  if (dir < 0) return -1;
  const int file = ::openat(dir, name, flags | O_NOFOLLOW | O_CLOEXEC);
  ::close(dir);
  // O_PATH with O_NOFOLLOW opens a link itself rather than failing: a link is refused all the same.
  struct stat st {};
  if (file >= 0 && (flags & O_PATH) != 0 && ::fstat(file, &st) == 0 && S_ISLNK(st.st_mode)) {
    ::close(file);
    errno = ELOOP;
    return -1;
  }
  return file;
}

bool DiskStore::exists(std::string_view devicePath) const {
  RelativePath rel;
  if (!rel.assign(devicePath)) return false;
  const int fd = openBeneath(rel, O_PATH);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool DiskStore::isDirectory(std::string_view devicePath) const {
  RelativePath rel;
  if (!rel.assign(devicePath)) return false;
  const int fd = openBeneath(rel, O_PATH | O_DIRECTORY);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

std::optional<std::string> DiskStore::read(std::string_view devicePath, std::size_t maxBytes) const {
  RelativePath rel;
  if (!rel.assign(devicePath)) return std::nullopt;
  // Non-blocking, so that a FIFO or a device at the path is refused at once instead of waiting for
  // a writer; only a regular file is read.
  const int fd = openBeneath(rel, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::optional<std::string> out;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) <= maxBytes) {
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(st.st_size));
    char buf[8192];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      if (n == 0) {
        out = std::move(bytes);
        break;
      }
      if (bytes.size() + static_cast<std::size_t>(n) > maxBytes) break;  // grew while we read
      bytes.append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return out;
}

bool DiskStore::write(std::string_view devicePath, std::string_view bytes, std::optional<FileFault> fault) {
  RelativePath rel;
  if (!rel.assign(devicePath) || rel.size == 0 || fault == FileFault::kReadOnly) return false;
  const auto [folder, name] = rel.split();
  const int dir = openFolder(folder, true);
  if (dir < 0) return false;
  const bool ok = writeBeside(dir, name, bytes, fault);
  ::close(dir);
  return ok;
}

bool DiskStore::writeBeside(int dir, const char* name, std::string_view bytes, std::optional<FileFault> fault) {
  std::string temp;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 16; ++attempt) {
    temp = temporaryName(name, names_);
    fd = ::openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return false;
  const auto meets = [&fault](FileFault step) { return fault == step; };
  bool ok = true;
  if (meets(FileFault::kWrite)) {
    ok = false;
  } else if (meets(FileFault::kFull)) {
    writeAll(fd, bytes.substr(0, bytes.size() / 2));
    ok = false;
  } else {
    ok = writeAll(fd, bytes);
  }
  ok = ok && !meets(FileFault::kFlush) && (!durable_ || ::fsync(fd) == 0);
  ok = (::close(fd) == 0) && ok;
  // A writer killed here leaves its temporary, as a killed process does.
  if (ok && meets(FileFault::kKilledMidWrite)) ::raise(SIGKILL);
  ok = ok && !meets(FileFault::kRename) && putInPlace(dir, temp, name);
  if (!ok) ::unlinkat(dir, temp.c_str(), 0);
  return ok;
}

namespace {

// A temporary is ".<file>.XXXXXX", as a write names it.
bool isTemporaryName(std::string_view name) {
  return name.size() > 8 && name[0] == '.' && name[name.size() - 7] == '.';
}

// Walks a folder opened beneath the root, never following a link, adding what looks like a temporary.
void collectTemporaries(int folderFd, const std::string& devicePath, std::vector<fs::path>& out) {
  DIR* dir = ::fdopendir(folderFd);
  if (dir == nullptr) {
    ::close(folderFd);
    return;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = devicePath + "/" + std::string(name);
    if (isTemporaryName(name)) out.emplace_back(path);
    const int child = ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child >= 0) collectTemporaries(child, path, out);
  }
  ::closedir(dir);
}

}  // namespace

std::vector<fs::path> DiskStore::temporaries() const {
  std::vector<fs::path> out;
  const int fd = rootFd_ < 0 ? -1 : ::openat(rootFd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) collectTemporaries(fd, "", out);
  return out;
}

std::optional<std::string> DiskStore::moveAside(std::string_view devicePath) {
  RelativePath rel;
  if (!rel.assign(devicePath) || rel.size == 0) return std::nullopt;
  const auto [folder, name] = rel.split();
  // The device path's own folder, as it was spelt, for the answer.
  const std::string_view asked = devicePath.substr(0, devicePath.rfind('/') + 1);
  const int dir = openFolder(folder, false);
  if (dir < 0) return std::nullopt;
  std::optional<std::string> movedTo;
  for (int n = 1; n <= 1000 && !movedTo; ++n) {
    std::string aside = name;
    aside += asideSuffix(n);
    // Never over an earlier one: what was moved aside before stays.
    if (::renameat2(dir, name, dir, aside.c_str(), RENAME_NOREPLACE) == 0) {
      movedTo = std::string(asked) + aside;
    } else if (errno != EEXIST) {
      break;
    }
  }
  ::close(dir);
  return movedTo;
}

bool DiskStore::remove(std::string_view devicePath) {
  RelativePath rel;
  if (!rel.assign(devicePath) || rel.size == 0) return false;
  const auto [folder, name] = rel.split();
  const int dir = openFolder(folder, false);
  if (dir < 0) return false;
  const bool ok = ::unlinkat(dir, name, 0) == 0;
  ::close(dir);
  return ok;
}

std::optional<FileStore::FolderLock> DiskStore::lockFolderOf(std::string_view devicePath) {
  RelativePath rel;
  if (!rel.assign(devicePath) || rel.size == 0) return std::nullopt;
  const int dir = openFolder(rel.split().folder, true);
  if (dir < 0) return std::nullopt;
  // flock needs a descriptor that is more than a path.
  const int lockFd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ::close(dir);
  if (lockFd < 0) return std::nullopt;
  return std::optional<FolderLock>(std::in_place, lockFd);
}

}  // namespace orvane::sim
