// What the commands of orvane-sim share: the device's folder, whole files, the end of the output.
#include "cli/program.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>

#include "cli/cleanup.h"
#include "sim/process_runtime/process_runtime.h"

namespace orvane::cli {

namespace fs = std::filesystem;

DeviceFolder::DeviceFolder(const std::optional<fs::path>& root) {
  if (root) {
    path_ = *root;
    takeRoot();
  } else {
    makeTemporary();
  }
}

void DeviceFolder::makeTemporary() {
  const std::string where = rig::temporaryFolder().string();
  struct stat st {};
  std::string reason;
  if (::stat(where.c_str(), &st) != 0) {
    reason = std::strerror(errno);
  } else if (!S_ISDIR(st.st_mode)) {
    reason = "not a folder";
  } else {
    const SignalsHeld held;
    try {
      temporary_.emplace();
      removeOnSignal(temporary_->path());
    } catch (const std::exception&) {
      reason = std::strerror(errno);
    }
  }
  if (!reason.empty()) throw std::runtime_error("cannot make a device folder in " + where + " (TMPDIR): " + reason);
  path_ = temporary_->path();
  // What a device killed outright (SIGKILL, a machine that lost power) left behind goes now.
  rig::removeStaleTemporaryRoots(where);
}

void DeviceFolder::takeRoot() {
  std::error_code ec;
  fs::create_directories(path_, ec);
  if (!fs::is_directory(path_)) throw std::runtime_error("--root " + path_.string() + " is not a folder");
  // Only a folder of this user's that no one else may write: another's, or one anyone could have
  // put the device's marker in, is never emptied.
  struct stat st {};
  if (::stat(path_.c_str(), &st) == 0 && st.st_uid != ::getuid()) {
    throw std::runtime_error("--root " + path_.string() + " belongs to another user");
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    throw std::runtime_error("--root " + path_.string() + " may be written by other users");
  }
  const bool empty = fs::is_empty(path_, ec);
  if (!empty && !fs::exists(path_ / kMarker)) {
    throw std::runtime_error("--root " + path_.string() + " is not empty and not a device folder");
  }
  // The folder belongs to one run: a lock on it, held until this run ends (the system drops it
  // however the run ends), refuses a second run before it could empty the first one's device.
  lock_ = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (lock_ < 0 || ::flock(lock_, LOCK_EX | LOCK_NB) != 0) {
    const std::string reason = errno == EWOULDBLOCK ? "another orvane-sim is using it" : std::strerror(errno);
    if (lock_ >= 0) ::close(lock_);
    lock_ = -1;
    throw std::runtime_error("--root " + path_.string() + " is in use: " + reason);
  }
  // A device folder from an earlier run is emptied: every run starts on a fresh device. A folder
  // the run cannot write is said to be so here, before the device would fail in its own words.
  for (const auto& entry : fs::directory_iterator(path_)) {
    std::error_code removed;
    fs::remove_all(entry.path(), removed);
    if (removed) throw std::runtime_error("--root " + path_.string() + " cannot be emptied: " + removed.message());
  }
  const std::string_view marker = "a simulated device of orvane-sim\n";
  const int fd = ::open((path_ / kMarker).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  const bool written = fd >= 0 && ::write(fd, marker.data(), marker.size()) == static_cast<ssize_t>(marker.size());
  const int error = errno;
  if (fd >= 0) ::close(fd);
  if (!written) throw std::runtime_error("--root " + path_.string() + " cannot be written: " + std::strerror(error));
}

DeviceFolder::~DeviceFolder() {
  if (lock_ >= 0) ::close(lock_);
  if (!temporary_) return;
  const SignalsHeld held;
  temporary_.reset();
  forget(path_);
}

std::unique_ptr<sim::Device> makeDevice(const DeviceFolder& folder, const Options& options) {
  return makeDevice(folder.path(), folder.kept(), options);
}

std::unique_ptr<sim::Device> makeDevice(const fs::path& root, bool kept, const Options& options) {
  using sim::Storage;
  // With one class table per OS process, every simulated process is an OS process of its own,
  // which reads and writes the device's files itself: they are on disk. Otherwise a throwaway
  // device keeps its files in memory: every process is this one, and nothing reads them after the
  // run. A kept folder and --durable keep the files on disk, each write flushed.
  const bool apart = !sim::processModel().classTablePerProcess;
  const Storage throwaway = apart ? Storage::kOnDisk : Storage::kInMemory;
  auto device = rig::makeDevice(root, options.durable || kept ? Storage::kDurable : throwaway);
  device->setSeparateProcesses(apart);
  // The runner and the output take every event as it happens; the device keeps no history of them.
  device->trace().setRecording(false);
  return device;
}

bool readScenario(const std::string& file, std::string& text, std::string& error) {
  if (file == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return true;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = file + ": cannot open: " + std::strerror(errno);
    return false;
  }
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    error = file + ": cannot read: " + std::strerror(errno);
    return false;
  }
  return true;
}

bool writeFile(const std::string& path, const std::string& contents, std::string& error) {
  std::ofstream out(path, std::ios::binary);
  out << contents;
  out.flush();
  if (!out) {
    error = path + ": cannot write: " + std::strerror(errno);
    return false;
  }
  return true;
}

bool saveLines(const std::string& file, const std::string& heading, const std::vector<std::string>& lines) {
  std::string text = "# " + heading + "\n";
  for (const std::string& line : lines) text += line + "\n";
  std::string error;
  if (!writeFile(file, text, error)) {
    std::cerr << "save: " << error << "\n";
    return false;
  }
  std::cout << "saved " << lines.size() << " lines to " << file << "\n";
  return true;
}

int finish(int status, const Output* output) {
  std::cout.flush();
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0 || !std::cout) {
    const int error = output && output->writeError() ? output->writeError() : errno;
    std::cerr << "orvane-sim: cannot write the output" << (error ? std::string(": ") + std::strerror(error) : "")
              << "\n";
    return 2;
  }
  return status;
}

std::optional<fs::path> selfPath() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::nullopt : std::optional<fs::path>(std::move(self));
}

}  // namespace orvane::cli
