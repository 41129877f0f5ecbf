#include "client/cli/progress.h"

#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

namespace tessel::cli {

bool CProgress::OnTerminal() {
  return ::isatty(STDERR_FILENO) == 1;
}

void CProgress::Show(size_t done, const std::string& current) {
  if (!enabled_ || total_ == 0) return;
  winsize window{};
  const size_t columns =
      ::ioctl(STDERR_FILENO, TIOCGWINSZ, &window) == 0 && window.ws_col != 0 ? window.ws_col : 80;
  constexpr size_t kBarWidth = 24;
  const size_t filled = kBarWidth * std::min(done, total_) / total_;
  std::string line = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "] " +
                     std::to_string(done) + "/" + std::to_string(total_) + " " + current;
  // One line only: a wrapped line could not be cleared with a carriage return.
  if (line.size() >= columns) line.resize(columns - 1);
  ::fprintf(stderr, "\r\033[K%s", line.c_str());
  ::fflush(stderr);
  shown_ = true;
}

void CProgress::Clear() {
  if (!shown_) return;
  ::fputs("\r\033[K", stderr);
  ::fflush(stderr);
  shown_ = false;
}

}  // namespace tessel::cli
