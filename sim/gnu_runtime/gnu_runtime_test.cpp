// What the GNU backend keeps of the platform where libobjc on its own would not, and that its
// classes, methods and protocols are libobjc's own.
#include "sim/gnu_runtime/gnu_runtime.h"

#include <gtest/gtest.h>
#include <objc/message.h>
#include <objc/runtime.h>

#include <cstdlib>
#include <string>

#include "platform/class_definition.h"
#include "platform/uikit.h"

namespace orvane::sim {
namespace {

using objc::Id;
using objc::Sel;
using platform::ClassDefinition;

constexpr objc::Selector<std::string()> kWhoIsIt{"who"};

::Class realClass(objc::Class* cls) { return reinterpret_cast<::Class>(cls); }

TEST(GnuRuntime, ClassesMethodsAndProtocolsAreLibobjcsOwn) {
  GnuRuntime runtime;
  objc::Class* base = ClassDefinition(runtime, runtime.objc_getClass("NSObject"), "RealBase")
                          .protocol("LAListener")
                          .method(kWhoIsIt, [](const Id&, Sel) { return std::string("base"); })
                          .registerClass();
  objc::Class* derived = ClassDefinition(runtime, base, "RealDerived").registerClass();
  ASSERT_NE(derived, nullptr);
  EXPECT_EQ(objc_lookUpClass("RealDerived"), realClass(derived));
  EXPECT_EQ(::class_getSuperclass(realClass(derived)), realClass(base));
  EXPECT_TRUE(class_respondsToSelector(realClass(derived), sel_registerName("who")));
  Protocol** protocols = class_copyProtocolList(realClass(base), nullptr);
  EXPECT_STREQ(protocol_getName(*protocols), "LAListener");
  std::free(static_cast<void*>(protocols));                            // the caller's to free
  EXPECT_TRUE(objc::class_conformsToProtocol(derived, "LAListener"));  // along the superclasses
  // A send is libobjc's lookup: the IMP objc_msg_lookup finds is the one the method was added with.
  Id object = objc::sendClass(derived, platform::sel::new_);
  EXPECT_EQ(objc_msg_lookup(reinterpret_cast<id>(object.get()), sel_registerName("who")),
            method_getImplementation(class_getInstanceMethod(realClass(base), sel_registerName("who"))));
  EXPECT_EQ(objc::send(object, kWhoIsIt), "base");
}

// libobjc's class_replaceMethod, given a method the class only inherits, replaces the superclass's:
// every sibling would see the replacement. The hooking service must not.
TEST(GnuRuntime, AHookOverAnInheritedMethodLeavesTheSuperclassWhereLibobjcWouldNot) {
  GnuRuntime runtime;
  objc::Class* base = ClassDefinition(runtime, runtime.objc_getClass("NSObject"), "PatchedBase")
                          .method(kWhoIsIt, [](const Id&, Sel) { return std::string("base"); })
                          .registerClass();
  objc::Class* left = ClassDefinition(runtime, base, "PatchedLeft").registerClass();
  objc::Class* right = ClassDefinition(runtime, base, "PatchedRight").registerClass();
  SEL who = sel_registerName("who");
  IMP baseImp = class_getMethodImplementation(realClass(base), who);

  decltype(kWhoIsIt)::Imp saved;
  EXPECT_EQ(platform::MSHookMessageEx(
                runtime, left, kWhoIsIt, [&saved](const Id& s, Sel c) { return "left+" + saved(s, c); }, &saved),
            platform::HookStatus::kInstalledOverInherited);
  EXPECT_EQ(class_getMethodImplementation(realClass(base), who), baseImp);
  EXPECT_EQ(class_getMethodImplementation(realClass(right), who), baseImp);
  EXPECT_NE(class_getMethodImplementation(realClass(left), who), baseImp);
  EXPECT_EQ(objc::send(objc::sendClass(left, platform::sel::new_), kWhoIsIt), "left+base");
  EXPECT_EQ(objc::send(objc::sendClass(right, platform::sel::new_), kWhoIsIt), "base");

  // What libobjc itself does with the same request, on a class made for it.
  objc::Class* other = ClassDefinition(runtime, base, "PatchedOther").registerClass();
  class_replaceMethod(realClass(other), who, class_getMethodImplementation(realClass(left), who), "?");
  EXPECT_NE(class_getMethodImplementation(realClass(base), who), baseImp);
}

}  // namespace
}  // namespace orvane::sim
