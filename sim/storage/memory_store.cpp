#include "sim/storage/memory_store.h"

namespace orvane::sim {

bool MemoryStore::exists(std::string_view devicePath) const {
  RelativePath rel;
  return rel.assign(devicePath) && rel.size > 0 && nodes_.contains(rel.view());
}

bool MemoryStore::isDirectory(std::string_view devicePath) const {
  RelativePath rel;
  if (!rel.assign(devicePath) || rel.size == 0) return false;
  const auto it = nodes_.find(rel.view());
  return it != nodes_.end() && !it->second.has_value();
}

std::optional<std::string> MemoryStore::read(std::string_view devicePath, std::size_t maxBytes) const {
  RelativePath rel;
  if (!rel.assign(devicePath)) return std::nullopt;
  const auto it = nodes_.find(rel.view());
  if (it == nodes_.end() || !it->second || it->second->size() > maxBytes) return std::nullopt;
  return it->second;
}

bool MemoryStore::write(std::string_view devicePath, std::string_view bytes, std::optional<FileFault> fault) {
  RelativePath rel;
  if (!rel.assign(devicePath) || rel.size == 0) return false;
  // As on disk: a read-only folder stops the write before its folders are made; any other fault
  // after them, with nothing written.
  if (fault == FileFault::kReadOnly || !makeFolders(rel.split().folder) || fault) return false;
  auto it = nodes_.find(rel.view());
  if (it == nodes_.end()) {
    it = nodes_.emplace(std::string(rel.view()), std::nullopt).first;
  } else if (!it->second) {
    return false;  // never over a folder
  }
  it->second = std::string(bytes);
  return true;
}

bool MemoryStore::remove(std::string_view devicePath) {
  RelativePath rel;
  if (!rel.assign(devicePath) || rel.size == 0) return false;
  const auto it = nodes_.find(rel.view());
  if (it == nodes_.end() || !it->second) return false;
  nodes_.erase(it);
  return true;
}

std::optional<std::string> MemoryStore::moveAside(std::string_view devicePath) {
  RelativePath rel;
  if (!rel.assign(devicePath) || rel.size == 0 || !nodes_.contains(rel.view())) return std::nullopt;
  // The device path's own folder, as it was spelt, for the answer.
  const std::string_view asked = devicePath.substr(0, devicePath.rfind('/') + 1);
  for (int n = 1; n <= 1000; ++n) {
    const std::string suffix = asideSuffix(n);
    const std::string aside = std::string(rel.view()) + suffix;
    if (nodes_.contains(aside)) continue;  // never over an earlier one
    move(rel.view(), aside);
    return std::string(asked) + rel.split().name + suffix;
  }
  return std::nullopt;
}

std::optional<FileStore::FolderLock> MemoryStore::lockFolderOf(std::string_view devicePath) {
  RelativePath rel;
  if (!rel.assign(devicePath) || rel.size == 0) return std::nullopt;
  // No other process reads these files: the lock need only make the folder, as on disk.
  if (!makeFolders(rel.split().folder)) return std::nullopt;
  return std::optional<FolderLock>(std::in_place, -1);
}

bool MemoryStore::makeFolders(std::string_view folder) {
  for (std::size_t end = 0; end < folder.size();) {
    end = std::min(folder.find('/', end + 1), folder.size());
    const auto [it, made] = nodes_.try_emplace(std::string(folder.substr(0, end)), std::nullopt);
    if (!made && it->second) return false;
  }
  return true;
}

void MemoryStore::move(std::string_view from, std::string_view to) {
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

}  // namespace orvane::sim
