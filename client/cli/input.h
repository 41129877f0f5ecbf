#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The images the user names: read here and sent to the worker as bytes, under a name whose
// extension matches their content, because the worker picks its decoder by that name alone.
// Sending bytes also spares the worker every right to read the user's files, whatever their
// names are made of; only large files whose name already says what they are go by path.
namespace tessel::cli {

enum class ImageKind { kUnknown, kPng, kSvg };

// What the first bytes of an image say: the PNG signature, the gzip magic of a compressed SVG
// document (the codec inflates it), or text that starts with '<' after an optional byte-order
// mark and white space.
ImageKind SniffKind(std::span<const std::byte> head);

// "PNG", "SVG".
const char* KindName(ImageKind kind);

// Files above this many bytes are read by the worker itself when their name allows it, so that
// the tool does not hold a copy beside the one in shared memory.
inline constexpr uint64_t kLargeInput = 64ull << 20;

// An input ready to be sent.
struct CInput {
  ImageKind kind = ImageKind::kUnknown;
  std::string name;              // what the worker is told: "input.png", or the absolute path
  bool byPath = false;           // the worker reads `name` itself
  std::vector<std::byte> bytes;  // the content, unless byPath
};

// The absolute path of `input` when it may go by path: a regular file above kLargeInput, named in
// valid UTF-8 with the extension .png or .svg. Such paths must be readable by a confined worker.
std::optional<std::string> PathForWorker(const std::string& input);

// Reads `input` ("-": standard input) and tells its kind. A read that a signal interrupts fails.
bool ReadInput(const std::string& input, CInput& out, std::string& error);

// Everything the file at `path` holds (at most 4 GiB - 1 bytes), whatever its content.
bool ReadFileBytes(const std::string& path, std::vector<std::byte>& bytes, std::string& error);

// How messages name an input.
std::string DisplayName(const std::string& input);

}  // namespace tessel::cli
