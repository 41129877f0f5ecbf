#include "tests/support/temp_folder.h"

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "platform/named_mutex.h"
#include "platform/process.h"
#include "wire/environment.h"

namespace fs = std::filesystem;

namespace {

std::optional<std::string> Variable(const char* name) {
  const char* value = ::getenv(name);
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

void Restore(const char* name, const std::optional<std::string>& value) {
  value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
}

}  // namespace

CTempFolder::CTempFolder() : path_(tessel::TempFolder() + "tessel-test-XXXXXX") {
  if (::mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed: " + path_);
  static std::atomic<int> count{0};
  mutexName_ = "tessel-test-log-" + std::to_string(::getpid()) + "-" + std::to_string(count++);
}

CTempFolder::~CTempFolder() {
  if (environmentTaken_) {
    Restore("TMPDIR", tmpdir_);
    Restore(tessel::kLogDirectoryVariable, logVariable_);
  }
  tessel::CNamedMutex::Remove(mutexName_);
  std::error_code ignored;
  for (fs::recursive_directory_iterator it(path_, ignored), end; it != end; it.increment(ignored))
    if (it->is_directory(ignored))
      fs::permissions(*it, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

std::string CTempFolder::Write(const std::string& name, const std::string& content) const {
  std::ofstream(*this / name, std::ios::binary | std::ios::trunc) << content;
  return *this / name;
}

std::string CTempFolder::Read(const std::string& name) const {
  std::ifstream in(*this / name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

tessel::LoggerOptions CTempFolder::LogOptions(bool banners) const {
  tessel::LoggerOptions options;
  options.mutexName = mutexName_;
  options.directory = *this / "";
  options.banners = banners;
  return options;
}

void CTempFolder::UseAsUntoldTmpdir(const std::string& sub) {
  if (!environmentTaken_) {
    tmpdir_ = Variable("TMPDIR");
    logVariable_ = Variable(tessel::kLogDirectoryVariable);
    environmentTaken_ = true;
  }
  ::setenv("TMPDIR", (*this / sub).c_str(), 1);
  ::unsetenv(tessel::kLogDirectoryVariable);
}
