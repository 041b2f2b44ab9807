// Whole-device reliability: real processes racing on the same files, thousands of queued events
// against a reference model, and a search for states that would keep the main queue busy forever.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "activator/action_listeners.h"
#include "agent/global_function.h"
#include "hooks/next_position.h"
#include "rig/rig.h"
#include "settings/guards.h"
#include "sim/plist/plist_io.h"
#include "sim/standins/activator.h"
#include "sim/storage/disk_store.h"
#include "sim/storage/preference_store.h"
#include "sim/trace/value_text.h"

namespace orvane {
namespace {

std::int64_t writerValue(std::string_view bytes) {
  const auto parsed = sim::parsePlist(bytes);
  const Dictionary* d = parsed ? parsed->value.dictionary() : nullptr;
  const Value* v = d ? find(*d, "writer") : nullptr;
  const auto* i = v ? std::get_if<std::int64_t>(&v->storage()) : nullptr;
  return i ? *i : -1;
}

std::string settingsVersion(std::int64_t i) {
  const Dictionary d = {{"enabled", Value(true)},
                        {"mode", Value(1)},
                        {"SelectedKeyboards", Value(Array{Value("en_US"), Value("fr_FR")})},
                        {"writer", Value(i)},
                        {"padding", Value(std::string(4000, 'p'))}};
  return sim::serializePlist(Value(d), sim::PlistFormat::kBinary).value();
}

// Runs `body` in a child process; the child's result line comes back through a pipe.
struct Child {
  pid_t pid;
  int out;
};
template <class Body>
Child spawn(Body body) {
  int fds[2];
  if (::pipe(fds) != 0) std::abort();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    const std::string line = body();
    if (::write(fds[1], line.data(), line.size()) < 0) ::_exit(3);
    ::_exit(0);
  }
  ::close(fds[1]);
  return {pid, fds[0]};
}
std::string collect(const Child& child) {
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = ::read(child.out, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  ::close(child.out);
  int status = 0;
  ::waitpid(child.pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : "child failed";
}

TEST(Concurrency, ASettingsWriterRacingTheModeActionNeverShowsAReaderAPartialFile) {
  rig::Rig device;
  ASSERT_TRUE(device.device().files().writeAtomically(kSettingsPath, settingsVersion(0)));
  const std::filesystem::path root = device.device().root();
  constexpr int kWrites = 400;
  constexpr int kActions = 150;

  // The settings pane: ever newer versions of the whole file.
  const Child writer = spawn([&] {
    sim::DiskStore files(root);
    for (int i = 1; i <= kWrites; ++i) files.writeAtomically(kSettingsPath, settingsVersion(i));
    return std::string("done");
  });
  // SpringBoard's mode action, over and over: what it writes back is never older than what the
  // file held when its event began, so an update can be lost only while an event runs.
  const Child modeAction = spawn([&] {
    auto own = rig::makeDevice(root);
    own->setActivatorInstalled(true);
    own->setKeyboards(std::vector<std::string>{"en_US", "fr_FR"});
    sim::Process& springboard = own->start("com.apple.springboard");
    std::int64_t written = -1;
    own->files().setWriteObserver([&](std::string_view path, std::string_view bytes) {
      if (path == kSettingsPath) written = writerValue(bytes);
    });
    int older = 0;
    for (int k = 0; k < kActions; ++k) {
      const std::int64_t atStart = writerValue(own->files().read(kSettingsPath, 1 << 20).value_or(""));
      written = -1;
      springboard.fireActivatorEvent("net.varnholt.orvane.change-mode");
      if (written >= 0 && written < atStart) ++older;
      own->runUntilIdle();
    }
    return std::to_string(older);
  });
  // A reader that parses whatever is there, as every process's reload does, until the writer's last
  // version shows; a version going back means an update the mode action overwrote.
  const Child reader = spawn([&] {
    sim::DiskStore files(root);
    int reads = 0;
    int partial = 0;
    int rollbacks = 0;
    std::int64_t last = 0;
    // Until the last version shows, or for at most a few seconds: the mode action may have written
    // an older copy over it, and then it never shows.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    for (; std::chrono::steady_clock::now() < deadline; ++reads) {
      const std::int64_t v = writerValue(files.read(kSettingsPath, 1 << 20).value_or(""));
      if (v < 0) ++partial;
      if (v >= 0 && v < last) ++rollbacks;
      last = std::max<std::int64_t>(v, 0);
      if (v == kWrites && reads > 1000) break;
    }
    return std::to_string(reads) + " " + std::to_string(partial) + " " + std::to_string(rollbacks);
  });

  EXPECT_EQ(collect(writer), "done");
  EXPECT_EQ(collect(modeAction), "0") << "the mode action wrote back a version older than the one it started from";
  int reads = 0;
  int partial = -1;
  int rollbacks = 0;
  std::istringstream counts(collect(reader));
  ASSERT_TRUE(counts >> reads >> partial >> rollbacks);
  EXPECT_EQ(partial, 0) << "a reader saw a file that does not read whole";
  std::printf("mode action vs writer: %d writes, %d actions, %d reads, %d partial, %d updates seen overwritten\n",
              kWrites, kActions, reads, partial, rollbacks);
}

TEST(Concurrency, ManyProcessesWritingKeysOfOneDomainLoseNone) {
  rig::Rig device;
  const std::filesystem::path root = device.device().root();
  constexpr int kProcesses = 6;
  constexpr int kKeys = 60;
  std::vector<Child> children;
  children.reserve(kProcesses);
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(spawn([&, p] {
      sim::DiskStore files(root);
      sim::PreferenceStore prefs(files);
      int failed = 0;
      for (int k = 0; k < kKeys; ++k)
        failed += prefs.set("p" + std::to_string(p) + "k" + std::to_string(k), Value(k), "com.example.shared").written
                      ? 0
                      : 1;
      return std::to_string(failed);
    }));
  }
  for (const Child& child : children) EXPECT_EQ(collect(child), "0");
  const Dictionary all = device.device().preferences().read("com.example.shared");
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kProcesses * kKeys));
}

// The reference model of one process: its keyboard, the selection its last reload saw, and its main
// queue of taps, commands and reloads.
struct ModelProcess {
  std::string current;
  std::vector<std::string> keyboards;
  struct Op {
    enum Kind { kTap, kSwitch, kReload } kind;
    std::string keyboard;
  };
  std::vector<Op> queue;
};

TEST(Load, ThousandsOfQueuedTapsAndNotificationsEndWhereTheModelSays) {
  const std::vector<std::string> active = {"en_US", "fr_FR", "de_DE", "es_ES", "it_IT", "emoji@sw=Emoji"};
  std::mt19937 random(42);
  auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
  auto selection = [&] {
    std::vector<std::string> s;
    while (s.size() < 2 || pick(3) != 0) s.push_back(active[pick(active.size())]);
    if (std::count(s.begin(), s.end(), s.front()) == static_cast<std::ptrdiff_t>(s.size()))
      s.push_back(s.front() == "en_US" ? "fr_FR" : "en_US");
    return s;
  };
  auto write = [](rig::Rig& d, const std::vector<std::string>& s) {
    d.writeSettings({{"mode", Value(1)}, {"SelectedKeyboards", Value(Array(s.begin(), s.end()))}});
  };

  rig::Rig device;
  device.keyboards(active);
  std::vector<std::string> file = selection();
  write(device, file);
  const std::vector<std::string> names = {"com.apple.springboard", "com.example.a", "com.example.b", "com.example.c"};
  std::map<std::string, ModelProcess> model;
  for (const std::string& name : names) {
    device.start(name);
    model[name] = {active.front(), file, {}};
  }
  std::vector<platform::String> activeIds(active.begin(), active.end());
  int taps = 0;
  int notifications = 0;
  for (int step = 0; step < 6000; ++step) {
    const std::size_t what = pick(20);
    if (what < 12) {
      const std::string& app = names[1 + pick(3)];
      device.process(app).tapKey("International-Key");
      model[app].keyboards = file;  // the tap's replacement reloads
      model[app].queue.push_back({ModelProcess::Op::kTap, ""});
      ++taps;
    } else if (what < 15) {
      const std::string keyboard = keyboardListenerName(active[pick(active.size())]);
      device.device().postDistributed(device.process(names[0]),
                                      platform::Notification{std::string(kChangeToSpecificKeyboardNotification),
                                                             Dictionary{{"keyboard", Value(keyboard)}}});
      for (auto& [name, p] : model) p.queue.push_back({ModelProcess::Op::kSwitch, keyboard});
      ++notifications;
    } else if (what < 17) {
      file = selection();
      write(device, file);
      device.process(names[0]).CFNotificationCenterPostNotification(kPrefsChangedNotification, true);
      for (auto& [name, p] : model) p.queue.push_back({ModelProcess::Op::kReload, ""});
      ++notifications;
    } else {
      ASSERT_TRUE(device.device().runUntilIdle().idle);
      for (auto& [name, p] : model) {
        for (const auto& op : p.queue) {
          if (op.kind == ModelProcess::Op::kReload) {
            p.keyboards = file;
          } else if (op.kind == ModelProcess::Op::kTap) {
            p.current = active[static_cast<std::size_t>(nextSelectedPosition(activeIds, p.current, p.keyboards))];
          } else {
            for (const std::string& id : active) {
              if (id == op.keyboard || id.substr(0, id.find('@')) == op.keyboard) {
                p.current = id;
                break;
              }
            }
          }
        }
        p.queue.clear();
        ASSERT_EQ(device.process(name).currentInputMode(), p.current) << name << " at step " << step;
      }
    }
  }
  ASSERT_TRUE(device.device().runUntilIdle().idle);
  std::printf("load: %d taps and %d notifications across %zu processes matched the model\n", taps, notifications,
              names.size());
}

TEST(Storage, SettingsFilesAsDeepAndLargeAsRealWritersMakeThemRead) {
  // 600 levels of nesting and 2 MiB of data beside the selection: the selection is used, no
  // notice says that nothing is selected.
  Value deep("bottom");
  for (int i = 0; i < 600; ++i) deep = Value(Array{deep});
  for (const auto format : {sim::PlistFormat::kBinary, sim::PlistFormat::kXml}) {
    rig::Rig device;
    device.keyboards({"en_US", "fr_FR", "de_DE"});
    device.writeSettings({{"mode", Value(1)},
                          {"SelectedKeyboards", Value(Array{Value("en_US"), Value("de_DE")})},
                          {"Deep", deep},
                          {"Blob", Value(Data(std::size_t{2} << 20, 0x5A))}},
                         format);
    sim::LocalProcess& app = device.start("com.example.app");
    app.tapKey("International-Key");
    ASSERT_TRUE(device.device().runUntilIdle().idle);
    EXPECT_EQ(app.currentInputMode(), "de_DE");
    EXPECT_TRUE(device.events("alert").empty()) << device.events("alert").front();
  }
}

// A value whose objects refer to one another 2^40 times over: a small file that reads at once.
Value sharedBomb() {
  Value v(true);
  for (int i = 0; i < 40; ++i) v = Value(Array{v, v});
  return v;
}

// A value shared 2^40 times over under a key the extension never reads costs nothing on a phone,
// whose reader keeps each object once: the extension reads its own keys as if it were not there.
// Only what would write it out in full (XML, the text of a trace line) is bounded, and says so.
TEST(Storage, AFileThatSharesPastTheBoundIsHandedOverAsItIsAndNeverWrittenOutInFull) {
  rig::Rig device;
  device.keyboards({"en_US", "fr_FR", "de_DE"});
  device.device().setActivatorInstalled(true);
  device.writeSettings({{"mode", Value(1)},
                        {"SelectedKeyboards", Value(Array{Value("en_US"), Value("de_DE")})},
                        {"Bomb", sharedBomb()}});
  const auto before = device.device().files().read(kSettingsPath, sim::kMaxPlistBytes);
  ASSERT_LT(before->size(), 1000u);
  sim::LocalProcess& app = device.start("com.example.app");
  app.tapKey("International-Key");
  ASSERT_TRUE(device.device().runUntilIdle().idle);
  EXPECT_EQ(app.currentInputMode(), "de_DE") << "mode 1 read its keys beside the shared value";
  EXPECT_TRUE(device.events("alert").empty()) << device.events("alert").front();

  // The mode action rewrites the file as XML, which would write the value out in full: the write
  // fails, says what it did not write, and the file stays as it was.
  device.start("com.apple.springboard");
  ASSERT_TRUE(device.process("com.apple.springboard").fireActivatorEvent("net.varnholt.orvane.change-mode"));
  ASSERT_TRUE(device.device().runUntilIdle().idle);
  const auto failed = device.events("file-write-failed");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_NE(failed.front().find("<too large to write out: "), std::string::npos) << failed.front();
  EXPECT_EQ(device.device().files().read(kSettingsPath, sim::kMaxPlistBytes), before);

  // A preference domain that holds one: a write of another key keeps it, shared, in a small file;
  // both keys read back, the shared one as the very object graph it was.
  const std::string path = *sim::PreferenceStore::domainPath("com.example.shared");
  ASSERT_TRUE(device.device().files().writeAtomically(
      path, *sim::serializePlist(Value(Dictionary{{"Bomb", sharedBomb()}}), sim::PlistFormat::kBinary)));
  ASSERT_TRUE(device.device().writePreference("test", "other", Value(7), "com.example.shared"));
  EXPECT_TRUE(device.events("pref-moved-aside").empty());
  const auto bytes = device.device().files().read(path, sim::kMaxPlistBytes);
  ASSERT_TRUE(bytes);
  EXPECT_LT(bytes->size(), 1000u);
  const auto bomb = device.device().preferenceValue("Bomb", "com.example.shared");
  ASSERT_TRUE(bomb);
  EXPECT_TRUE(sim::sameValue(*bomb, sharedBomb()));
  EXPECT_EQ(device.device().preferenceValue("other", "com.example.shared"), std::optional<Value>(Value(7)));
}

// The one-time notices' markers live in a domain of their own; one holding such a value beside
// them still keeps each notice to once, in every process that starts.
TEST(Storage, MarkersBesideASharedValueStillShowANoticeOnce) {
  rig::Rig device;
  device.keyboards({"en_US", "fr_FR"});
  const std::string path = *sim::PreferenceStore::domainPath(kWarnsDomain);
  ASSERT_TRUE(device.device().files().writeAtomically(
      path, *sim::serializePlist(Value(Dictionary{{"Bomb", sharedBomb()}}), sim::PlistFormat::kBinary)));
  for (const char* id : {"com.example.a", "com.example.b", "com.example.c"}) {
    device.start(id).tapKey("International-Key");
    ASSERT_TRUE(device.device().runUntilIdle().idle);
    device.device().stop(id);
  }
  EXPECT_EQ(device.events("alert").size(), 1u) << "the not-configured notice, once";
  const auto stored = sim::parsePlist(*device.device().files().read(path, sim::kMaxPlistBytes));
  ASSERT_TRUE(stored);
  EXPECT_NE(find(*stored->value.dictionary(), kNotConfiguredMarker), nullptr);
  EXPECT_TRUE(sim::sameValue(*find(*stored->value.dictionary(), "Bomb"), sharedBomb()));
}

// The auto-correction action, through the preference service, toggles the flag it reads beside such
// a value, as many times as it is fired.
TEST(Storage, AutoCorrectionBesideASharedValueToggles) {
  rig::Rig device;
  device.keyboards({"en_US"});
  device.device().setVersion(1140.1);
  device.device().setActivatorInstalled(true);
  device.writeSettings({{"mode", Value(1)}});
  ASSERT_TRUE(device.device().files().writeAtomically(
      *sim::PreferenceStore::domainPath("com.apple.Preferences"),
      *sim::serializePlist(Value(Dictionary{{"Bomb", sharedBomb()}}), sim::PlistFormat::kBinary)));
  sim::LocalProcess& springBoard = device.start("com.apple.springboard");
  std::vector<std::optional<Value>> stored;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(springBoard.fireActivatorEvent("net.varnholt.orvane.change-autocorrection"));
    ASSERT_TRUE(device.device().runUntilIdle().idle);
    stored.push_back(device.device().preferenceValue("KeyboardAutocorrection", "com.apple.Preferences"));
  }
  EXPECT_EQ(stored, (std::vector<std::optional<Value>>{Value(false), Value(true), Value(false)}));
}

TEST(Storage, WhatIsNotARegularFileAtTheSettingsPathReadsAsUnreadableAtOnce) {
  // A FIFO with no writer would block a plain open for reading forever; the alarm ends the test
  // process if anything waits on it.
  for (const bool fifo : {true, false}) {
    rig::Rig device;
    device.keyboards({"en_US", "fr_FR"});
    const auto host = *device.device().files().hostPath(kSettingsPath);
    std::filesystem::create_directories(host.parent_path());
    ASSERT_EQ(fifo ? ::mkfifo(host.c_str(), 0644) : ::mkdir(host.c_str(), 0755), 0);
    ::alarm(30);
    sim::LocalProcess& app = device.start("com.example.app");
    app.tapKey("International-Key");
    ASSERT_TRUE(device.device().runUntilIdle().idle);
    ::alarm(0);
    EXPECT_EQ(app.currentInputMode(), "fr_FR") << "the system's own step, the settings reading as none";
    EXPECT_FALSE(device.device().files().read(kSettingsPath, sim::kMaxPlistBytes));
  }
}

TEST(Runaway, NoReachableStateKeepsTheMainQueueBusy) {
  // Runaways live where the keyboard's state and the selection disagree: input modes without an
  // identifier (often first, where a commit with nothing to choose falls back to), selections that
  // repeat one keyboard or name inactive ones, a keyboard that starts anywhere ("KeyboardLastUsed"),
  // selections that change under a running process, and both step forms. Every round then does
  // what a user or SpringBoard can do, with a small task bound.
  const std::vector<std::string> pool = {"en_US", "fr_FR", "emoji@sw=Emoji", "(nil)"};
  const std::vector<std::string> selectable = {"en_US", "fr_FR", "emoji@sw=Emoji", "de_DE", "emoji"};
  std::mt19937 random(99);
  auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
  auto selection = [&] {
    Array selected;
    for (std::size_t i = pick(4); i > 0; --i) selected.emplace_back(selectable[pick(selectable.size())]);
    if (!selected.empty() && pick(2) == 0) selected.push_back(selected.front());  // a repeat
    return selected;
  };
  for (int round = 0; round < 400; ++round) {
    rig::Rig device;
    device.device().setVersion(pick(2) == 0 ? 793.0 : 1240.1);
    device.device().setActivatorInstalled(true);
    std::vector<std::string> keyboards;
    if (pick(2) == 0) keyboards.emplace_back("(nil)");
    for (std::size_t i = 1 + pick(3); i > 0; --i) keyboards.push_back(pool[pick(pool.size())]);
    device.keyboards(keyboards);
    device.device().preferences().set("KeyboardLastUsed", Value(selectable[pick(selectable.size())]),
                                      "com.apple.Preferences");
    const auto write = [&] {
      device.writeSettings({{"mode", Value(pick(4) == 0 ? static_cast<int>(pick(5)) : 1)},
                            {"icon", Value(static_cast<int>(pick(4)))},
                            {"DefaultKeyboard", Value(selectable[pick(selectable.size())])},
                            {"SelectedKeyboards", Value(selection())}});
    };
    write();
    sim::LocalProcess& springboard = device.start("com.apple.springboard");
    sim::LocalProcess& app = device.start("com.example.app");
    for (int i = 0; i < 4; ++i) {
      app.tapKey("International-Key");
      app.nextKeyboardStep();
      app.askLabel("International-Key");
      app.askSwitcherList();
      app.showKeyboard();
      app.hideKeyboard();
      for (const char* name : {"net.varnholt.orvane.change-keyboard", "net.varnholt.orvane.change-mode", "en_US"}) {
        springboard.fireActivatorEvent(name);
      }
      ASSERT_TRUE(device.device().runUntilIdle(500).idle)
          << "round " << round << ": keyboards " << ::testing::PrintToString(keyboards) << ", settings "
          << sim::formatValueText(Value(sim::readDictionaryFile(device.device().files(), kSettingsPath)->dictionary));
      // The selection changes under the running processes, which reload.
      write();
      springboard.CFNotificationCenterPostNotification(kPrefsChangedNotification, true);
      ASSERT_TRUE(device.device().runUntilIdle(500).idle) << "round " << round;
    }
  }
}

// A device killed outright leaves its temporary folder; the next one removes it, and only it: not a
// folder a living device holds, nor one just made, nor what a link of that name leads to.
TEST(TemporaryFolders, WhatAKilledDeviceLeftIsRemovedAndNothingElse) {
  rig::TemporaryRoot tmp;
  const std::filesystem::path& here = tmp.path();
  const auto old = [](const std::filesystem::path& path) {
    std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
  };
  // Left by a device killed with SIGKILL: a child made it (and locked it) and died without a word.
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::setenv("TMPDIR", here.c_str(), 1);
    auto* left = new rig::TemporaryRoot();  // never destroyed: the process is killed
    std::ofstream(left->path() / "settings.plist") << "x";
    ::kill(::getpid(), SIGKILL);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::vector<std::filesystem::path> made;
  for (const auto& entry : std::filesystem::directory_iterator(here)) made.push_back(entry.path());
  ASSERT_EQ(made.size(), 1U);
  const std::filesystem::path stale = made.front();
  old(stale);
  // In use: a device of this process holds it, however old.
  const char* tmpdir = std::getenv("TMPDIR");
  const std::optional<std::string> saved = tmpdir != nullptr ? std::optional<std::string>(tmpdir) : std::nullopt;
  ::setenv("TMPDIR", here.c_str(), 1);
  rig::TemporaryRoot inUse;
  if (saved) {
    ::setenv("TMPDIR", saved->c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  old(inUse.path());
  // Just made, not yet locked; and a link named as a device folder, to a folder that must stay.
  std::filesystem::create_directory(here / "orvane-device-fresh");
  std::filesystem::create_directory(here / "elsewhere");
  std::filesystem::create_directory_symlink(here / "elsewhere", here / "orvane-device-link");

  const auto removed = rig::removeStaleTemporaryRoots(here);
  EXPECT_EQ(removed, std::vector<std::string>{stale.filename().string()});
  EXPECT_FALSE(std::filesystem::exists(stale));
  EXPECT_TRUE(std::filesystem::exists(inUse.path()));
  EXPECT_TRUE(std::filesystem::exists(here / "orvane-device-fresh"));
  EXPECT_TRUE(std::filesystem::exists(here / "elsewhere"));
}

}  // namespace
}  // namespace orvane
