// qmhost_tables [FILE]: writes the reference host's tables that the API
// reference reads (HostTablesText) to FILE, or to standard output.
#include <cstdio>

#include "host/service_table.h"

int main(int argc, char** argv) {
  std::FILE* out = argc > 1 ? std::fopen(argv[1], "w") : stdout;
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::string text = qmhost::HostTablesText();
  bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  return (out == stdout || std::fclose(out) == 0) && written ? 0 : 1;
}
