// The plug-in's text handling that needs no interpreter, one target per
// function (the build makes a fuzzer of each with QM_FUZZ_TARGET):
//   split_arguments  the script-argument splitter
//   trim_lines       the trailing trim of script text
//   exit_text        the text of sys.exit(): its code and message parts
// Each checks what the function promises, beyond not crashing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "interp/manager.h"
#include "interp/report.h"
#include "servers/script_server.h"

namespace {

void Require(bool holds) {
  if (!holds) std::abort();
}

// Words hold no blank unless quoted, and together never more than the text.
[[maybe_unused]] void SplitArgumentsOnce(const std::string& text) {
  std::vector<std::string> words = SplitArguments(text.c_str());
  size_t total = 0;
  for (const std::string& w : words) total += w.size();
  Require(total <= std::strlen(text.c_str()));
  if (text.find('"') == std::string::npos) {
    for (const std::string& w : words) Require(!w.empty() && w.find(' ') == std::string::npos);
  }
}

// The result is a prefix of the text, ends at a line's end, and keeps the
// whole first line.
[[maybe_unused]] void TrimLinesOnce(const std::string& text) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  const size_t length = std::strlen(buffer.data());
  Python_Script::TrimTrailingLines(buffer.data(), length);
  const size_t kept = std::strlen(buffer.data());
  Require(kept <= length);
  Require(std::memcmp(buffer.data(), text.data(), kept) == 0);
  size_t firstLine = text.find('\n');
  if (firstLine == std::string::npos || firstLine > length) firstLine = length;
  Require(kept >= firstLine);
}

// A code part is everything before the first colon, the message everything
// after it; an empty text is success.
[[maybe_unused]] void ExitTextOnce(const std::string& text) {
  ExitParts parts = SplitExitText(text);
  size_t colon = text.find(':');
  if (text.empty()) {
    Require(parts.code == QMe_OK && !parts.hasCode && !parts.hasText);
    return;
  }
  Require(parts.hasCode == (colon != 0));
  Require(parts.hasText == (colon != std::string::npos));
  if (parts.hasText) Require(parts.text == text.substr(colon + 1));
  if (!parts.hasCode) Require(parts.code == QMe_FAILED);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
#if defined(QM_FUZZ_SPLIT_ARGUMENTS)
  SplitArgumentsOnce(text);
#elif defined(QM_FUZZ_TRIM_LINES)
  TrimLinesOnce(text);
#elif defined(QM_FUZZ_EXIT_TEXT)
  ExitTextOnce(text);
#else
#error "QM_FUZZ_SPLIT_ARGUMENTS, QM_FUZZ_TRIM_LINES or QM_FUZZ_EXIT_TEXT"
#endif
  return 0;
}
