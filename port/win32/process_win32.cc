#include <windows.h>

#include <string>
#include <vector>

#include "port/process.h"
#include "port/win32/wide_path.h"

namespace vexa::port {
namespace {

// One argument quoted so that the C runtime's command-line parser (and
// CommandLineToArgvW) gives it back unchanged: backslashes count only before
// a quote, where each is doubled.
void AppendQuoted(const std::wstring& arg, std::wstring* line) {
  if (!line->empty()) line->push_back(L' ');
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line->append(arg);
    return;
  }
  line->push_back(L'"');
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Before a quote, each backslash is doubled and the quote escaped.
    line->append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    line->push_back(c);
  }
  // Before the closing quote as well.
  line->append(2 * backslashes, L'\\');
  line->push_back(L'"');
}

class Handle {
 public:
  Handle() = default;
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE* out() { return &h_; }
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  void Close() {
    if (valid()) ::CloseHandle(h_);
    h_ = nullptr;
  }

 private:
  HANDLE h_ = nullptr;
};

// The null device, inheritable, for the child's standard handles.
bool OpenNul(DWORD access, Handle* h) {
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
  *h->out() = ::CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING,
                            0, nullptr);
  return h->valid();
}

// Starts argv with standard input and error on the null device and standard
// output on `out`. Only these handles are inherited, so a program started
// meanwhile by another thread keeps no pipe of ours open. The process handle
// goes to *process.
bool Spawn(const std::vector<std::string>& argv, HANDLE out, Handle* process) {
  if (argv.empty() || argv[0].empty()) return false;
  std::wstring line;
  for (const std::string& a : argv) AppendQuoted(Widen(a), &line);
  Handle in;
  Handle err;
  if (!OpenNul(GENERIC_READ, &in) || !OpenNul(GENERIC_WRITE, &err)) return false;

  HANDLE inherited[3] = {in.get(), out, err.get()};
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> storage(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return false;
  const bool listed =
      ::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                  sizeof(inherited), nullptr, nullptr) != FALSE;
  STARTUPINFOEXW si = {};
  si.StartupInfo.cb = sizeof(si);
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = in.get();
  si.StartupInfo.hStdOutput = out;
  si.StartupInfo.hStdError = err.get();
  si.lpAttributeList = attributes;
  PROCESS_INFORMATION pi = {};
  // The command line must be writable.
  std::vector<wchar_t> command(line.begin(), line.end());
  command.push_back(L'\0');
  const BOOL started = listed && ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE,
                                                  CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT,
                                                  nullptr, nullptr, &si.StartupInfo, &pi);
  ::DeleteProcThreadAttributeList(attributes);
  if (!started) return false;
  ::CloseHandle(pi.hThread);
  *process->out() = pi.hProcess;
  return true;
}

}  // namespace

int RunProgram(const std::vector<std::string>& argv, std::string* output) {
  Handle read_end;
  Handle write_end;
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
  if (!::CreatePipe(read_end.out(), write_end.out(), &sa, 0)) return -1;
  ::SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
  Handle process;
  const bool started = Spawn(argv, write_end.get(), &process);
  // Our copy of the write end would keep the pipe from ever reporting its end.
  write_end.Close();
  if (!started) return -1;
  char buf[4096];
  DWORD n = 0;
  while (::ReadFile(read_end.get(), buf, sizeof(buf), &n, nullptr) && n > 0) {
    if (output) output->append(buf, n);
  }
  DWORD code = 0;
  if (::WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 ||
      !::GetExitCodeProcess(process.get(), &code)) {
    return -1;
  }
  // A process ended by an exception reports its status code (0xC0000005 and
  // the like), which is no exit status.
  return code >= 0xC0000000u ? -1 : static_cast<int>(code);
}

bool StartProgram(const std::vector<std::string>& argv) {
  Handle out;
  Handle process;
  return OpenNul(GENERIC_WRITE, &out) && Spawn(argv, out.get(), &process);
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::GetCurrentProcessId()); }

}  // namespace vexa::port
