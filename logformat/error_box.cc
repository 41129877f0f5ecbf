#include "logformat/error_box.h"

#include <unistd.h>

#include <cstdio>

#include "logformat/message_formatter.h"
#include "platform/message_box.h"

namespace tessel {

void CErrorBox::Report(const char* format, LogArg* args, uint32_t count) {
  // A report made while another one is being shown (the buffer is busy) formats on the heap.
  const bool ownBuffer = !busy_;
  if (ownBuffer) {
    if (!buffer_) buffer_ = std::make_unique<char[]>(kBufferSize);
    busy_ = true;
  }
  {
    FormatBuffer text(ownBuffer ? buffer_.get() : nullptr, ownBuffer ? kBufferSize : 0);
    MessageFormatter(text, format, args, count);
    char caption[256];
    std::snprintf(caption, sizeof(caption), "Error %s, PID %d", "", static_cast<int>(getpid()));
    ShowMessageBox(caption, text.View());
  }
  if (ownBuffer) busy_ = false;
}

}  // namespace tessel
