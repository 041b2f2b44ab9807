#include "sim/storage/file_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <map>
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

// Calls `each` with every segment of an absolute path, empty ones included ("//", a trailing "/").
template <class F>
void forEachSegment(std::string_view path, F each) {
  for (std::size_t pos = 1; pos <= path.size();) {
    std::size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    each(path.substr(pos, end - pos));
    pos = end + 1;
  }
}

std::string temporaryName(std::string_view name, std::minstd_rand& draw) {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string out = ".";
  out += name;
  out += '.';
  for (int i = 0; i < 6; ++i) out += kChars[draw() % (sizeof kChars - 1)];
  return out;
}

// What a name moved aside takes after it: ".unreadable", then ".unreadable-2", and so on. Appended
// piece by piece: GCC 12 at -O3 takes "literal" + std::string&& for an overlapping copy
// (-Wrestrict, a false positive).
std::string asideSuffix(int n) {
  std::string suffix = ".unreadable";
  if (n > 1) {
    suffix += '-';
    suffix += std::to_string(n);
  }
  return suffix;
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

// Each file's bytes and each folder, by path relative to the root ("var/mobile/x.plist"), answering
// what the disk answers: a file and a folder never share a path, a folder holds what is beneath it.
class FileStore::Memory {
 public:
  bool isFolder(std::string_view rel) const {
    const auto it = nodes_.find(rel);
    return it != nodes_.end() && !it->second.has_value();
  }
  const std::string* file(std::string_view rel) const {
    const auto it = nodes_.find(rel);
    return it != nodes_.end() && it->second ? &*it->second : nullptr;
  }
  // Makes a folder and those above it, as a walk from the root making each would; false where a file
  // stands in the way (the folders above it stay made).
  bool makeFolders(std::string_view folder) {
    for (std::size_t end = 0; end < folder.size();) {
      end = std::min(folder.find('/', end + 1), folder.size());
      const auto [it, made] = nodes_.try_emplace(std::string(folder.substr(0, end)), std::nullopt);
      if (!made && it->second) return false;
    }
    return true;
  }
  // Puts a file in place, over a file but never over a folder.
  bool put(std::string_view rel, std::string_view bytes) {
    auto it = nodes_.find(rel);
    if (it == nodes_.end())
      it = nodes_.emplace(std::string(rel), std::nullopt).first;
    else if (!it->second)
      return false;
    it->second = std::string(bytes);
    return true;
  }
  bool removeFile(std::string_view rel) {
    const auto it = nodes_.find(rel);
    if (it == nodes_.end() || !it->second) return false;
    nodes_.erase(it);
    return true;
  }
  bool exists(std::string_view rel) const { return nodes_.find(rel) != nodes_.end(); }
  // Renames a file or a folder with what it holds; `to` must not exist.
  void move(std::string_view from, std::string_view to) {
    std::vector<std::pair<std::string, std::optional<std::string>>> moved;
    const std::string under = std::string(from) + "/";
    auto it = nodes_.find(from);
    moved.emplace_back(std::string(to), std::move(it->second));
    nodes_.erase(it);
    // What the folder holds sorts after "NAME/", not right after "NAME" ("NAME.x" sorts between).
    for (it = nodes_.lower_bound(under); it != nodes_.end() && it->first.starts_with(under);) {
      moved.emplace_back(std::string(to) + it->first.substr(from.size()), std::move(it->second));
      it = nodes_.erase(it);
    }
    for (auto& node : moved) nodes_.insert(std::move(node));
  }

 private:
  std::map<std::string, std::optional<std::string>, std::less<>> nodes_;  // nothing: a folder
};

FileStore::FileStore(fs::path root) : root_(std::move(root)), names_(std::random_device{}()) {
  std::error_code ec;
  fs::create_directories(root_, ec);
  rootFd_ = ::open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

FileStore::~FileStore() {
  if (rootFd_ >= 0) ::close(rootFd_);
}

void FileStore::keepInMemory() { memory_ = std::make_unique<Memory>(); }

FileStore::Relative::Split FileStore::Relative::split() const {
  const std::size_t slash = view().rfind('/');
  if (slash == std::string_view::npos) return {{}, text};
  return {view().substr(0, slash), text + slash + 1};
}

bool FileStore::relative(std::string_view devicePath, Relative& out) const {
  if (devicePath.empty() || devicePath.front() != '/') return false;
  if (devicePath.find('\0') != std::string_view::npos) return false;
  // The usual path has no empty, "." or ".." segment: it is itself less its first "/".
  if (devicePath.size() < sizeof out.text && devicePath.find("//") == std::string_view::npos &&
      devicePath.find("/.") == std::string_view::npos && devicePath.back() != '/') {
    out.size = devicePath.size() - 1;
    devicePath.copy(out.text, out.size, 1);
    out.text[out.size] = '\0';
    return true;
  }
  // Else ".." is refused and every empty or "." segment left out ("//var/./x" is "var/x").
  bool escapes = false;
  bool fits = true;
  out.size = 0;
  forEachSegment(devicePath, [&](std::string_view segment) {
    escapes = escapes || segment == "..";
    if (segment.empty() || segment == "." || !fits) return;
    const std::size_t slash = out.size > 0 ? 1 : 0;
    fits = out.size + slash + segment.size() < sizeof out.text;
    if (!fits) return;
    if (slash != 0) out.text[out.size++] = '/';
    segment.copy(out.text + out.size, segment.size());
    out.size += segment.size();
  });
  out.text[out.size] = '\0';
  return !escapes && fits;
}

std::optional<fs::path> FileStore::resolve(std::string_view devicePath) const {
  Relative rel;
  if (!relative(devicePath, rel)) return std::nullopt;
  return rel.size == 0 ? root_ : root_ / rel.view();
}

int FileStore::openFolder(std::string_view relativeFolder, bool create) const {
  // Usually the folder is there: one openat2 beneath the root, no link followed, finds it.
  if (hasOpenat2_ && !relativeFolder.empty()) {
    Relative folder;  // a folder of a relative path fits where the path did
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

int FileStore::openBeneath(const Relative& rel, int flags) const {
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

bool FileStore::exists(std::string_view devicePath) const {
  Relative rel;
  if (!relative(devicePath, rel)) return false;
  if (memory_) return rel.size > 0 && memory_->exists(rel.view());
  const int fd = openBeneath(rel, O_PATH);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool FileStore::isDirectory(std::string_view devicePath) const {
  Relative rel;
  if (!relative(devicePath, rel)) return false;
  if (memory_) return rel.size > 0 && memory_->isFolder(rel.view());
  const int fd = openBeneath(rel, O_PATH | O_DIRECTORY);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

std::optional<std::string> FileStore::read(std::string_view devicePath, std::size_t maxBytes) const {
  Relative rel;
  if (!relative(devicePath, rel)) return std::nullopt;
  if (memory_) {
    const std::string* bytes = memory_->file(rel.view());
    return bytes != nullptr && bytes->size() <= maxBytes ? std::optional<std::string>(*bytes) : std::nullopt;
  }
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

std::optional<FileFault> FileStore::faultOf(FileOperation operation) {
  if (faultSource_) return faultSource_(operation);
  if (!fault_ || faultTimes_ == 0) return std::nullopt;
  if (operation == FileOperation::kRemoval && *fault_ != FileFault::kReadOnly) return std::nullopt;
  const FileFault met = *fault_;
  if (faultTimes_ > 0 && --faultTimes_ == 0) fault_.reset();
  return met;
}

bool FileStore::writeAtomically(std::string_view devicePath, std::string_view bytes) {
  Relative rel;
  if (!relative(devicePath, rel) || rel.size == 0) return false;
  // One fault at most, at the step where a write on disk meets it: the folder, writing, the storage
  // filling up, flushing, putting in place.
  const std::optional<FileFault> fault = faultOf(FileOperation::kWrite);
  const auto meets = [&fault](FileFault step) { return fault == step; };
  if (meets(FileFault::kReadOnly)) return false;
  if (memory_) {
    const bool ok = memory_->makeFolders(rel.split().folder) && !fault && memory_->put(rel.view(), bytes);
    if (ok && writeObserver_) writeObserver_(devicePath, bytes);
    return ok;
  }
  const auto [folder, name] = rel.split();
  const int dir = openFolder(folder, true);
  if (dir < 0) return false;
  std::string temp;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 16; ++attempt) {
    temp = temporaryName(name, names_);
    fd = ::openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    ::close(dir);
    return false;
  }
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
  ::close(dir);
  if (ok && writeObserver_) writeObserver_(devicePath, bytes);
  return ok;
}

namespace {

// A temporary is ".<file>.XXXXXX", as writeAtomically names it.
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

std::vector<fs::path> FileStore::temporaries() const {
  std::vector<fs::path> out;
  if (memory_) return out;  // a write in memory makes no temporary
  const int fd = rootFd_ < 0 ? -1 : ::openat(rootFd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) collectTemporaries(fd, "", out);
  return out;
}

std::optional<std::string> FileStore::moveAside(std::string_view devicePath) {
  Relative rel;
  if (!relative(devicePath, rel) || rel.size == 0) return std::nullopt;
  if (faultOf(FileOperation::kRemoval)) return std::nullopt;
  const auto [folder, name] = rel.split();
  // The device path's own folder, as it was spelt, for the answer.
  const std::string_view asked = devicePath.substr(0, devicePath.rfind('/') + 1);
  if (memory_) {
    if (!memory_->exists(rel.view())) return std::nullopt;
    for (int n = 1; n <= 1000; ++n) {
      const std::string suffix = asideSuffix(n);
      const std::string aside = std::string(rel.view()) + suffix;
      if (memory_->exists(aside)) continue;  // never over an earlier one
      memory_->move(rel.view(), aside);
      return std::string(asked) + name + suffix;
    }
    return std::nullopt;
  }
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

bool FileStore::remove(std::string_view devicePath) {
  Relative rel;
  if (!relative(devicePath, rel) || rel.size == 0) return false;
  if (faultOf(FileOperation::kRemoval)) return false;
  if (memory_) return memory_->removeFile(rel.view());
  const auto [folder, name] = rel.split();
  const int dir = openFolder(folder, false);
  if (dir < 0) return false;
  const bool ok = ::unlinkat(dir, name, 0) == 0;
  ::close(dir);
  return ok;
}

std::optional<FileStore::FolderLock> FileStore::lockFolderOf(std::string_view devicePath) {
  Relative rel;
  if (!relative(devicePath, rel) || rel.size == 0) return std::nullopt;
  if (memory_) {
    // No other process reads these files: the lock need only make the folder, as on disk.
    if (!memory_->makeFolders(rel.split().folder)) return std::nullopt;
    return std::optional<FolderLock>(std::in_place, -1);
  }
  const int dir = openFolder(rel.split().folder, true);
  if (dir < 0) return std::nullopt;
  // flock needs a descriptor that is more than a path.
  const int lockFd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ::close(dir);
  if (lockFd < 0) return std::nullopt;
  return std::optional<FolderLock>(std::in_place, lockFd);
}

FileStore::FolderLock::FolderLock(int folderFd) : fd_(folderFd) {
  if (fd_ >= 0) {
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
}

FileStore::FolderLock::~FolderLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

}  // namespace orvane::sim
