#ifndef VEXA_CONTROL_SCRIPT_DISPATCHER_H_
#define VEXA_CONTROL_SCRIPT_DISPATCHER_H_

// The JSON-lines conversation every text host has with one control.
//
// In, one request per line:
//   {"id":1,"method":"AddUpload","params":["/path","",0,1]}
// ("dispid":3 may name the method instead; "params" may be left out for a
// method without parameters). Out, one object per line, always plain ASCII:
//   {"id":1,"result":null}               a method without a result
//   {"id":8,"result":"1|2|50%"}          a getter's out-parameter
//   {"id":9,"error":"unknown method 'Foo'"}
//   {"id":3,"error":"refused: ...","code":5}   a page's path its user did not choose
//   {"event":"ProgressEvent","dispid":1,"payload":"\\u0041..."}
// An event's payload is the exact string the page's handler receives.
//
// Each dispatcher owns its control (the most recently created is the current
// one, receiving every report). HandleLine and DispatchEvents may be called
// from different threads, neither of them an engine thread; they are
// serialised here, so together they play the control's UI thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "codec/json_answer.h"
#include "control/control.h"

namespace vexa {

class ScriptDispatcher {
 public:
  // Receives every output line, without a line end, on the thread calling
  // HandleLine or DispatchEvents, one line at a time.
  using LineSink = std::function<void(const std::string& line)>;

  explicit ScriptDispatcher(LineSink sink);
  ~ScriptDispatcher();
  ScriptDispatcher(const ScriptDispatcher&) = delete;
  ScriptDispatcher& operator=(const ScriptDispatcher&) = delete;

  // Runs one request and writes its answer; events the method fires at once
  // (LoadTask, LoadUnfinishTask) are written before the answer. A blank line
  // is ignored.
  void HandleLine(std::string_view line);
  // Writes the events posted since the last call, in posting order. Returns
  // how many messages were handled.
  size_t DispatchEvents();
  // Waits until events are posted, at most `timeout_ms`.
  bool WaitForEvents(uint32_t timeout_ms) { return control_->messages().Wait(timeout_ms); }

  CUpload& control() { return *control_; }

 private:
  // The method's result as JSON text; empty with *error set when the
  // parameters do not fit the method.
  std::string Call(const MethodInfo& method, const JsonValue& params, std::string* error);

  std::mutex ui_mu_;
  LineSink sink_;
  std::unique_ptr<CUpload> control_;
};

// One event as its output line.
std::string EventLine(const EventInfo& event, const std::u16string& payload);

}  // namespace vexa

#endif  // VEXA_CONTROL_SCRIPT_DISPATCHER_H_
