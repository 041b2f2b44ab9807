#include "sim/storage/fault_injection.h"

namespace orvane::sim {

std::optional<FileFault> FaultInjectingStore::faultOf(FileOperation operation) {
  if (faultSource_) return faultSource_(operation);
  if (!fault_ || faultTimes_ == 0) return std::nullopt;
  if (operation == FileOperation::kRemoval && *fault_ != FileFault::kReadOnly) return std::nullopt;
  const FileFault met = *fault_;
  if (faultTimes_ > 0) {
    --faultTimes_;
    if (faultTimes_ == 0) fault_.reset();
  }
  return met;
}

bool FaultInjectingStore::mayDraw(std::string_view devicePath) const {
  // With no fault to draw there is nothing to keep: the wrapped store refuses such a path itself.
  const bool pending = faultSource_ || (fault_ && faultTimes_ != 0);
  return !pending || isFilePath(devicePath);
}

bool FaultInjectingStore::write(std::string_view devicePath, std::string_view bytes, std::optional<FileFault> fault) {
  if (!mayDraw(devicePath)) return false;
  // One fault at most: the one this write was handed, else the one it draws here (used up either way).
  const std::optional<FileFault> drawn = faultOf(FileOperation::kWrite);
  const bool ok = inner_.write(devicePath, bytes, fault ? fault : drawn);
  if (ok && writeObserver_) writeObserver_(devicePath, bytes);
  return ok;
}

bool FaultInjectingStore::remove(std::string_view devicePath) {
  return mayDraw(devicePath) && !faultOf(FileOperation::kRemoval) && inner_.remove(devicePath);
}

std::optional<std::string> FaultInjectingStore::moveAside(std::string_view devicePath) {
  if (!mayDraw(devicePath) || faultOf(FileOperation::kRemoval)) return std::nullopt;
  return inner_.moveAside(devicePath);
}

}  // namespace orvane::sim
