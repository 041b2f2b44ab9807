// A store that makes another fail on demand, to test that nothing is lost when writing fails: the
// next writes (and removals, for a read-only folder) meet an injected fault, and each that meets it
// uses one up. Everything else is the wrapped store's.
#pragma once

#include <functional>

#include "sim/storage/file_store.h"

namespace orvane::sim {

class FaultInjectingStore final : public FileStore {
 public:
  explicit FaultInjectingStore(FileStore& inner) : inner_(inner) {}

  // The next `times` writes (every write, when negative) meet the fault; removals meet a read-only
  // folder too. Each write (or removal) that meets it uses one up, whatever else it meets.
  void injectFault(FileFault fault, int times = -1) {
    fault_ = fault;
    faultTimes_ = times;
  }
  void clearFaults() { fault_.reset(); }
  // The injected fault one operation meets, used up; nothing when it meets none. Asks `source`
  // instead when one is set (the store of a separate process draws the device's faults: one
  // question an operation).
  std::optional<FileFault> faultOf(FileOperation operation);
  void setFaultSource(std::function<std::optional<FileFault>(FileOperation)> source) {
    faultSource_ = std::move(source);
  }
  // Told of every write that has been put in place (for tests that need to see what was written).
  void setWriteObserver(std::function<void(std::string_view devicePath, std::string_view bytes)> observer) {
    writeObserver_ = std::move(observer);
  }

  bool exists(std::string_view devicePath) const override { return inner_.exists(devicePath); }
  bool isDirectory(std::string_view devicePath) const override { return inner_.isDirectory(devicePath); }
  std::optional<std::string> read(std::string_view devicePath, std::size_t maxBytes) const override {
    return inner_.read(devicePath, maxBytes);
  }
  // A path no file may have is refused before any fault is drawn.
  bool write(std::string_view devicePath, std::string_view bytes, std::optional<FileFault> fault) override;
  bool remove(std::string_view devicePath) override;
  std::optional<std::string> moveAside(std::string_view devicePath) override;
  std::vector<std::filesystem::path> temporaries() const override { return inner_.temporaries(); }
  std::optional<std::filesystem::path> hostPath(std::string_view devicePath) const override {
    return inner_.hostPath(devicePath);
  }
  std::optional<FolderLock> lockFolderOf(std::string_view devicePath) override {
    return inner_.lockFolderOf(devicePath);
  }

 private:
  // False for a path no file may have while a fault could be drawn: it is refused before one is.
  bool mayDraw(std::string_view devicePath) const;

  FileStore& inner_;
  std::optional<FileFault> fault_;
  int faultTimes_ = 0;
  std::function<std::optional<FileFault>(FileOperation)> faultSource_;
  std::function<void(std::string_view, std::string_view)> writeObserver_;
};

}  // namespace orvane::sim
