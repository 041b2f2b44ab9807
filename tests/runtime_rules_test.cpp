// The rules every runtime backend keeps, run against the backend this test program links (the
// fast runtime in one program, the GNU Objective-C runtime in another): inheritance, hooks over
// inherited methods, chained hooks, revert, absent classes and methods, nil results, typed ivars.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>

#include "platform/class_definition.h"
#include "platform/uikit.h"
#include "sim/process_runtime/process_runtime.h"

namespace orvane::sim {
namespace {

using objc::Class;
using objc::Id;
using objc::Sel;
using platform::ClassDefinition;
using platform::HookStatus;

constexpr objc::Selector<std::string()> kWho{"who"};
constexpr objc::Selector<int(int)> kTwice{"twice:"};
constexpr objc::Selector<std::string()> kKind{"kind"};
constexpr objc::Selector<double()> kRatio{"ratio"};
constexpr objc::Selector<platform::Point()> kWhere{"where"};
constexpr objc::Selector<std::string(int)> kWhoWithArgument{"who"};  // the same name, another signature

// Layout <- LayoutStar, Layout <- LayoutSplit: "who" defined on Layout alone, "kind" a class method
// of Layout.
// Class names carry a suffix of their own per test: on the GNU runtime every test of the program
// shares one class table, and a name is taken once.
class Hierarchy : public ::testing::Test {
 protected:
  std::string name(const std::string& base) const { return base + suffix_; }

  void SetUp() override {
    layout_ =
        ClassDefinition(runtime_, runtime_.objc_getClass("NSObject"), name("Layout"))
            .method(kWho, [](const Id&, Sel) { return std::string("layout"); })
            .method(kTwice, [](const Id&, Sel, int n) { return 2 * n; })
            .classMethod(kKind,
                         [](const Id& self, Sel) {
                           return "kind of " + std::string(objc::class_getName(reinterpret_cast<Class*>(self.get())));
                         })
            .registerClass();
    star_ = ClassDefinition(runtime_, layout_, name("LayoutStar")).registerClass();
    split_ = ClassDefinition(runtime_, layout_, name("LayoutSplit")).registerClass();
  }
  Id make(Class* cls) { return objc::sendClass(cls, platform::sel::new_); }
  std::string who(Class* cls) { return objc::send(make(cls), kWho); }

  static inline int made_ = 0;
  const std::string suffix_ = std::to_string(++made_);
  std::unique_ptr<ProcessRuntime> owned_ = makeProcessRuntime();
  ProcessRuntime& runtime_ = *owned_;
  Class* layout_ = nullptr;
  Class* star_ = nullptr;
  Class* split_ = nullptr;
};

TEST_F(Hierarchy, SendsWalkTheSuperclassesAndClassMethodsTheMetaclasses) {
  EXPECT_EQ(who(star_), "layout");
  EXPECT_EQ(objc::send(make(split_), kTwice, 21), 42);
  // +kind is inherited and receives the class it was sent to; +new is NSObject's.
  EXPECT_EQ(objc::sendClass(star_, kKind), "kind of " + name("LayoutStar"));
  EXPECT_EQ(objc::class_getName(objc::object_getClass(*make(star_))), name("LayoutStar"));
  EXPECT_EQ(objc::class_getSuperclass(star_), layout_);
  // The root's metaclass inherits from the root: a class answers NSObject's instance methods.
  EXPECT_TRUE(objc::respondsTo(objc::classObject(star_), platform::sel::init));
  Class* root = runtime_.objc_getClass("NSObject");
  EXPECT_EQ(objc::class_getSuperclass(objc::objc_getMetaClass(root)), root);
  EXPECT_EQ(objc::class_getSuperclass(root), nullptr);
  EXPECT_EQ(objc::class_getSuperclass(objc::objc_getMetaClass(star_)), objc::objc_getMetaClass(layout_));
  EXPECT_FALSE(objc::respondsTo(make(star_), kKind));
  // A subclass's own method overrides; the superclass keeps its.
  Class* own = ClassDefinition(runtime_, layout_, name("LayoutOwn"))
                   .method(kWho, [](const Id&, Sel) { return std::string("own"); })
                   .registerClass();
  EXPECT_EQ(who(own), "own");
  EXPECT_EQ(who(layout_), "layout");
  // A name is taken once.
  EXPECT_EQ(ClassDefinition(runtime_, layout_, name("LayoutStar")).registerClass(), nullptr);
  EXPECT_EQ(runtime_.objc_getClass(name("LayoutStar")), star_);
}

TEST_F(Hierarchy, AHookOnAnInheritedMethodChangesTheHookedClassAloneAndReachesTheInheritedOne) {
  decltype(kWho)::Imp saved;
  EXPECT_EQ(
      platform::MSHookMessageEx(
          runtime_, star_, kWho, [&saved](const Id& self, Sel cmd) { return "star+" + saved(self, cmd); }, &saved),
      HookStatus::kInstalledOverInherited);
  EXPECT_EQ(who(star_), "star+layout");
  EXPECT_EQ(who(layout_), "layout");  // the superclass untouched
  EXPECT_EQ(who(split_), "layout");   // and its other subclass
  // The saved implementation calls the superclass's method as it stands at the call.
  decltype(kWho)::Imp savedLayout;
  EXPECT_EQ(platform::MSHookMessageEx(
                runtime_, layout_, kWho,
                [&savedLayout](const Id& self, Sel cmd) { return "hooked-" + savedLayout(self, cmd); }, &savedLayout),
            HookStatus::kInstalled);
  EXPECT_EQ(who(star_), "star+hooked-layout");
  EXPECT_EQ(who(split_), "hooked-layout");
}

TEST_F(Hierarchy, TwoHooksChainAndRevertRestoresExactlyWhatWasThere) {
  decltype(kTwice)::Imp first;
  decltype(kTwice)::Imp second;
  EXPECT_EQ(platform::MSHookMessageEx(
                runtime_, layout_, kTwice, [&first](const Id& s, Sel c, int n) { return first(s, c, n) + 1; }, &first),
            HookStatus::kInstalled);
  EXPECT_EQ(
      platform::MSHookMessageEx(
          runtime_, layout_, kTwice, [&second](const Id& s, Sel c, int n) { return second(s, c, n) * 10; }, &second),
      HookStatus::kAlreadyReplaced);
  EXPECT_EQ(objc::send(make(layout_), kTwice, 1), 30);  // (2 * 1 + 1) * 10: the second calls the first
  EXPECT_TRUE(runtime_.revertHook(layout_, kTwice.name));
  EXPECT_EQ(objc::send(make(layout_), kTwice, 1), 3);
  EXPECT_TRUE(runtime_.revertHook(layout_, kTwice.name));
  EXPECT_EQ(objc::send(make(layout_), kTwice, 1), 2);
  EXPECT_FALSE(runtime_.revertHook(layout_, kTwice.name));

  // Reverting a hook over an inherited method: the class inherits again, and so sees later changes.
  decltype(kWho)::Imp saved;
  platform::MSHookMessageEx(
      runtime_, star_, kWho, [](const Id&, Sel) { return std::string("star"); }, &saved);
  EXPECT_EQ(who(star_), "star");
  EXPECT_TRUE(runtime_.revertHook(star_, kWho.name));
  EXPECT_EQ(who(star_), "layout");
  EXPECT_EQ(platform::MSHookMessageEx(
                runtime_, star_, kWho, [](const Id&, Sel) { return std::string("again"); }, &saved),
            HookStatus::kInstalledOverInherited);
}

// A send is answered from the method cache once its method has been found; every change to the
// methods of the class or a superclass must be seen at the very next send, on the class and on the
// classes below it.
TEST_F(Hierarchy, AChangeToTheMethodsIsSeenAtTheNextSendAfterCachedSends) {
  const Id star = make(star_);
  const Id layout = make(layout_);
  auto twice = [](const Id& object) { return objc::send(object, kTwice, 5); };
  for (int i = 0; i < 3; ++i) EXPECT_EQ(twice(star), 10);  // cached on LayoutStar
  EXPECT_EQ(twice(layout), 10);                            // and on Layout

  // A hook on the superclass, where the method lives: the subclass's cached send sees it.
  decltype(kTwice)::Imp saved;
  EXPECT_EQ(platform::MSHookMessageEx(
                runtime_, layout_, kTwice, [&saved](const Id& s, Sel c, int n) { return saved(s, c, n) + 1; }, &saved),
            HookStatus::kInstalled);
  EXPECT_EQ(twice(star), 11);
  EXPECT_EQ(twice(layout), 11);

  // A hook on the subclass over what it inherits, then its revert.
  decltype(kTwice)::Imp savedStar;
  platform::MSHookMessageEx(
      runtime_, star_, kTwice, [&savedStar](const Id& s, Sel c, int n) { return savedStar(s, c, n) * 100; },
      &savedStar);
  EXPECT_EQ(twice(star), 1100);
  EXPECT_EQ(twice(layout), 11);
  EXPECT_TRUE(runtime_.revertHook(star_, kTwice.name));
  EXPECT_EQ(twice(star), 11);
  EXPECT_TRUE(runtime_.revertHook(layout_, kTwice.name));
  EXPECT_EQ(twice(star), 10);
  EXPECT_EQ(twice(layout), 10);

  // A method added to a class after sends to it found the inherited one overrides it from then on;
  // a selector it did not answer before is answered once added.
  Class* deeper = ClassDefinition(runtime_, star_, name("LayoutDeeper")).registerClass();
  const Id deep = make(deeper);
  EXPECT_EQ(twice(deep), 10);
  EXPECT_FALSE(objc::respondsTo(deep, kRatio));
  runtime_.class_addMethod(deeper, kTwice.name, typeid(int(int)),
                           std::make_shared<decltype(kTwice)::Imp>([](const Id&, Sel, int n) { return -n; }));
  runtime_.class_addMethod(star_, kRatio.name, typeid(double()),
                           std::make_shared<decltype(kRatio)::Imp>([](const Id&, Sel) { return 0.5; }));
  EXPECT_EQ(twice(deep), -5);
  EXPECT_EQ(objc::send(deep, kRatio), 0.5);
  EXPECT_EQ(twice(star), 10);
  // What nothing answers is still refused after the class's cache has filled.
  EXPECT_DEATH(objc::send(deep, kKind), "unrecognized selector");

  // Many selectors on one class: the cache grows, and every one still answers its own method.
  ClassDefinition many(runtime_, runtime_.objc_getClass("NSObject"), name("Many"));
  static const std::array<objc::Selector<int(int)>, 40> kMany = [] {
    static std::array<std::string, 40> names;
    std::array<objc::Selector<int(int)>, 40> selectors{};
    for (std::size_t i = 0; i < names.size(); ++i) {
      names[i] = "many" + std::to_string(i) + ":";
      selectors[i] = objc::Selector<int(int)>{names[i]};
    }
    return selectors;
  }();
  for (std::size_t i = 0; i < kMany.size(); ++i)
    many.method(kMany[i], [i](const Id&, Sel, int n) { return n + static_cast<int>(i); });
  const Id object = make(many.registerClass());
  for (int round = 0; round < 2; ++round) {
    for (std::size_t i = 0; i < kMany.size(); ++i) EXPECT_EQ(objc::send(object, kMany[i], 1000), 1000 + int(i));
  }
}

TEST_F(Hierarchy, AnAbsentClassOrMethodChangesNothingAndAnotherSignatureIsReported) {
  decltype(kWho)::Imp saved;
  const auto replacement = [](const Id&, Sel) { return std::string("replaced"); };
  EXPECT_EQ(platform::MSHookMessageEx(runtime_, nullptr, kWho, replacement, &saved), HookStatus::kNoSuchClass);
  EXPECT_EQ(platform::MSHookMessageEx(runtime_, star_, kKind, replacement, &saved), HookStatus::kNoSuchMethod);
  EXPECT_FALSE(saved);
  EXPECT_EQ(who(star_), "layout");
  EXPECT_FALSE(objc::respondsTo(make(star_), kKind));
  const auto wrong = std::make_shared<decltype(kWhoWithArgument)::Imp>();
  EXPECT_EQ(runtime_.hookMessage(star_, kWho.name, typeid(std::string(int)), wrong).status,
            HookStatus::kWrongSignature);
  EXPECT_EQ(who(star_), "layout");
  EXPECT_DEATH(platform::MSHookMessageEx(
                   runtime_, star_, kWhoWithArgument, [](const Id&, Sel, int) { return std::string(); }, nullptr),
               "signature mismatch at hook time");
  EXPECT_DEATH(objc::send(make(star_), kWhoWithArgument, 1), "signature mismatch");
}

TEST_F(Hierarchy, AClassMethodIsHookedThroughTheMetaclass) {
  decltype(kKind)::Imp saved;
  EXPECT_EQ(platform::MSHookMessageEx(
                runtime_, objc::objc_getMetaClass(star_), kKind,
                [&saved](const Id& self, Sel cmd) { return saved(self, cmd) + "!"; }, &saved),
            HookStatus::kInstalledOverInherited);
  EXPECT_EQ(objc::sendClass(star_, kKind), "kind of " + name("LayoutStar") + "!");
  EXPECT_EQ(objc::sendClass(split_, kKind), "kind of " + name("LayoutSplit"));
}

TEST_F(Hierarchy, NilAnswersZeroOfEveryResultTypeAndIvarsAreTyped) {
  EXPECT_EQ(objc::send(Id{}, kTwice, 5), 0);
  EXPECT_EQ(objc::send(Id{}, kRatio), 0.0);
  const platform::Point p = objc::send(Id{}, kWhere);
  EXPECT_EQ(p.x, 0.0);
  EXPECT_EQ(p.y, 0.0);
  EXPECT_EQ(objc::send(Id{}, kWho), "");
  EXPECT_EQ(objc::sendClass(nullptr, kKind), "");

  struct Counter {
    int n = 0;
  };
  Class* counted = ClassDefinition(runtime_, layout_, name("Counted")).ivars<Counter>().registerClass();
  Class* sub = ClassDefinition(runtime_, counted, name("CountedSub")).protocol("Counting").registerClass();
  Id object = make(sub);
  ASSERT_NE(objc::ivarsOf<Counter>(object), nullptr);  // inherited instance variables
  EXPECT_EQ(objc::ivarsOf<Counter>(object)->n, 0);
  EXPECT_EQ(objc::ivarsOf<std::string>(object), nullptr);
  EXPECT_EQ(objc::ivarsOf<Counter>(make(star_)), nullptr);
  EXPECT_TRUE(objc::class_conformsToProtocol(sub, "Counting"));
  EXPECT_FALSE(objc::class_conformsToProtocol(counted, "Counting"));
}

}  // namespace
}  // namespace orvane::sim
