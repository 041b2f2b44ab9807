// The device's core on its own: a process's life, the main queues, the notification buses, each
// process's copy of the preference domains, and a process in an OS process of its own, which must
// answer event for event as the same process in this one.
#include "sim/device/device.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/uikit.h"
#include "rig/rig.h"
#include "sim/device/channel.h"
#include "sim/device/remote_process.h"

namespace orvane {
namespace {

using sim::Process;

// A device with the extension, on a temporary root, its files on disk (a separate process reads
// them itself); its processes here, or each in an OS process of its own.
struct TestDevice {
  explicit TestDevice(bool separate = false) : device(rig::makeDevice(root.path(), sim::Storage::kOnDisk)) {
    device->setSeparateProcesses(separate);
    device->setKeyboards(std::vector<std::string>{"en_US", "fr_FR", "de_DE"});
  }
  // The events of one kind (every event when none is named), as text.
  std::vector<std::string> events(std::string_view kind = {}) const {
    std::vector<std::string> out;
    for (const auto& e : device->trace().events()) {
      if (kind.empty() || e.kind == kind) out.push_back(sim::Trace::text(e));
    }
    return out;
  }
  rig::TemporaryRoot root;
  std::unique_ptr<sim::Device> device;
};

// The platform may hand back the same objects for the active input modes and the current one; the
// device does while they stand, and answers anew once the keyboards or the current mode change.
TEST(DeviceCore, TheInputModesAreAnsweredAsTheSameObjectsUntilTheyChange) {
  TestDevice t;
  Process& app = t.device->start("com.example.app");
  objc::Class* modes = app.local()->objc_getClass("UITextInputMode");
  const auto identifier = [](const objc::Id& mode) {
    return objc::send(mode, platform::sel::valueForKey, "identifier");
  };
  const platform::ObjectList active = objc::sendClass(modes, platform::sel::activeInputModes);
  ASSERT_EQ(active->size(), 3U);
  EXPECT_EQ(objc::sendClass(modes, platform::sel::activeInputModes), active);
  const objc::Id current = objc::sendClass(modes, platform::sel::currentInputMode);
  EXPECT_EQ(current, active->front());
  EXPECT_EQ(objc::sendClass(modes, platform::sel::currentInputMode), current);

  // The current mode steps on: the array stands, the current object is the next of its elements.
  app.tapKey("International-Key");
  EXPECT_EQ(objc::sendClass(modes, platform::sel::activeInputModes), active);
  EXPECT_EQ(objc::sendClass(modes, platform::sel::currentInputMode), active->at(1));
  EXPECT_EQ(identifier(objc::sendClass(modes, platform::sel::currentInputMode)), "fr_FR");

  // Other keyboards: a new array, and the current mode is its element, not the old array's.
  t.device->setKeyboards(std::vector<std::string>{"de_DE", "fr_FR"});
  const platform::ObjectList changed = objc::sendClass(modes, platform::sel::activeInputModes);
  EXPECT_NE(changed, active);
  EXPECT_EQ(objc::sendClass(modes, platform::sel::currentInputMode), changed->at(1));
  EXPECT_EQ(identifier(changed->at(1)), "fr_FR");
}

TEST(DeviceCore, AProcessStartsOnceStopsWritingWhatItSetAndAnEndedOneIsTakenOut) {
  TestDevice t;
  Process& app = t.device->start("com.example.app");
  EXPECT_EQ(&t.device->start("com.example.app"), &app) << "a running process is returned as it is";
  EXPECT_EQ(app.name(), "com.example.app");
  EXPECT_EQ(t.device->start(sim::kSpringBoard).name(), "SpringBoard");
  EXPECT_EQ(app.currentInputMode(), "en_US") << "the first active keyboard, nothing used before";

  // From iOS 8 on a value set reaches storage as it is set.
  app.local()->CFPreferencesSetAppValue("Key", Value(6), "com.example.app");
  EXPECT_EQ(t.device->preferenceValue("Key", "com.example.app"), Value(6));
  EXPECT_TRUE(t.device->stop("com.example.app"));

  // Up to iOS 7 a value set and never synchronized reaches the file when the process stops.
  t.device->setVersion(847.2);
  Process& held = t.device->start("com.example.app");
  held.local()->CFPreferencesSetAppValue("Key", Value(7), "com.example.app");
  EXPECT_EQ(t.device->preferenceValue("Key", "com.example.app"), Value(6));
  EXPECT_EQ(held.local()->CFPreferencesCopyAppValue("Key", "com.example.app"), Value(7)) << "its own copy holds it";
  EXPECT_TRUE(t.device->stop("com.example.app"));
  EXPECT_EQ(t.device->preferenceValue("Key", "com.example.app"), Value(7));
  EXPECT_FALSE(t.device->stop("com.example.app"));
  EXPECT_EQ(t.events("stop").size(), 2U);

  // Killed: its end is traced, it is no longer found, and what it set is lost.
  Process& again = t.device->start("com.example.app");
  again.local()->CFPreferencesSetAppValue("Key", Value(8), "com.example.app");
  EXPECT_FALSE(again.end(Process::End::kKillMidWrite)) << "no such end on one OS process";
  EXPECT_TRUE(again.end(Process::End::kKill));
  EXPECT_TRUE(again.ended());
  EXPECT_EQ(t.device->find("com.example.app"), nullptr);
  EXPECT_EQ(t.events("exit").back(), "[com.example.app] exit SIGKILL killed");
  t.device->reap();
  EXPECT_EQ(t.device->processes().size(), 1U);
  EXPECT_EQ(t.device->preferenceValue("Key", "com.example.app"), Value(7));
}

TEST(DeviceCore, UpToIos7ASynchronizeOfOneDomainWritesEveryDomainTheProcessHolds) {
  TestDevice t;
  t.device->setVersion(793.0);
  sim::LocalProcess& app = *t.device->start("com.example.app").local();
  app.CFPreferencesSetAppValue("Marker", Value(true), "com.example.markers");
  app.CFPreferencesSetAppValue("Gone", std::nullopt, "com.example.other");
  app.CFPreferencesSetAppValue("KeyboardLastUsed", Value("fr_FR"), "com.apple.Preferences");
  EXPECT_EQ(t.device->preferenceValue("Marker", "com.example.markers"), std::nullopt);
  EXPECT_TRUE(app.CFPreferencesAppSynchronize("com.apple.Preferences"));
  EXPECT_EQ(t.device->preferenceValue("KeyboardLastUsed", "com.apple.Preferences"), Value("fr_FR"));
  EXPECT_EQ(t.device->preferenceValue("Marker", "com.example.markers"), Value(true)) << "another domain it held";
  EXPECT_EQ(t.events("pref-write").size(), 3U) << "each value written once, the removal too";

  // Nothing is left to write: a kill loses nothing now, and a second synchronize writes nothing.
  EXPECT_TRUE(app.CFPreferencesAppSynchronize("com.example.markers"));
  EXPECT_EQ(t.events("pref-write").size(), 3U);
  ASSERT_TRUE(app.end(Process::End::kKill));
  EXPECT_EQ(t.device->preferenceValue("Marker", "com.example.markers"), Value(true));
}

TEST(DeviceCore, NoMoreThanTheMostProcessesRunAtOnce) {
  TestDevice t;
  for (std::size_t i = 0; i < sim::Device::kMaxProcesses; ++i) t.device->start("com.example.app" + std::to_string(i));
  try {
    t.device->start("com.example.one-more");
    ADD_FAILURE() << "a process past the most was started";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "the device runs at most 128 processes at once: stop one first");
  }
  EXPECT_EQ(t.device->processes().size(), sim::Device::kMaxProcesses);
  EXPECT_NO_THROW(t.device->start("com.example.app0")) << "one already running is returned as it is";
  ASSERT_TRUE(t.device->stop("com.example.app0"));
  EXPECT_NO_THROW(t.device->start("com.example.one-more"));
}

TEST(DeviceCore, MainQueuesRunRoundRobinInStartOrderAndARunawayOrAnInterruptionStopsTheRun) {
  TestDevice t;
  sim::LocalProcess& a = *t.device->start("com.example.a").local();
  sim::LocalProcess& b = *t.device->start("com.example.b").local();
  t.device->runUntilIdle();
  std::vector<std::string> ran;
  for (int i = 0; i < 3; ++i) {
    a.enqueue([&ran, i] { ran.push_back("a" + std::to_string(i)); }, "test");
    b.enqueue([&ran, i] { ran.push_back("b" + std::to_string(i)); }, "test");
  }
  EXPECT_EQ(a.pendingTasks(), 3U);
  const auto result = t.device->runUntilIdle();
  EXPECT_TRUE(result.idle);
  EXPECT_EQ(result.tasks, 6U);
  EXPECT_EQ(ran, (std::vector<std::string>{"a0", "b0", "a1", "b1", "a2", "b2"}));

  // A task that queues itself again never ends: the run stops at the bound and says so.
  std::function<void()> again = [&] { a.enqueue(again, "test"); };
  a.enqueue(again, "test");
  const auto runaway = t.device->runUntilIdle(50);
  EXPECT_FALSE(runaway.idle);
  EXPECT_EQ(runaway.tasks, 50U);
  EXPECT_EQ(t.events("runaway").size(), 1U);
  // Asked to stop, it stops between tasks, the work left queued.
  int asked = 0;
  t.device->setInterruption([&] { return ++asked > 3; });
  const auto interrupted = t.device->runUntilIdle();
  EXPECT_FALSE(interrupted.idle);
  EXPECT_EQ(a.pendingTasks(), 1U);
  EXPECT_EQ(t.events("interrupted").size(), 1U);
}

TEST(DeviceCore, BusesDeliverToEveryObserverOnlyAndASuspendedApplicationHoldsTheLastOfEachName) {
  TestDevice t;
  sim::LocalProcess& a = *t.device->start("com.example.a").local();
  sim::LocalProcess& b = *t.device->start("com.example.b").local();
  t.device->runUntilIdle();
  std::vector<std::string> got;
  a.CFNotificationCenterAddObserver(
      "x", [&](std::string_view n) { got.push_back("a:" + std::string(n)); }, 0);
  b.addDistributedObserver("y", [&](const platform::Notification& n) {
    got.push_back("b:" + n.name + (n.userInfo ? "+" + std::to_string(n.userInfo->size()) : ""));
  });
  a.postDarwin("x");  // the poster observes it too
  a.postDarwin("z");  // no one does
  t.device->postDistributed(a, platform::Notification{"y", Dictionary{{"k", Value(1)}}});
  t.device->runUntilIdle();
  EXPECT_EQ(got, (std::vector<std::string>{"a:x", "b:y+1"}));

  // Suspended: posts are held, one per name, the last user info kept, and delivered on resume.
  got.clear();
  ASSERT_TRUE(b.suspend());
  EXPECT_FALSE(b.suspend());
  t.device->postDistributed(a, platform::Notification{"y", std::nullopt});
  t.device->postDistributed(a, platform::Notification{"y", Dictionary{{"k", Value(1)}, {"l", Value(2)}}});
  t.device->runUntilIdle();
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(t.events("notification-held").size(), 2U);
  ASSERT_TRUE(b.resume());
  t.device->runUntilIdle();
  EXPECT_EQ(got, (std::vector<std::string>{"b:y+2"}));
  EXPECT_FALSE(t.device->start(sim::kSpringBoard).suspend()) << "SpringBoard never goes to the background";
}

TEST(DeviceCore, EachProcessReadsItsOwnCopyOfADomainUntilItSynchronizes) {
  TestDevice t;
  sim::LocalProcess& a = *t.device->start("com.example.a").local();
  sim::LocalProcess& b = *t.device->start("com.example.b").local();
  EXPECT_EQ(b.CFPreferencesCopyAppValue("K", "d"), std::nullopt);  // b's copy is made now
  a.CFPreferencesSetAppValue("K", Value("one"), "d");
  EXPECT_EQ(a.CFPreferencesCopyAppValue("K", "d"), Value("one")) << "a reads what it set";
  EXPECT_TRUE(a.CFPreferencesAppSynchronize("d"));
  EXPECT_EQ(b.CFPreferencesCopyAppValue("K", "d"), std::nullopt) << "b's copy is as it was";
  EXPECT_TRUE(b.CFPreferencesAppSynchronize("d"));
  EXPECT_EQ(b.CFPreferencesCopyAppValue("K", "d"), Value("one"));
  // A key no application domain holds is looked for in the one they share.
  ASSERT_TRUE(t.device->writePreference("device", "Shared", Value(true), sim::kGlobalPreferencesDomain));
  EXPECT_EQ(b.CFPreferencesCopyAppValue("Shared", "d"), std::nullopt) << "not until b synchronizes that domain";
  b.CFPreferencesAppSynchronize(sim::kGlobalPreferencesDomain);
  EXPECT_EQ(b.CFPreferencesCopyAppValue("Shared", "d"), Value(true));
  // Booleans as CoreFoundation reads them.
  bool valid = false;
  for (const auto& [value, expected, isValid] :
       std::vector<std::tuple<Value, bool, bool>>{{Value("YES"), true, true},
                                                  {Value("no"), false, true},
                                                  {Value(std::int64_t{1} << 32), false, true},
                                                  {Value(2.5), false, false},
                                                  {Value("maybe"), false, false}}) {
    a.CFPreferencesSetAppValue("B", value, "d");
    EXPECT_EQ(a.CFPreferencesGetAppBooleanValue("B", "d", &valid), expected);
    EXPECT_EQ(valid, isValid);
  }
}

// The same steps on a device whose processes run here and on one whose processes each run in an
// OS process of their own: the same trace, event for event, and the same state read back.
std::vector<std::string> stepsOn(TestDevice& t) {
  Process& springBoard = t.device->start(sim::kSpringBoard);
  Process& app = t.device->start("com.example.app");
  t.device->setActivatorInstalled(true);
  app.showKeyboard();
  t.device->runUntilIdle();
  app.tapKey("International-Key");
  t.device->runUntilIdle();
  app.askLabel("International-Key");
  app.askSwitcherList();
  t.device->setKeyboards(std::vector<std::string>{"de_DE", "en_US"});
  app.nextKeyboardStep();
  t.device->runUntilIdle();
  springBoard.fireActivatorEvent("net.varnholt.orvane.change-mode");
  t.device->runUntilIdle();
  app.dismissAlert();
  std::vector<std::string> out = t.events();
  out.push_back("input mode " + app.currentInputMode().value_or("(none)"));
  out.push_back("shown " + std::to_string(app.keyboardShown()));
  out.push_back("label " + app.lastLabel().value_or(std::nullopt).value_or("(nil)"));
  out.push_back("switcher " + std::to_string(app.lastSwitcherList().has_value()));
  out.push_back("alerts " + std::to_string(app.alerts().size()) + ", log " + std::to_string(app.logLines().size()) +
                ", hooks " + std::to_string(springBoard.installedHooks().size()));
  for (const std::string& line : springBoard.logLines()) out.push_back("log " + line);
  return out;
}

TEST(DeviceCore, AProcessInAnOSProcessOfItsOwnAnswersAsTheSameProcessHere) {
  TestDevice here;
  TestDevice apart(true);
  const auto expected = stepsOn(here);
  const auto got = stepsOn(apart);
  ASSERT_GT(expected.size(), 40U);
  EXPECT_EQ(got, expected);
  ASSERT_NE(dynamic_cast<sim::RemoteProcess*>(apart.device->find("com.example.app")), nullptr);
  EXPECT_EQ(apart.device->find("com.example.app")->local(), nullptr);
}

// A library whose initialiser runs `didLoad` with the services of the process it is mapped into.
class TestLibrary : public platform::Library {
 public:
  using DidLoad = std::function<void(const platform::Platform&)>;
  TestLibrary(const platform::Platform& platform, DidLoad didLoad)
      : platform_(platform), didLoad_(std::move(didLoad)) {}
  void loadClasses() override {}
  void libraryDidLoad() override { didLoad_(platform_); }

 private:
  platform::Platform platform_;  // references to the process's services, which outlive the library
  DidLoad didLoad_;
};

platform::LibraryFactory testLibrary(TestLibrary::DidLoad didLoad) {
  return [didLoad](const platform::Platform& p) { return std::make_unique<TestLibrary>(p, didLoad); };
}

// One process watches the keyboards' change notification, which the extension posts at each step
// of mode 1 and does not observe itself.
void watchKeyboardChanges(const platform::Platform& p) {
  if (p.system.mainBundleIdentifier() != "com.example.watcher") return;
  p.notify.CFNotificationCenterAddObserver(
      platform::names::kKeyboardsChangedNotification,
      [p](std::string_view name) { p.system.NSLog("watched " + std::string(name)); }, 0);
}

// Mode 1 with two keyboards selected.
void selectTwo(TestDevice& t) {
  EXPECT_TRUE(t.device->writePreference("device", "mode", Value(1), "net.varnholt.orvane"));
  EXPECT_TRUE(t.device->writePreference("device", "SelectedKeyboards", Value(Array{Value("fr_FR"), Value("de_DE")}),
                                        "net.varnholt.orvane"));
}

// A tap in mode 1, with a process that watches what the tap posts: the trace, event for event.
std::vector<std::string> watchedTap(TestDevice& t) {
  t.device->installLibrary("/Library/Watcher.dylib", testLibrary(watchKeyboardChanges));
  selectTwo(t);
  t.device->start("com.example.watcher");
  Process& app = t.device->start("com.example.app");
  app.showKeyboard();
  t.device->runUntilIdle();
  app.tapKey("International-Key");
  t.device->runUntilIdle();
  return t.events();
}

// A process in an OS process of its own does not wait for a post it does not observe itself, as
// a poster on the platform never waits for an observer; the deliveries are queued in the same
// place of the trace all the same, before anything the poster does after its post.
TEST(DeviceCore, APostItsPosterDoesNotObserveIsNotWaitedForAndKeepsItsPlace) {
  TestDevice here;
  TestDevice apart(true);
  const auto expected = watchedTap(here);
  const auto got = watchedTap(apart);
  EXPECT_EQ(got, expected);
  const auto watched = std::count_if(expected.begin(), expected.end(), [](const std::string& line) {
    return line == R"([com.example.watcher] log "watched AppleKeyboardsSettingsChangedNotification")";
  });
  EXPECT_EQ(watched, 2) << "the tap posts on both buses, and the watcher sees each";

  // Nobody watching: a tap and its run are three round trips (the tap, the task, the preference
  // write); the two posts cost none.
  TestDevice alone(true);
  selectTwo(alone);
  Process& app = alone.device->start("com.example.app");
  app.showKeyboard();
  alone.device->runUntilIdle();
  const std::uint64_t before = sim::channelTraffic().roundTrips();
  app.tapKey("International-Key");
  alone.device->runUntilIdle();
  EXPECT_EQ(sim::channelTraffic().roundTrips() - before, 3U);
  EXPECT_EQ(app.currentInputMode(), "fr_FR");
}

TEST(DeviceCore, AProcessApartThatIsKilledCrashesOrHangsEndsAndIsSaid) {
  TestDevice t(true);
  Process& app = t.device->start("com.example.app");
  t.device->runUntilIdle();
  ASSERT_TRUE(app.end(Process::End::kCrash));
  EXPECT_TRUE(app.ended());
  EXPECT_EQ(t.events("exit").back(), "[com.example.app] exit SIGABRT crashed");
  EXPECT_FALSE(app.tapKey("International-Key")) << "a call to an ended process gives the default";
  t.device->reap();
  Process& again = t.device->start("com.example.app");
  ASSERT_TRUE(again.end(Process::End::kKill));
  EXPECT_EQ(t.events("exit").back(), "[com.example.app] exit SIGKILL killed");
}

// A process whose OS process ends while the device is serving a call it made (SpringBoard posts a
// notification it observes itself, and the device asks it to queue the delivery): its end is
// traced once, with its status, and the calls under way give their defaults. The channel they
// read outlives them (AddressSanitizer reported a use after free here).
TEST(MisbehavingChildren, AnEndDuringACallBackIsTracedOnceAndTheCallsUnderWayGiveTheirDefaults) {
  TestDevice t(true);
  t.device->setActivatorInstalled(true);
  ASSERT_TRUE(t.device->writePreference("device", "mode", Value(1), "net.varnholt.orvane"));
  Process& springBoard = t.device->start(sim::kSpringBoard);
  t.device->runUntilIdle();
  bool crashed = false;
  t.device->trace().setSink([&](const sim::TraceEvent& event) {
    // The event is not used after the crash: the trace grows while it is traced.
    if (crashed || event.process != "SpringBoard" || event.kind != "darwin-post") return;
    crashed = true;
    springBoard.end(Process::End::kCrash);
  });
  EXPECT_FALSE(springBoard.fireActivatorEvent("net.varnholt.orvane.change-mode"));
  t.device->trace().setSink(nullptr);
  ASSERT_TRUE(crashed) << "the mode action posts a Darwin notification";
  EXPECT_EQ(t.events("exit"), std::vector<std::string>{"[SpringBoard] exit SIGABRT crashed"});
  t.device->reap();
  EXPECT_EQ(t.device->find(sim::kSpringBoard), nullptr);
}

// Signals from another program reach the child alone, as on the platform: the device's own
// handlers (the command's removes the device's folder) are not the child's, nor are the signals
// it holds; the device notices the end before its next line and takes the process out.
TEST(MisbehavingChildren, ASignalFromOutsideEndsTheChildAloneAndIsNoticedBeforeTheNextLine) {
  static const char* marker = nullptr;
  TestDevice t(true);
  const std::string markerPath = (t.root.path() / "the device's handler ran").string();
  marker = markerPath.c_str();
  struct sigaction handler {};
  struct sigaction previous {};
  handler.sa_handler = [](int) { ::close(::open(marker, O_CREAT | O_WRONLY, 0600)); };
  ::sigaction(SIGTERM, &handler, &previous);
  sigset_t held;
  sigset_t before;
  sigemptyset(&held);
  sigaddset(&held, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &held, &before);
  auto& app = dynamic_cast<sim::RemoteProcess&>(t.device->start("com.example.app"));
  ::sigprocmask(SIG_SETMASK, &before, nullptr);
  ::sigaction(SIGTERM, &previous, nullptr);

  ASSERT_EQ(::kill(app.osProcess(), SIGTERM), 0);
  for (int waited = 0; waited < 200 && !app.endedOutside(); ++waited) ::usleep(10000);
  EXPECT_FALSE(std::filesystem::exists(markerPath)) << "the child ran the device's handler";
  EXPECT_EQ(t.events("exit"), std::vector<std::string>{"[com.example.app] exit SIGTERM ended-outside"});
  t.device->reap();
  EXPECT_EQ(t.device->find("com.example.app"), nullptr) << "a later line names it as not running";
  Process& again = t.device->start("com.example.app");
  EXPECT_FALSE(again.ended());

  // Killed from outside: the same, noticed by the device's next reap.
  ::kill(dynamic_cast<sim::RemoteProcess&>(again).osProcess(), SIGKILL);
  for (int waited = 0; waited < 200 && t.device->find("com.example.app") != nullptr; ++waited) {
    ::usleep(10000);
    t.device->reap();
  }
  EXPECT_EQ(t.events("exit").back(), "[com.example.app] exit SIGKILL ended-outside");
}

// The device's kill is what ends a child it kills: never its connection closing first, which the
// child takes as the word to exit ("exit 0"), as the differential fuzzer found a third of the time.
TEST(MisbehavingChildren, AChildTheDeviceKillsIsAlwaysEndedBySIGKILL) {
  TestDevice t(true);
  for (int round = 0; round < 30; ++round) {
    Process& app = t.device->start("com.example.app");
    t.device->runUntilIdle();
    ASSERT_TRUE(app.end(Process::End::kKill));
    t.device->reap();
  }
  const auto exits = t.events("exit");
  EXPECT_EQ(exits, std::vector<std::string>(30, "[com.example.app] exit SIGKILL killed"));
}

// What a process said before a fault of its own reaches the trace before its end, though it had
// not yet gone out with a message of the process's.
TEST(MisbehavingChildren, WhatAProcessSaidBeforeItsFaultIsTracedBeforeItsEnd) {
  TestDevice t(true);
  // A library that logs, then meets a fault of its own (as a fault in the extension would).
  t.device->installLibrary("/Library/Faulting.dylib", testLibrary([](const platform::Platform& p) {
                             if (p.system.mainBundleIdentifier() != "com.example.faulting") return;
                             p.system.NSLog("about to fault");
                             ::raise(SIGSEGV);
                           }));
  Process& faulting = t.device->start("com.example.faulting");
  EXPECT_TRUE(faulting.ended());
  std::vector<std::string> lines;
  for (const auto& e : t.device->trace().events()) {
    if (e.process == "com.example.faulting" && (e.kind == "log" || e.kind == "exit"))
      lines.push_back(sim::Trace::text(e));
  }
  ASSERT_GE(lines.size(), 2U);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
            (std::vector<std::string>{R"([com.example.faulting] log "about to fault")",
                                      "[com.example.faulting] exit SIGSEGV crashed"}));
}

// A process that cannot start (no descriptor left for its connection) leaves nothing behind: it is
// not listed, a later start of it starts it, and nothing runs in the device's own process.
TEST(MisbehavingChildren, AStartThatFailsLeavesTheDeviceAsItWas) {
  TestDevice t(true);
  // One start and stop first: UndefinedBehaviorSanitizer checks a type once, with a pipe of its
  // own, which it could not open with no descriptor left.
  t.device->start("com.example.first");
  ASSERT_TRUE(t.device->stop("com.example.first"));
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
  const int lowestFree = ::dup(0);  // a new descriptor takes the lowest number free
  ::close(lowestFree);
  rlimit few = before;
  few.rlim_cur = static_cast<rlim_t>(lowestFree);  // no new descriptor: the connection cannot be made
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &few), 0);
  EXPECT_THROW(t.device->start("com.example.app"), std::runtime_error);
  ::setrlimit(RLIMIT_NOFILE, &before);
  EXPECT_EQ(t.device->find("com.example.app"), nullptr);
  EXPECT_TRUE(t.device->processes().empty());
  Process& app = t.device->start("com.example.app");
  EXPECT_NE(dynamic_cast<sim::RemoteProcess*>(&app), nullptr);
  EXPECT_EQ(app.currentInputMode(), "en_US");
}

// A shared object larger than the process can hold in one string is refused, not installed cut short:
// where size_t has 32 bits, one of 4 GiB and 16 bytes was once read as its last 16 bytes, and said
// to be installed. Where it has 64 bits the file would be read whole (4 GiB): there the test says so
// and stops.
TEST(DeviceCore, ASharedObjectTooLargeToHoldIsRefusedNotCutShort) {
  if (std::numeric_limits<std::size_t>::max() > std::numeric_limits<std::uint32_t>::max())
    GTEST_SKIP() << "a file of 4 GiB fits in one string here: the 32-bit build runs this";
  TestDevice t;
  const rig::TemporaryRoot elsewhere;
  const auto file = elsewhere.path() / "huge.so";
  { std::ofstream out(file, std::ios::binary); }
  std::filesystem::resize_file(file, (std::uintmax_t{1} << 32) + 16);  // sparse: no disk space taken
  EXPECT_FALSE(t.device->installSharedObject("/Library/MobileSubstrate/DynamicLibraries/huge.dylib", file));
  EXPECT_FALSE(t.device->files().exists("/Library/MobileSubstrate/DynamicLibraries/huge.dylib"));
}

// A stopped child cannot hold the device's end: it is killed once the bound for exiting has passed.
TEST(MisbehavingChildren, AStoppedChildIsKilledWhenTheDeviceEnds) {
  pid_t pid = 0;
  const auto start = std::chrono::steady_clock::now();
  {
    TestDevice t(true);
    pid = dynamic_cast<sim::RemoteProcess&>(t.device->start("com.example.app")).osProcess();
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_EQ(::kill(pid, 0), -1) << "the child is gone, and waited for";
  EXPECT_EQ(errno, ESRCH);
}

}  // namespace
}  // namespace orvane
