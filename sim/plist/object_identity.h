// Which object a value or key holds: what a writer needs to store an object once however often it
// is referred to (the property-list codec, the channel between the device's processes). The
// extension's parts never see it: they cannot include the device's headers.
#pragma once

#include "platform/value.h"

namespace orvane {

// The one object every copy of a long text, data, array, dictionary, set or key shares (nullptr for
// the others, held in the value itself), and whether another value holds it too (else a walk cannot
// meet it twice).
struct ObjectIdentity {
  static const void* of(const Value& value) { return value.shared_.get(); }
  static const void* of(const Key& key) { return key.shared_.get(); }
  static bool isShared(const Value& value) { return value.shared_.use_count() > 1; }
  static bool isShared(const Key& key) { return key.shared_.use_count() > 1; }
};

}  // namespace orvane
