// `vexaupload COMMAND ...`: the command line front of the library.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "apps/cli/command.h"
#include "apps/cli/version_text.h"
#include "port/crash_reporter.h"

namespace vexa::cli {
namespace {

std::vector<Command>& Registry() {
  static std::vector<Command> commands;
  return commands;
}

constexpr char kDescription[] =
    "Puts local files and folders into your online storage, resumably.\n"
    "\n"
    "Start with `vexaupload login --api URL --remember ACCOUNT`, then\n"
    "`vexaupload upload PATH...`. Run `vexaupload COMMAND --help` for a command's options.\n"
    "\n"
    "Exit status: 0 all completed, 1 something failed, 2 bad usage, 130 interrupted.";

}  // namespace

const std::vector<Command>& Commands() {
  auto& commands = Registry();
  std::sort(commands.begin(), commands.end(),
            [](const Command& a, const Command& b) { return std::strcmp(a.name, b.name) < 0; });
  return commands;
}

CommandRegistrar::CommandRegistrar(const Command& command) { Registry().push_back(command); }

int UsageError(const char* name, const std::string& problem) {
  std::fprintf(stderr, "vexaupload %s: %s\nRun `vexaupload %s --help` for usage.\n", name,
               problem.c_str(), name);
  return kExitUsage;
}

int Main(int argc, char** argv) {
  CLI::App app(kDescription, "vexaupload");
  app.require_subcommand(1);
  app.set_version_flag("--version", VersionText());
  std::function<int()> chosen;
  for (const Command& c : Commands()) {
    CLI::App* sub = app.add_subcommand(c.name, c.summary);
    if (c.declare != nullptr) {
      std::function<int()> run = c.declare(sub);
      sub->callback([&chosen, run] { chosen = run; });
    } else {
      // Passes everything after the name, --help included, to its own parser.
      sub->prefix_command();
      sub->set_help_flag();
      const Command* raw = &c;
      sub->callback([&chosen, raw, sub] {
        chosen = [raw, sub] {
          std::vector<std::string> rest = sub->remaining();
          std::vector<char*> args{const_cast<char*>(raw->name)};
          for (std::string& a : rest) args.push_back(a.data());
          args.push_back(nullptr);
          return raw->run(static_cast<int>(rest.size() + 1), args.data());
        };
      });
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    if (argc < 2) {
      std::fputs(app.help().c_str(), stderr);
      return kExitUsage;
    }
    const Command* named = nullptr;
    for (const Command& c : Commands()) {
      if (std::strcmp(argv[1], c.name) == 0) named = &c;
    }
    if (named == nullptr && argv[1][0] != '-') {
      std::fprintf(stderr, "vexaupload: unknown command '%s'\n", argv[1]);
    } else {
      std::fprintf(stderr, "vexaupload%s%s: %s\n", named ? " " : "", named ? named->name : "",
                   e.what());
    }
    std::fprintf(stderr, "Run `vexaupload %s--help` for usage.\n",
                 named ? (std::string(named->name) + " ").c_str() : "");
    return kExitUsage;
  }
  return chosen ? chosen() : kExitUsage;
}

}  // namespace vexa::cli

int main(int argc, char** argv) {
  // Reports land in the log folder once the engine has prepared it.
  vexa::port::InstallCrashReporter(argv[0]);
  return vexa::cli::Main(argc, argv);
}
