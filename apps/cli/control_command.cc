// `vexaupload control`: the control a page would script, driven by JSON lines
// on standard input and output instead (see control/script_dispatcher.h).
#include <atomic>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "account/account_api.h"
#include "account/api_base.h"
#include "account/session.h"
#include "apps/cli/command.h"
#include "control/control.h"
#include "control/script_dispatcher.h"
#include "port/interrupt.h"

namespace vexa::cli {
namespace {

// The layout of every command's --help.
constexpr char kControlUsage[] =
    "script the upload control with JSON lines\n"
    "Usage: vexaupload control [OPTIONS]\n"
    "\n"
    "Options:\n"
    "  -h,--help                   Print this help message and exit\n"
    "  --api URL                   the account API (default: $VEXAUPLOAD_API, else the one of the\n"
    "                              last successful login)\n"
    "\n"
    "Runs the upload control and scripts it through standard input and output, one JSON object "
    "per\n"
    "line. In:\n"
    "  {\"id\":1,\"method\":\"Login\",\"params\":[\"alice\",\"secret\",0,0]}\n"
    "  {\"id\":2,\"method\":\"AddUpload\",\"params\":[\"/path/to/file\",\"\",0,1]}\n"
    "Out: each call's answer, {\"id\":1,\"result\":null} (a getter's value as the result,\n"
    "{\"id\":3,\"error\":\"...\"} for a bad request), and every event as\n"
    "  {\"event\":\"ProgressEvent\",\"dispid\":1,\"payload\":\"\\\\u0061...\"}\n"
    "with the payload exactly as a page receives it. Methods: LoadTask, CreateUpload, AddUpload,\n"
    "StartUpload, StopUpload, CancelUpload, Login, GetSpaceInfo, GetAccountInfo, OpenLink,\n"
    "LoadUnfinishTask, SelectUpload, GetTarget, GetAllowUpload, GetName, GetUserId,\n"
    "GetPluginVersion, Logout.\n"
    "\n"
    "Uploads run while standard input stays open; at its end the control logs out, which stops "
    "the\n"
    "uploads and saves their state for a later resume.\n"
    "\n"
    "Choosers (CreateUpload, SelectUpload): $VEXAUPLOAD_CHOOSER names a program, run as\n"
    "`PROGRAM files TITLE` or `PROGRAM folder TITLE`, that prints what was chosen one string a "
    "line\n"
    "(NUL-separated when a name holds a line break): for files one full path, several full paths,\n"
    "or a folder followed by names in it; printing nothing is a cancel. Without it, zenity on a\n"
    "desktop; with neither, every chooser is cancelled.\n";

// Cleared by the reader at the end of the input. Outlives the command: the
// reader may still run when an interrupted command returns.
std::atomic<bool> input_open{true};

void WriteLine(const std::string& line) {
  std::string out = line;
  out.push_back('\n');
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

int RunControlCommand(int argc, char** argv) {
  std::string api;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kControlUsage, stdout);
      return 0;
    } else if (std::strcmp(argv[i], "--api") == 0 && i + 1 < argc) {
      api = argv[++i];
    } else {
      return UsageError("control", std::string("unexpected '") + argv[i] + "'");
    }
  }
  SetAccountApiBase(ChooseApiBase(api));
  InstallUploadWorkers();
  port::InstallInterruptHandler();

  // The sink is only ever called by one of the two threads at a time.
  auto* dispatcher = new ScriptDispatcher(WriteLine);
  std::thread reader([dispatcher] {
    std::string line;
    while (std::getline(std::cin, line)) dispatcher->HandleLine(line);
    input_open.store(false);
  });
  while (input_open.load() && port::InterruptCount() == 0) {
    dispatcher->WaitForEvents(100);
    dispatcher->DispatchEvents();
  }
  if (port::InterruptCount() > 0) {
    // The reader may still be blocked on input, so the dispatcher stays for
    // the rest of the process; logging out stops the uploads and saves their
    // state, as the control's end would.
    reader.detach();
    LogoutAccount();
    return 130;
  }
  reader.join();
  dispatcher->DispatchEvents();
  delete dispatcher;  // the control goes: logout, engine stopped, resume records saved
  return 0;
}

namespace {
const CommandRegistrar kControlRegistrar({"control", "script the upload control with JSON lines",
                                          &RunControlCommand});
}  // namespace

}  // namespace vexa::cli
