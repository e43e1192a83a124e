#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "port/terminal.h"

namespace vexa::port {

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }

int TerminalColumns(int fallback) {
  winsize size{};
  if (!StdoutIsTerminal() || ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) {
    return fallback;
  }
  return size.ws_col;
}

bool ReadLineWithoutEcho(const std::string& prompt, std::string* line) {
  termios saved{};
  const bool terminal = StdinIsTerminal() && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;  // the user still sees the line end
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool ok = static_cast<bool>(std::getline(std::cin, *line));
  if (terminal) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  if (ok && !line->empty() && line->back() == '\r') line->pop_back();
  return ok;
}

}  // namespace vexa::port
