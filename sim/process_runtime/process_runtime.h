// The runtime a simulated process is made with: the platform's runtime interface, the process
// image's replaceable functions and the root class every process starts with. A program links
// exactly one backend, which derives from ProcessRuntime and defines makeProcessRuntime(): the fast
// runtime (sim/fast_runtime/) or the GNU Objective-C runtime (sim/gnu_runtime/).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>

#include "platform/services.h"

namespace orvane::sim {

class ProcessRuntime : public platform::Runtime {
 public:
  // The process image's replaceable functions (UIApplicationMain): a std::function of `signature`.
  void defineFunction(std::string_view symbol, const std::type_info& signature, std::shared_ptr<void> imp);
  // The function's implementation now, or nullptr; another signature is fatal.
  const void* function(std::string_view symbol, const std::type_info& signature) const;
  platform::HookResult hookFunction(std::string_view symbol, const std::type_info& signature,
                                    std::shared_ptr<void> replacement) override;
  // The runtime alone has no loader: nothing is loaded (a process adds its own).
  const void* dlopen(std::string_view, int) override { return nullptr; }

 protected:
  // Gives the root class "NSObject", allocated and not yet registered, its methods (+alloc, +new,
  // -init, -autorelease, -dealloc) and registers it.
  void defineRootClass(objc::Class* root);

 private:
  struct Function {
    const std::type_info* signature;
    std::shared_ptr<void> imp;
    int hooks = 0;
  };
  std::map<std::string, Function, std::less<>> functions_;
};

// A runtime for a new process, from the backend this program links.
std::unique_ptr<ProcessRuntime> makeProcessRuntime();

// What the backend this program links allows, which the device and the command ask rather than
// probe: its name ("fast", "objc"), and whether each process has a class table of its own (the fast
// runtime) or there is one per OS process (libobjc's). One per OS process means every simulated
// process needs an OS process of its own, which reads and writes the device's files itself (on
// disk); with one per process, processes may share this OS process and its files may stay in its
// memory.
struct ProcessModel {
  std::string_view runtime;
  bool classTablePerProcess;
};
ProcessModel processModel();

}  // namespace orvane::sim
