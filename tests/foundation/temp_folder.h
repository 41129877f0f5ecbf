#pragma once

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <string>

#include "platform/process.h"

// A private folder under the temporary folder, removed with everything in it (also folders a
// test made read-only) when the test ends.
class CTempFolder {
 public:
  CTempFolder() {
    std::string pattern = tessel::TempFolder() + "tessel-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~CTempFolder() {
    ::nftw(
        path_.c_str(),
        [](const char* p, const struct stat* s, int type, struct FTW*) {
          if (type == FTW_D) ::chmod(p, (s->st_mode & 07777) | S_IRWXU);
          return 0;
        },
        16, FTW_PHYS);
    ::nftw(
        path_.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }
  CTempFolder(const CTempFolder&) = delete;
  CTempFolder& operator=(const CTempFolder&) = delete;

  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  std::string Write(const std::string& name, const std::string& content) const {
    std::string file = *this / name;
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
    return file;
  }

 private:
  std::string path_;
};
