#ifndef VEXA_APPS_CLI_COMMAND_H_
#define VEXA_APPS_CLI_COMMAND_H_

#include <functional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace vexa::cli {

// Exit statuses shared by every command.
enum ExitStatus : int {
  kExitOk = 0,             // everything completed
  kExitFailed = 1,         // something failed
  kExitUsage = 2,          // the command line was wrong
  kExitInterrupted = 130,  // the user pressed Ctrl-C
};

// One subcommand of the CLI. Each lives in its own NAME_command.cc and
// registers itself with a static CommandRegistrar, so adding a command touches
// no other file. A command either declares its options to the command line
// parser (`declare`: it returns the function to run once the line is parsed),
// or parses its own arguments (`run`, argv[0] being the command name).
struct Command {
  const char* name;
  const char* summary;  // one line for `vexaupload --help`
  int (*run)(int argc, char** argv);
  std::function<int()> (*declare)(CLI::App* command) = nullptr;
};

const std::vector<Command>& Commands();

// `vexaupload control`: the control scripted through JSON lines on standard
// input and output.
int RunControlCommand(int argc, char** argv);

// For the commands that parse their own arguments: reports a wrong command
// line as the parser does for the others ("vexaupload NAME: PROBLEM" and a
// pointer to --help) and returns kExitUsage.
int UsageError(const char* name, const std::string& problem);

struct CommandRegistrar {
  explicit CommandRegistrar(const Command& command);
};

}  // namespace vexa::cli

#endif  // VEXA_APPS_CLI_COMMAND_H_
