#ifndef VEXA_PORT_DEBUG_H_
#define VEXA_PORT_DEBUG_H_

#include <functional>
#include <string_view>

namespace vexa::port {

// Diagnostic output, the debugger channel of this system. Each text goes to
// SystemDebugOut, and to stderr as is when the environment sets
// VEXAUPLOAD_DEBUG=1, unless a sink is installed (tests): then only there.
void DebugOut(std::string_view text);

// The platform's debugger channel: OutputDebugStringA on Windows, nothing on
// POSIX.
void SystemDebugOut(std::string_view text);

// Installs a sink that receives every DebugOut text (whatever the environment
// says); an empty function removes it. Thread-safe.
using DebugSink = std::function<void(std::string_view)>;
void SetDebugSink(DebugSink sink);

}  // namespace vexa::port

#endif  // VEXA_PORT_DEBUG_H_
