// Activator's listener protocol, and the AppList, image, bundle and locale messages the listeners
// use. Activator calls a listener only with the methods it implements; the rest it answers itself.
#pragma once

#include <optional>
#include <string>

#include "platform/uikit.h"

namespace orvane::platform::sel {

// LAListener. `activator` is the LAActivator object, `event` an LAEvent, `name` a listener name.
inline constexpr Selector<void(Id activator, Id event)> receiveEvent{"activator:receiveEvent:"};
inline constexpr Selector<void(Id activator, Id event, std::string name)> receiveEventForListenerName{
    "activator:receiveEvent:forListenerName:"};
inline constexpr Selector<void(Id activator, Id event, std::string name)> abortEventForListenerName{
    "activator:abortEvent:forListenerName:"};
inline constexpr Selector<bool(Id activator, Id event, std::string name)> receiveUnlockingDeviceEvent{
    "activator:receiveUnlockingDeviceEvent:forListenerName:"};
inline constexpr Selector<void(Id activator, Id event)> receiveDeactivateEvent{"activator:receiveDeactivateEvent:"};
inline constexpr Selector<void(Id activator, Id event)> otherListenerDidHandleEvent{
    "activator:otherListenerDidHandleEvent:"};
inline constexpr Selector<void(Id activator, std::string eventMode)> didChangeToEventMode{
    "activator:didChangeToEventMode:"};
inline constexpr Selector<Id(Id activator, std::string name, double scale)> requiresIcon{
    "activator:requiresIconForListenerName:scale:"};
inline constexpr Selector<Id(Id activator, std::string name, double scale)> requiresSmallIcon{
    "activator:requiresSmallIconForListenerName:scale:"};
inline constexpr Selector<String(Id activator, std::string name)> requiresLocalizedTitle{
    "activator:requiresLocalizedTitleForListenerName:"};
inline constexpr Selector<String(Id activator, std::string name)> requiresLocalizedDescription{
    "activator:requiresLocalizedDescriptionForListenerName:"};
inline constexpr Selector<String(Id activator, std::string name)> requiresLocalizedGroup{
    "activator:requiresLocalizedGroupForListenerName:"};
// Answers that are objects: boolean numbers and arrays, as values.
inline constexpr Selector<std::optional<Value>(Id activator, std::string name)> requiresRequiresAssignment{
    "activator:requiresRequiresAssignmentForListenerName:"};
inline constexpr Selector<std::optional<Value>(Id activator, std::string name)> requiresCompatibleEventModes{
    "activator:requiresCompatibleEventModesForListenerWithName:"};
inline constexpr Selector<std::optional<Value>(Id activator, std::string eventName, std::string name)>
    requiresIsCompatibleWithEventName{"activator:requiresIsCompatibleWithEventName:listenerName:"};
inline constexpr Selector<std::optional<Value>(Id activator, std::string name)> requiresExclusiveAssignmentGroups{
    "activator:requiresExclusiveAssignmentGroupsForListenerName:"};
inline constexpr Selector<bool(Id activator, std::string name)> requiresNeedsPoweredDisplay{
    "activator:requiresNeedsPoweredDisplayForListenerName:"};
inline constexpr Selector<bool(Id activator, std::string name)> requiresSupportsRemoval{
    "activator:requiresSupportsRemovalForListenerWithName:"};
inline constexpr Selector<void(Id activator, std::string name)> requestsRemoval{
    "activator:requestsRemovalForListenerWithName:"};
// The bundle is an out-parameter.
inline constexpr Selector<String(Id activator, std::string name, Id* bundle)>
    requiresConfigurationViewControllerClassName{
        "activator:requiresConfigurationViewControllerClassNameForListenerWithName:bundle:"};
inline constexpr Selector<Id(Id activator, std::string name)> requestsConfiguration{
    "activator:requestsConfigurationForListenerWithName:"};
inline constexpr Selector<void(Id activator, Id configuration, std::string name)> didSaveNewConfiguration{
    "activator:didSaveNewConfiguration:forListenerWithName:"};

// The listener's own.
inline constexpr Selector<bool()> present{"present"};
inline constexpr Selector<bool()> dismiss{"dismiss"};
inline constexpr Selector<void()> load{"load"};
inline constexpr Selector<String(std::string name)> langFromLocale{"langFromLocale:"};

// LAEvent
inline constexpr Selector<void(bool)> setHandled{"setHandled:"};

// ALApplicationList
inline constexpr Selector<Id()> sharedApplicationList{"sharedApplicationList"};
inline constexpr Selector<Id(int size, std::string displayIdentifier)> iconOfSize{"iconOfSize:forDisplayIdentifier:"};

// UIImage
inline constexpr Selector<Id(String path)> imageWithContentsOfFile{"imageWithContentsOfFile:"};
inline constexpr Selector<Id()> CGImage{"CGImage"};
inline constexpr Selector<Id()> CIImage{"CIImage"};

// NSBundle
inline constexpr Selector<Id(String path)> bundleWithPath{"bundleWithPath:"};
inline constexpr Selector<String(String name, String type)> pathForResource{"pathForResource:ofType:"};

// NSLocale: [[NSLocale alloc] initWithLocaleIdentifier:], then displayNameForKey:NSLocaleIdentifier value:
inline constexpr Selector<Id(String identifier)> initWithLocaleIdentifier{"initWithLocaleIdentifier:"};
inline constexpr Selector<String(String value)> displayNameForLocaleIdentifier{"displayNameForKey:value:"};

}  // namespace orvane::platform::sel
