#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "platform/process.h"
#include "wire/environment.h"

// A private temporary folder, removed with everything in it (even read-only folders) at the end.
class CTempFolder {
 public:
  CTempFolder() : path_(tessel::TempFolder() + "tessel-test-XXXXXX") {
    if (::mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  }
  ~CTempFolder() {
    namespace fs = std::filesystem;
    std::error_code ignored;
    for (fs::recursive_directory_iterator it(path_, ignored), end; it != end; it.increment(ignored))
      if (it->is_directory(ignored))
        fs::permissions(*it, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
  }
  CTempFolder(const CTempFolder&) = delete;
  CTempFolder& operator=(const CTempFolder&) = delete;

  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  std::string Write(const std::string& name, const std::string& content) const {
    std::ofstream(*this / name, std::ios::binary | std::ios::trunc) << content;
    return *this / name;
  }

 private:
  std::string path_;
};

// What a process that is told no log folder sees, for one scope: no log-folder variable, and
// TMPDIR at `folder`. Both come back as they were.
class CUntoldFolder {
 public:
  explicit CUntoldFolder(const std::string& folder) {
    ::setenv("TMPDIR", folder.c_str(), 1);
    ::unsetenv(tessel::kLogDirectoryVariable);
  }
  ~CUntoldFolder() {
    hadTemp_ ? ::setenv("TMPDIR", temp_.c_str(), 1) : ::unsetenv("TMPDIR");
    if (hadVariable_) ::setenv(tessel::kLogDirectoryVariable, variable_.c_str(), 1);
  }
  CUntoldFolder(const CUntoldFolder&) = delete;
  CUntoldFolder& operator=(const CUntoldFolder&) = delete;

 private:
  // Copies: setenv may free the strings getenv pointed to.
  bool hadTemp_ = ::getenv("TMPDIR") != nullptr;
  std::string temp_ = hadTemp_ ? ::getenv("TMPDIR") : "";
  bool hadVariable_ = ::getenv(tessel::kLogDirectoryVariable) != nullptr;
  std::string variable_ = hadVariable_ ? ::getenv(tessel::kLogDirectoryVariable) : "";
};
