// The pages, their scripts and styles, and the tour: files of cli/output/pages/, compiled into the
// command at build time (cmake/embed.cmake).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvane::cli::pages {

extern const std::string_view kDeviceStyle;   // device.css: the keyboard and the switcher menu
extern const std::string_view kDeviceScript;  // device.js: the fold of events and the drawing
extern const std::string_view kReportPage;    // report.html, with its style, data and script left out
extern const std::string_view kReportStyle;   // report.css
extern const std::string_view kReportScript;  // report.js
extern const std::string_view kLivePage;      // live.html, with its style and script left out
extern const std::string_view kLiveStyle;     // live.css
extern const std::string_view kLiveScript;    // live.js
extern const std::string_view kTour;          // tour.scn: the built-in tour

// device.js after the names it draws with, from the platform's and the settings' own headers (the
// globe key's name, the keyboard's notifications, the settings file): `const NAMES = {...};`.
std::string deviceScript();

// `page` with each of its markers ("<!-- style -->") in turn replaced by what goes there; what is
// put in is not read for markers again.
std::string fill(std::string_view page, const std::vector<std::pair<std::string_view, std::string>>& parts);

}  // namespace orvane::cli::pages
