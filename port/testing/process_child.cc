// Test support: the program port/process_test.cc starts.
//   process_child STATUS ARG...   writes each ARG followed by a NUL byte, as
//                                 received, and exits with STATUS;
//   with VEXA_CHILD_PRINT set     prints its value as text (line ends as the
//                                 platform writes them) and exits with 0,
//                                 whatever the arguments: a scripted chooser.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#endif

namespace {

// The arguments as UTF-8 (on Windows from the wide command line, so texts
// beyond the ANSI code page arrive whole).
std::vector<std::string> Arguments(int argc, char** argv) {
#if defined(_WIN32)
  (void)argc;
  (void)argv;
  std::vector<std::string> out;
  int n = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &n);
  for (int i = 0; i < n; ++i) {
    const int len = ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string s(len > 0 ? len - 1 : 0, '\0');
    if (len > 1) ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, s.data(), len, nullptr, nullptr);
    out.push_back(s);
  }
  ::LocalFree(wide);
  return out;
#else
  return std::vector<std::string>(argv, argv + argc);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* text = std::getenv("VEXA_CHILD_PRINT")) {
    std::fputs(text, stdout);
    return 0;
  }
  const std::vector<std::string> args = Arguments(argc, argv);
  if (args.size() < 2) return 100;
#if defined(_WIN32)
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  for (size_t i = 2; i < args.size(); ++i)
    std::fwrite(args[i].c_str(), 1, args[i].size() + 1, stdout);
  return std::atoi(args[1].c_str());
}
