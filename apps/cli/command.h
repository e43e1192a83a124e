#ifndef VEXA_APPS_CLI_COMMAND_H_
#define VEXA_APPS_CLI_COMMAND_H_

#include <vector>

namespace vexa::cli {

// One subcommand of the CLI. Each lives in its own NAME_command.cc and
// registers itself with a static CommandRegistrar, so adding a command touches
// no other file.
struct Command {
  const char* name;
  const char* summary;  // one line for `vexaupload --help`
  // argv[0] is the command name. Returns the process exit status.
  int (*run)(int argc, char** argv);
};

const std::vector<Command>& Commands();

// `vexaupload control`: the control scripted through JSON lines on standard
// input and output.
int RunControlCommand(int argc, char** argv);

struct CommandRegistrar {
  explicit CommandRegistrar(const Command& command);
};

}  // namespace vexa::cli

#endif  // VEXA_APPS_CLI_COMMAND_H_
