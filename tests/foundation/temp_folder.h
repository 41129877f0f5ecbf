#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "platform/process.h"

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
