#pragma once

#include <optional>
#include <string>

#include "logging/logger.h"

// A private folder under $TMPDIR with a unique name, removed at the end with everything in it,
// read-only folders too. It also undoes what the test made of it: the logging mutex of the
// loggers it gave options to, and the environment of UseAsUntoldTmpdir.
class CTempFolder {
 public:
  CTempFolder();
  ~CTempFolder();
  CTempFolder(const CTempFolder&) = delete;
  CTempFolder& operator=(const CTempFolder&) = delete;

  // The path of `name` in the folder; `temp / ""` is the folder with its trailing separator.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Writes `content` to the file `name`, replacing it, and returns its path.
  std::string Write(const std::string& name, const std::string& content) const;
  std::string Read(const std::string& name) const;

  // A logger of the test's own: logs in this folder, under a mutex of its own.
  tessel::LoggerOptions LogOptions(bool banners = false) const;

  // Until the folder goes, the process sees what one told no log folder sees: TMPDIR at `sub` of
  // this folder and no log-folder variable.
  void UseAsUntoldTmpdir(const std::string& sub = "");

 private:
  std::string path_;
  std::string mutexName_;
  bool environmentTaken_ = false;
  // Copies: setenv may free the strings getenv pointed to.
  std::optional<std::string> tmpdir_, logVariable_;
};
