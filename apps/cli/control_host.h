#ifndef VEXA_APPS_CLI_CONTROL_HOST_H_
#define VEXA_APPS_CLI_CONTROL_HOST_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "control/control.h"

namespace vexa::cli {

// The CLI's side of the control: it owns one control, plays the page's UI
// thread for it (drains its messages and receives its events) and logs in
// the way a page does for a remembered account. Destroying it destroys the
// control, which logs out: the engine stops and the resume records are saved.
class ControlHost {
 public:
  // Every event, with the payload exactly as a page receives it (ASCII).
  using EventHandler = std::function<void(int dispid, const std::string& payload)>;

  ControlHost();
  ~ControlHost() = default;
  ControlHost(const ControlHost&) = delete;
  ControlHost& operator=(const ControlHost&) = delete;

  CUpload& control() { return *control_; }
  void SetEventHandler(EventHandler handler) { handler_ = std::move(handler); }

  // Logs in with the account remembered by `vexaupload login --remember`
  // (its password digest), as a page does for a remembered login, and waits
  // for the login event. On failure prints why on standard error.
  bool LoginRemembered();

  // Fires the events of what has been posted, waiting up to `timeout_ms` for
  // the first one.
  void Pump(uint32_t timeout_ms);

 private:
  EventHandler handler_;
  std::unique_ptr<CUpload> control_;
};

// A getter of the control as UTF-8.
std::string Utf8Of(void (CUpload::*getter)(std::u16string*), CUpload& control);

}  // namespace vexa::cli

#endif  // VEXA_APPS_CLI_CONTROL_HOST_H_
