// The extension's alerts: one button, titled "Orvane", no delegate.
#pragma once

#include <string_view>

#include "platform/uikit.h"

namespace orvane {

inline constexpr std::string_view kAlertTitle = "Orvane";

inline constexpr std::string_view kNotConfiguredKeyboardMessage =
    "You still did not configure some of Orvane's settings, please do so or it wont work properly.";
inline constexpr std::string_view kNotConfiguredActionsMessage =
    "You still did not configure some of Orvane's settings, please configure ALL options or it wont work "
    "properly.";
inline constexpr std::string_view kNotConfiguredButton = "Alright, I Will.";
inline constexpr std::string_view kNoKeyboardMessage =
    "You don't have keyboards selected on Orvane's Settings, please select at least one or it won't work.";
inline constexpr std::string_view kNoKeyboardButton = "Ok, I understand.";
inline constexpr std::string_view kWelcomeMessage =
    "Thanks for using Orvane\n"
    "Please enable it in Settings and Customize it on your way.\n"
    "You need to select at least one keyboard in settings so this tweak can work.";
inline constexpr std::string_view kWelcomeButton = "I Understand";

// [[[UIAlertView alloc] initWithTitle:@"Orvane" message:message delegate:nil cancelButtonTitle:button
// otherButtonTitles:nil] autorelease] show]; `show` returns at once.
inline void showAlert(objc::Class* alertView, std::string_view message, std::string_view button) {
  namespace sel = platform::sel;
  const objc::Id alert =
      objc::send(objc::sendClass(alertView, sel::alloc), sel::initAlert, platform::String(std::string(kAlertTitle)),
                 platform::String(std::string(message)), objc::Id{}, platform::String(std::string(button)), objc::Id{});
  objc::send(objc::send(alert, sel::autorelease), sel::show);
}

}  // namespace orvane
