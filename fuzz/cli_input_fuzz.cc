// Tells the kind of arbitrary bytes the way `tessel render` and `info` do, and checks it against
// the other readers of the same bytes: the PNG signature and header, and the public API's
// sniffing, which asks more of an SVG start than the tool does but never less.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>

#include "client/cli/input.h"
#include "client/cli/png_header.h"
#include "tessel/loader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tessel::cli::ImageKind;
  // An exact-size copy, so a read past the bytes is caught by the sanitizers.
  std::unique_ptr<std::byte[]> copy(new std::byte[size == 0 ? 1 : size]);
  if (size > 0) std::memcpy(copy.get(), data, size);
  const std::span<const std::byte> head(copy.get(), size);

  const ImageKind kind = tessel::cli::SniffKind(head);
  if (std::strlen(tessel::cli::KindName(kind)) == 0) std::abort();
  const tessel::ImageFormat format = tessel::SniffFormat(head);
  if ((kind == ImageKind::kPng) != (format == tessel::ImageFormat::kPng)) std::abort();
  if (format == tessel::ImageFormat::kSvg && kind != ImageKind::kSvg) std::abort();
  // A header `info` answers from must be a PNG to the renderer too.
  if (tessel::cli::ParsePngHeader(head) && kind != ImageKind::kPng) std::abort();
  return 0;
}
