#ifndef VEXA_CONTROL_CONTROL_H_
#define VEXA_CONTROL_CONTROL_H_

// The control a page scripts: the 18 methods of IUpload as thin adapters over
// the engine and the account module, and the six events through which every
// result that takes time comes back.
//
// Threads: the methods, DispatchMessages and the event sink all belong to one
// thread at a time, the host's UI thread (a host may change which thread that
// is, as long as it serialises them). Engine, login and selection threads only
// post to the current control's MessageQueue; DispatchMessages turns what
// they posted into events, in posting order.
//
// The current control is the most recently created one still alive. Login
// results and progress go to every live control (every page of the session),
// a selection only to the control that opened the chooser. When the current
// one is destroyed, the one created before it (if still alive) becomes
// current again. A report posted while no control is alive is dropped.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "control/message_queue.h"
#include "control/method_table.h"
#include "control/page_script_policy.h"
#include "engine/upload_task.h"

namespace vexa {

// Receives each event: its table entry and its one string argument.
using EventSink = std::function<void(const EventInfo& event, const std::u16string& payload)>;

class CUpload {
 public:
  // Becomes the current control.
  CUpload();
  // Stops being current and drops what is still queued; the last live
  // control also logs out (which stops the engine). Reports posted
  // afterwards never reach it.
  ~CUpload();
  CUpload(const CUpload&) = delete;
  CUpload& operator=(const CUpload&) = delete;

  // Where events go; without a sink they are dropped.
  void SetEventSink(EventSink sink);
  // For hosts where a page's control ends with its connection while the
  // uploads must go on (the bridge): the destructor then leaves the session
  // and the engine running, and the next page finds the uploads with LoadTask.
  void KeepSessionOnRelease() { logout_on_release_ = false; }
  // For hosts that run a page's script (the bridge; the COM control on a web
  // page): the page reads a token instead of the remembered password digest,
  // and may queue only what its user chose (PageScriptPolicy). The user's own
  // programs (the CLI, a local script host) leave it off.
  void ServePageScript() { page_script_ = true; }
  bool serves_page_script() const { return page_script_; }
  // Identifies this control among the live ones (PostToControl).
  uint64_t id() const { return id_; }
  // The queue the host waits on (or sets a wakeup on) to know when to call
  // DispatchMessages.
  MessageQueue& messages() { return queue_; }
  // Fires the event of every message posted so far, oldest first. Returns
  // how many messages it handled.
  size_t DispatchMessages();
  // Fires the event of one message taken from the queue or forwarded by it
  // (see MessageQueue::SetForward). A null text does nothing.
  void FireMessage(uint32_t id, const std::string* text);
  // The window that owns the selection dialogs (CreateUpload, SelectUpload);
  // 0 for none.
  void SetDialogOwner(uintptr_t owner) { dialog_owner_ = owner; }

  // --- IUpload, in dispatch order ---------------------------------------
  void LoadTask();
  void CreateUpload(int16_t nType, const std::u16string& strTarget, int16_t nISPType,
                    uint8_t bAuto);
  // Both do nothing and say why when a page asks for a path its user did not
  // choose, or while the session belongs to another account than the one
  // the page last saw signed in (GetUserId, GetName, a successful login):
  // a page never uploads into another account's storage.
  PageRefusal AddUpload(const std::u16string& strFilePath, const std::u16string& strTarget,
                        int16_t nISPType, uint8_t bAuto);
  PageRefusal StartUpload(const std::u16string& strFilePath);
  void StopUpload(const std::u16string& strFilePath);
  void CancelUpload(const std::u16string& strFilePath);
  void Login(const std::u16string& strAccount, const std::u16string& strPwd, uint8_t bRemember,
             uint8_t bAuto);
  void GetSpaceInfo(std::u16string* strSpaceInfo);
  void GetAccountInfo(std::u16string* strAccountInfo);
  void OpenLink(const std::u16string& strUrl);
  void LoadUnfinishTask(const std::u16string& strFolderPath);
  void SelectUpload(int16_t nType);
  void GetTarget(std::u16string* strTarget);
  void GetAllowUpload(uint8_t* bAllowUpload);
  void GetName(std::u16string* strUserName);
  void GetUserId(std::u16string* strUserId);
  void GetPluginVersion(std::u16string* strVersion);
  void Logout();

 private:
  void Fire(int event_id, const std::u16string& payload);

  MessageQueue queue_;
  EventSink sink_;
  const uint64_t id_;
  bool logout_on_release_ = true;
  bool page_script_ = false;
  PageScriptPolicy policy_;
  std::string seen_user_;  // the user id the page last saw signed in
  // What this control's last Login call is waiting for: a login it started,
  // or the report of a session that was signed in already.
  enum class LoginAsked { kNone, kFresh, kAlreadySignedIn };
  LoginAsked login_asked_ = LoginAsked::kNone;

  PageRefusal RefusalFor(const std::string& path) const;
  uintptr_t dialog_owner_ = 0;
};

// The engine's notice callback: records the report in TaskList() and posts
// its payload to every live control. Runs on any thread, may run with the
// engine lock held; it only copies and posts.
void OnTaskNotice(TaskNotice notice);

// Hands `text` to the current control's queue. False (text dropped) when no
// control is alive.
bool PostToCurrentControl(uint32_t message, std::string text);
bool HasCurrentControl();
// Hands a copy of `text` to every live control's queue. Returns how many took it.
size_t PostToEveryControl(uint32_t message, const std::string& text);
// Hands `text` to the control `control_id` only (a page's own selection).
// False (text dropped) when that control is gone.
bool PostToControl(uint64_t control_id, uint32_t message, std::string text);

// Installs the real transfer worker, folder uploads and selection dialogs
// into the engine. Every host calls it once before its first login; without
// it queued files wait forever.
void InstallUploadWorkers();

}  // namespace vexa

#endif  // VEXA_CONTROL_CONTROL_H_
