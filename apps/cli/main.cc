#include <algorithm>
#include <cstdio>
#include <cstring>

#include "apps/cli/command.h"
#include "port/crash_reporter.h"

namespace vexa::cli {
namespace {

std::vector<Command>& Registry() {
  static std::vector<Command> commands;
  return commands;
}

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: vexaupload COMMAND [ARGS...]\n"
               "\n"
               "Puts local files and folders into your online storage, resumably.\n"
               "\n"
               "commands:\n");
  for (const Command& c : Commands()) std::fprintf(out, "  %-10s %s\n", c.name, c.summary);
  std::fprintf(out, "\nRun `vexaupload COMMAND --help` for a command's options.\n");
}

}  // namespace

const std::vector<Command>& Commands() {
  auto& commands = Registry();
  std::sort(commands.begin(), commands.end(),
            [](const Command& a, const Command& b) { return std::strcmp(a.name, b.name) < 0; });
  return commands;
}

CommandRegistrar::CommandRegistrar(const Command& command) { Registry().push_back(command); }

}  // namespace vexa::cli

int main(int argc, char** argv) {
  using vexa::cli::Commands;
  // Reports land in the log folder once the engine has prepared it.
  vexa::port::InstallCrashReporter(argv[0]);
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
      std::strcmp(argv[1], "help") == 0) {
    vexa::cli::PrintUsage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  for (const auto& c : Commands()) {
    if (std::strcmp(argv[1], c.name) == 0) return c.run(argc - 1, argv + 1);
  }
  std::fprintf(stderr, "vexaupload: unknown command '%s'\n\n", argv[1]);
  vexa::cli::PrintUsage(stderr);
  return 2;
}
