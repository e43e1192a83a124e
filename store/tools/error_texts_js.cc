// Writes the error texts for web pages (ErrorTextsScript) to the file named
// by its argument; the service embeds the result.
#include <cstdio>

#include "store/readable_error.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.js\n", argv[0]);
    return 2;
  }
  const std::string script = vexa::ErrorTextsScript();
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const bool ok = std::fwrite(script.data(), 1, script.size(), out) == script.size();
  return std::fclose(out) == 0 && ok ? 0 : 1;
}
