#ifndef VEXA_PORT_TERMINAL_H_
#define VEXA_PORT_TERMINAL_H_

#include <string>

namespace vexa::port {

// Whether standard output / standard input is an interactive terminal.
bool StdoutIsTerminal();
bool StdinIsTerminal();

// The terminal's width in columns, or `fallback` when standard output is not
// a terminal or the width is unknown.
int TerminalColumns(int fallback);

// Writes `prompt` to standard error and reads one line from standard input
// with the terminal's echo turned off (when standard input is a terminal; a
// pipe is read as it is). The line ends are dropped. False at end of input.
bool ReadLineWithoutEcho(const std::string& prompt, std::string* line);

}  // namespace vexa::port

#endif  // VEXA_PORT_TERMINAL_H_
