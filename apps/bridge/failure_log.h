#ifndef VEXA_APPS_BRIDGE_FAILURE_LOG_H_
#define VEXA_APPS_BRIDGE_FAILURE_LOG_H_

#include <string>

namespace vexa::bridge {

// The bridge's log line for one event line a page's control sends (as
// ScriptDispatcher writes it), when it reports a failure: an upload that
// failed, a failed member of a folder, a login refused. Words a person reads
// (ReadableError: English beside the system's text, or that text alone with
// `chinese`). Empty for any other event, and for a line it cannot read.
std::string FailureLogLine(const std::string& event_line, bool chinese);

}  // namespace vexa::bridge

#endif  // VEXA_APPS_BRIDGE_FAILURE_LOG_H_
