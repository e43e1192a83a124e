#ifndef VEXA_PORT_PROCESS_H_
#define VEXA_PORT_PROCESS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace vexa::port {

// Runs the program argv[0] (looked up on PATH when it holds no separator)
// with the given arguments, no shell in between, standard input empty and
// standard error discarded, and waits for it. `output` (optional) receives
// everything it wrote to standard output. Returns its exit status, or -1 when
// it could not be started or did not exit normally.
int RunProgram(const std::vector<std::string>& argv, std::string* output);

// Starts the program the same way (standard output discarded) without
// waiting for it. False when it could not be started.
bool StartProgram(const std::vector<std::string>& argv);

// This process's id, as other processes and the user see it.
uint32_t CurrentProcessId();

}  // namespace vexa::port

#endif  // VEXA_PORT_PROCESS_H_
