#include "cli/output/pages.h"

namespace orvane::cli::pages {

std::string fill(std::string_view page, const std::vector<std::pair<std::string_view, std::string>>& parts) {
  std::string out;
  out.reserve(page.size());
  std::size_t at = 0;
  for (const auto& [marker, part] : parts) {
    const std::size_t found = page.find(marker, at);
    if (found == std::string_view::npos) continue;  // a page without that marker takes nothing there
    out.append(page.substr(at, found - at)).append(part);
    at = found + marker.size();
  }
  return out.append(page.substr(at));
}

}  // namespace orvane::cli::pages
