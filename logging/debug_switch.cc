#include "logging/debug_switch.h"

#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace tessel {
namespace {

// Per-thread tables of switch names and values. Nothing in the worker adds entries, so lookups
// answer off; the store exists so that verbose lines have one place to ask.
class CSwitchStore {
 public:
  bool IsOn(const std::string& name) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto& table = tables_[std::this_thread::get_id()];
    auto it = table.find(name);
    return it != table.end() && it->second == "1";
  }

 private:
  std::mutex lock_;
  std::map<std::thread::id, std::map<std::string, std::string>> tables_;
};

CSwitchStore& Store() {
  static CSwitchStore store;
  return store;
}

}  // namespace

bool DebugSwitchEnabled(std::string_view component) {
  std::string name = "DEBUG_";
  name.append(component);
  return Store().IsOn(name);
}

}  // namespace tessel
