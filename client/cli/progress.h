#pragma once

#include <cstddef>
#include <string>

namespace tessel::cli {

// A one-line progress bar on standard error, for a terminal only. Lines printed while it shows
// must call Clear() first; the next Show() draws it again.
class CProgress {
 public:
  CProgress(size_t total, bool enabled) : total_(total), enabled_(enabled) {}
  ~CProgress() { Clear(); }
  CProgress(const CProgress&) = delete;
  CProgress& operator=(const CProgress&) = delete;

  // `done` items finished, `current` is being worked on.
  void Show(size_t done, const std::string& current);
  void Clear();

  // True when standard error is a terminal.
  static bool OnTerminal();

 private:
  size_t total_;
  bool enabled_;
  bool shown_ = false;
};

}  // namespace tessel::cli
