#include "control/control.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <vector>

#include "account/account_file.h"
#include "account/login.h"
#include "account/session.h"
#include "codec/text.h"
#include "control/control_task_list.h"
#include "control/payload.h"
#include "control/selection_reports.h"
#include "engine/engine.h"
#include "engine/folder.h"
#include "engine/folder_upload.h"
#include "engine/selection.h"
#include "engine/service_cancel.h"
#include "engine/transfer_worker.h"
#include "port/debug.h"
#include "port/file.h"
#include "port/mutex.h"
#include "port/shell_open.h"

namespace vexa {
namespace {

// The live controls, oldest first; the last is the current one. Posting
// happens under this lock, so a control that has left the list is never
// reached again.
struct LiveControls {
  // Lock order: engineMutex, then mu, then a control's queue lock (reports
  // are posted under the engine lock). Nothing but a post runs under mu.
  port::Mutex mu;
  std::vector<CUpload*> controls GUARDED_BY(mu);
};

LiveControls& Live() {
  static LiveControls* live = new LiveControls;
  return *live;
}

// How long a release that logs out waits for cancels on their way to the
// service; those not sent by then are sent at the next login.
constexpr uint32_t kServiceCancelWaitMs = 15000;

uint64_t NextControlId() {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1);
}

std::u16string Widen(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

// Whether a page may have `url` opened: web addresses only. Handing the
// desktop any text would let a page run a local program or script by path.
bool IsWebLink(const std::string& url) {
  const std::string lower = ToLower(url.substr(0, 8));
  const bool web = lower.rfind("http://", 0) == 0 || lower.rfind("https://", 0) == 0;
  return web && std::none_of(url.begin(), url.end(),
                             [](char c) { return static_cast<unsigned char>(c) <= 0x20; });
}

}  // namespace

namespace _vexaUpload {

// Starts the engine when a login succeeds and reports the outcome to every
// live control: the one that asked, and the other pages of the session, whose
// uploader has just been signed in (or not) under them. Stops the engine when
// the session is cleared.
class PluginLoginObserver : public LoginObserver {
 public:
  void OnLogin() override {
    if (!HasCurrentControl()) return;
    std::string text;
    if (IsLoggedIn()) {
      StartEngine(OnTaskNotice, 0);
      text = "1|ok";
    } else {
      text = "0|" + GetLastErrorText();
    }
    PostToEveryControl(kLoginMessage, text);
  }
  void OnLogout() override {
    if (!IsLoggedIn()) StopEngine();
  }
};

PluginLoginObserver& Observer() {
  static PluginLoginObserver* observer = new PluginLoginObserver;
  return *observer;
}

}  // namespace _vexaUpload

bool PostToCurrentControl(uint32_t message, std::string text) {
  LiveControls& live = Live();
  port::MutexLock l(&live.mu);
  if (live.controls.empty()) return false;
  return live.controls.back()->messages().Post(message,
                                               std::make_unique<std::string>(std::move(text)));
}

bool PostToControl(uint64_t control_id, uint32_t message, std::string text) {
  LiveControls& live = Live();
  port::MutexLock l(&live.mu);
  for (CUpload* c : live.controls) {
    if (c->id() == control_id) {
      return c->messages().Post(message, std::make_unique<std::string>(std::move(text)));
    }
  }
  return false;
}

size_t PostToEveryControl(uint32_t message, const std::string& text) {
  LiveControls& live = Live();
  port::MutexLock l(&live.mu);
  size_t posted = 0;
  for (CUpload* c : live.controls)
    posted += c->messages().Post(message, std::make_unique<std::string>(text));
  return posted;
}

bool HasCurrentControl() {
  LiveControls& live = Live();
  port::MutexLock l(&live.mu);
  return !live.controls.empty();
}

void OnTaskNotice(TaskNotice notice) {
  const ProgressRecord record = ProgressRecordOf(std::move(notice));
  port::DebugOut("FileName: " + record.fileName + " FileSize: " + FormatU64(record.totalSize) +
                 " UploadSize: " + FormatU64(record.doneSize) +
                 " Status: " + FormatU64(record.status) + " TaskInfo: " + record.queueSummary);
  TaskList().Record(record);
  // Every page of the session shows the uploads, not only the newest one.
  PostToEveryControl(kProgressMessage, ProgressPayload(record));
}

void InstallUploadWorkers() {
  InstallTransferWorker();
  InstallFolderUploads();
  // The engine's selection threads, under the one-chooser rule of the report
  // route.
  SetSelectionStarter([](const SelectionRequest& request) {
    return StartChooserThread([request] {
      if (request.folder) {
        FolderSelectionThread(request);
      } else {
        FileSelectionThread(request);
      }
    });
  });
}

CUpload::CUpload() : id_(NextControlId()) {
  port::DebugOut("FinalConstruct\n");
  LiveControls& live = Live();
  port::MutexLock l(&live.mu);
  live.controls.push_back(this);
}

CUpload::~CUpload() {
  port::DebugOut("FinalRelease\n");
  bool last = false;
  {
    LiveControls& live = Live();
    port::MutexLock l(&live.mu);
    auto& list = live.controls;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    last = list.empty();
  }
  queue_.Close();
  // The session and its uploads belong to every page of the process: a
  // page's throwaway control, or another tab closing, must not end them.
  if (logout_on_release_ && last) {
    // A cancel just made reaches the service before the session ends (a
    // command-line host releases its control and exits right after).
    WaitForServiceCancels(kServiceCancelWaitMs);
    LogoutAccount();
  }
}

void CUpload::SetEventSink(EventSink sink) { sink_ = std::move(sink); }

void CUpload::Fire(int event_id, const std::u16string& payload) {
  if (sink_) sink_(*FindEvent(event_id), payload);
}

size_t CUpload::DispatchMessages() {
  std::deque<QueuedMessage> messages = queue_.TakeAll();
  for (const QueuedMessage& m : messages) FireMessage(m.id, m.text.get());
  return messages.size();
}

void CUpload::FireMessage(uint32_t id, const std::string* text) {
  if (text == nullptr) return;
  switch (id) {
    case kProgressMessage:
      Fire(kProgressEvent, Widen(*text));
      break;
    case kLoginMessage: {
      // Only a login this control asked for, and that signed in anew, tells
      // its page who is signed in now. Another page's login, or the answer
      // "signed in already" (given whatever account was asked for), does
      // not: the page learns that account only by reading it.
      const bool own_fresh = login_asked_ == LoginAsked::kFresh;
      login_asked_ = LoginAsked::kNone;
      if (own_fresh && text->rfind("1|", 0) == 0) seen_user_ = vexa::GetUserId();
      Fire(kLoginEvent, Widen(EscapeUnicode(*text)));
      break;
    }
    case kSelectFileMessage:
      policy_.ChoseFile(*text);
      Fire(kSelectFileEvent, Widen(EscapeUnicode(*text)));
      break;
    case kSelectFolderMessage:
      policy_.ChoseFolder(*text);
      Fire(kSelectFolderEvent, Widen(EscapeUnicode(*text)));
      break;
    default:
      break;
  }
}

void CUpload::LoadTask() {
  TaskList().ForEach(
      [this](const ProgressRecord& r) { Fire(kLoadTaskEvent, Widen(ProgressPayload(r))); });
}

void CUpload::CreateUpload(int16_t nType, const std::u16string& strTarget, int16_t nISPType,
                           uint8_t bAuto) {
  if (page_script_ && (seen_user_.empty() || seen_user_ != vexa::GetUserId())) return;
  if (nType == 1) {
    SelectFiles(WideToUtf8(strTarget), nISPType, dialog_owner_, bAuto != 0);
  } else if (nType == 2) {
    SelectFolder(WideToUtf8(strTarget), nISPType, dialog_owner_, bAuto != 0);
  }
}

PageRefusal CUpload::RefusalFor(const std::string& path) const {
  if (!page_script_) return PageRefusal::kNone;
  // Checked before the path is looked at: opening a FIFO or a device, or a
  // network path, could block or reach a host the page names.
  if (!policy_.MayUpload(path)) return PageRefusal::kPathNotChosen;
  if (seen_user_.empty() || seen_user_ != vexa::GetUserId()) return PageRefusal::kOtherAccount;
  return PageRefusal::kNone;
}

PageRefusal CUpload::AddUpload(const std::u16string& strFilePath, const std::u16string& strTarget,
                               int16_t nISPType, uint8_t bAuto) {
  const std::string path = WideToUtf8(strFilePath);
  if (const PageRefusal refusal = RefusalFor(path); refusal != PageRefusal::kNone) return refusal;
  const std::string target = WideToUtf8(strTarget);
  if (port::IsDirectory(path)) {
    AddFolderTask(path, target, nISPType, bAuto != 0);
  } else {
    AddFileTask(path, target, nISPType, "", "", bAuto != 0);
  }
  return PageRefusal::kNone;
}

PageRefusal CUpload::StartUpload(const std::u16string& strFilePath) {
  const std::string path = WideToUtf8(strFilePath);
  if (const PageRefusal refusal = RefusalFor(path); refusal != PageRefusal::kNone) return refusal;
  const bool folder =
      port::PathExists(path) ? port::IsDirectory(path) : FindFolder(path) != nullptr;
  if (folder) {
    AddFolderTask(path, "", 0, true);
  } else {
    AddFileTask(path, "", 0, "", "", true);
  }
  return PageRefusal::kNone;
}

void CUpload::StopUpload(const std::u16string& strFilePath) {
  ChangeTaskState(WideToUtf8(strFilePath), true, TaskStatus::Stopped);
}

void CUpload::CancelUpload(const std::u16string& strFilePath) {
  const std::string path = WideToUtf8(strFilePath);
  // Refused only while the engine stops, which stops the upload anyway; the
  // page hears nothing of a cancel either way.
  (void)CancelTask(path);
  TaskList().Remove(path);
}

void CUpload::Login(const std::u16string& strAccount, const std::u16string& strPwd,
                    uint8_t bRemember, uint8_t bAuto) {
  AddLoginObserver(&_vexaUpload::Observer());
  const std::string account = WideToUtf8(strAccount);
  std::string password = WideToUtf8(strPwd);
  if (page_script_ && password == RememberedLoginToken()) {
    // The page hands back what GetAccountInfo gave it: for the remembered
    // account only, it stands for the stored digest.
    std::string remembered, digest;
    bool remember = false, auto_login = false;
    if (ReadRememberedAccount(&remembered, &digest, &remember, &auto_login) &&
        remembered == account && !digest.empty()) {
      password = digest;
    }
  }
  // Set before the login starts: the answer "signed in already" is posted
  // on this thread, before StartLogin returns.
  login_asked_ = IsLoggedIn() ? LoginAsked::kAlreadySignedIn : LoginAsked::kFresh;
  // Refused while another login runs: this page hears that one's result as
  // any other page does.
  if (!StartLogin(account, password, bRemember != 0, bAuto != 0)) login_asked_ = LoginAsked::kNone;
}

void CUpload::GetSpaceInfo(std::u16string* strSpaceInfo) {
  *strSpaceInfo = Utf8ToWide(GetSpaceSummary());
}

void CUpload::GetAccountInfo(std::u16string* strAccountInfo) {
  std::string account, session;
  bool remember = false, auto_login = false;
  if (!ReadRememberedAccount(&account, &session, &remember, &auto_login)) {
    account.clear();
    session.clear();
    remember = auto_login = false;
  }
  if (page_script_ && !session.empty()) session = RememberedLoginToken();
  *strAccountInfo = Utf8ToWide(account + "|" + session + "|" + FormatU64(remember ? 1 : 0) + "|" +
                               FormatU64(auto_login ? 1 : 0));
}

void CUpload::OpenLink(const std::u16string& strUrl) {
  const std::string url = WideToUtf8(strUrl);
  if (IsWebLink(url)) port::OpenUrl(url);
}

void CUpload::LoadUnfinishTask(const std::u16string& strFolderPath) {
  std::map<std::string, std::string> failures;
  if (!CopyFolderFailures(WideToUtf8(strFolderPath), &failures)) return;
  for (const auto& [member, text] : failures) {
    Fire(kLoadUnfinishTaskEvent, Widen(EscapeUnicode(member + "|" + AnsiToUtf8(text))));
  }
}

void CUpload::SelectUpload(int16_t nType) {
  if (nType == 1) {
    StartFileReportThread(id_, dialog_owner_);
  } else if (nType == 2) {
    StartFolderReportThread(id_, dialog_owner_);
  }
}

void CUpload::GetTarget(std::u16string* strTarget) { *strTarget = Utf8ToWide(GetDefaultTarget()); }

void CUpload::GetAllowUpload(uint8_t* bAllowUpload) {
  *bAllowUpload = static_cast<uint8_t>(GetUploadAllowed());
}

void CUpload::GetName(std::u16string* strUserName) {
  const AccountState state = CopyAccountState();  // name and id of one session
  seen_user_ = state.userId;
  *strUserName = Utf8ToWide(state.userName);
}

void CUpload::GetUserId(std::u16string* strUserId) {
  seen_user_ = vexa::GetUserId();
  *strUserId = Utf8ToWide(seen_user_);
}

void CUpload::GetPluginVersion(std::u16string* strVersion) {
  *strVersion = Utf8ToWide(kClientVersion);
}

void CUpload::Logout() {
  LogoutAccount();
  TaskList().Clear();
}

}  // namespace vexa
