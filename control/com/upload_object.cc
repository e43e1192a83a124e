#include "control/com/upload_object.h"

#include <olectl.h>

#include "account/account_api.h"
#include "account/api_base.h"
#include "control/com/com_module.h"
#include "control/com/enumerator.h"
#include "control/com/page_site.h"
#include "control/com/registrar.h"
#include "port/debug.h"
#include "port/win32/wide_path.h"

namespace vexa::com {
namespace {

constexpr wchar_t kWindowClass[] = L"VexaUploadControlWindow";

std::u16string FromBstr(BSTR s) {
  return s == nullptr ? std::u16string()
                      : std::u16string(reinterpret_cast<const char16_t*>(s), ::SysStringLen(s));
}

HRESULT ToBstr(const std::u16string& s, BSTR* out) {
  if (out == nullptr) return E_POINTER;
  *out =
      ::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(s.data()), static_cast<UINT>(s.size()));
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

// An interface identifier in registry form, as the safety options are kept.
std::string InterfaceId(REFIID riid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(riid, text, 40);
  return port::Narrow(text);
}

bool RegisterWindowClass() {
  static const bool registered = [] {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcW;  // replaced per window below
    wc.hInstance = Module();
    wc.lpszClassName = kWindowClass;
    return ::RegisterClassExW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  return registered;
}

}  // namespace

// --- EventConnectionPoint ----------------------------------------------------

EventConnectionPoint::~EventConnectionPoint() {
  for (Connection& c : connections_) c.sink->Release();
}

HRESULT EventConnectionPoint::Fire(DISPID dispid, const std::u16string& payload) {
  if (frozen_ > 0) {
    // The container is not ready for events: they wait, oldest first, and
    // the oldest go when too many pile up.
    if (held_.size() >= kMaxHeldEvents) held_.pop_front();
    held_.push_back({dispid, payload});
    return S_OK;
  }
  // A sink may disconnect (or connect another) while it runs: fire to a copy,
  // and skip a sink that was disconnected meanwhile.
  std::vector<Connection> sinks = connections_;
  for (Connection& c : sinks) c.sink->AddRef();
  HRESULT result = S_OK;
  for (const Connection& c : sinks) {
    if (result == S_OK && IsConnected(c)) {
      VARIANTARG arg;
      ::VariantInit(&arg);
      arg.vt = VT_BSTR;
      if (FAILED(ToBstr(payload, &arg.bstrVal))) {
        result = E_OUTOFMEMORY;
      } else {
        DISPPARAMS params = {&arg, nullptr, 1, 0};
        c.sink->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                       nullptr, nullptr);
        ::VariantClear(&arg);
      }
    }
    c.sink->Release();
  }
  return result;
}

bool EventConnectionPoint::IsConnected(const Connection& c) const {
  for (const Connection& now : connections_) {
    if (now.cookie == c.cookie && now.sink == c.sink) return true;
  }
  return false;
}

void EventConnectionPoint::Freeze(bool freeze) {
  if (freeze) {
    ++frozen_;
    return;
  }
  if (frozen_ == 0) return;
  if (--frozen_ > 0) return;
  // A handler may freeze again: what it does not see waits for the next thaw.
  while (frozen_ == 0 && !held_.empty()) {
    HeldEvent e = std::move(held_.front());
    held_.pop_front();
    Fire(e.dispid, e.payload);
  }
}

STDMETHODIMP EventConnectionPoint::QueryInterface(REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
    *out = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) EventConnectionPoint::AddRef() { return owner_->AddRef(); }
STDMETHODIMP_(ULONG) EventConnectionPoint::Release() { return owner_->Release(); }

STDMETHODIMP EventConnectionPoint::GetConnectionInterface(IID* iid) {
  if (iid == nullptr) return E_POINTER;
  *iid = DIID__IUploadEvents;
  return S_OK;
}

STDMETHODIMP EventConnectionPoint::GetConnectionPointContainer(
    IConnectionPointContainer** container) {
  if (container == nullptr) return E_POINTER;
  return owner_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container));
}

STDMETHODIMP EventConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (sink == nullptr || cookie == nullptr) return E_POINTER;
  *cookie = 0;
  IDispatch* dispatch = nullptr;
  if (FAILED(sink->QueryInterface(DIID__IUploadEvents, reinterpret_cast<void**>(&dispatch))) &&
      FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)))) {
    return CONNECT_E_CANNOTCONNECT;
  }
  *cookie = next_cookie_++;
  connections_.push_back({*cookie, dispatch});
  return S_OK;
}

STDMETHODIMP EventConnectionPoint::Unadvise(DWORD cookie) {
  for (auto it = connections_.begin(); it != connections_.end(); ++it) {
    if (it->cookie == cookie) {
      IDispatch* sink = it->sink;
      connections_.erase(it);
      sink->Release();
      return S_OK;
    }
  }
  return CONNECT_E_NOCONNECTION;
}

STDMETHODIMP EventConnectionPoint::EnumConnections(IEnumConnections** connections) {
  if (connections == nullptr) return E_POINTER;
  std::vector<CONNECTDATA> data;
  for (const Connection& c : connections_) data.push_back({c.sink, c.cookie});
  *connections = ConnectionEnumerator::Create(IID_IEnumConnections, data);
  return *connections == nullptr ? E_OUTOFMEMORY : S_OK;
}

// --- UploadObject ------------------------------------------------------------

UploadObject::UploadObject()
    : events_(this),
      in_place_(
          static_cast<IUpload*>(this), [this](bool freeze) { events_.Freeze(freeze); },
          [this](IOleClientSite* site) { PlaceOn(site); }) {
  AddObject();
}

UploadObject::~UploadObject() {
  port::DebugOut("FinalRelease\n");
  // The control goes first: it closes its queue, so no report is posted to a
  // window that is gone. Reports still waiting in the thread's queue are
  // dropped unfired, and their texts freed here.
  control_.reset();
  if (site_ != nullptr) site_->Release();
  if (window_ != nullptr) {
    // Should the last release come on another thread, the window outlives
    // the object: it must not find it any more.
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    MSG msg;
    while (::PeekMessageW(&msg, window_, kProgressMessage, kSelectFolderMessage, PM_REMOVE)) {
      TakePosted(msg.wParam);
    }
    ::DestroyWindow(window_);
  }
  for (std::string* text : posted_) delete text;
  ReleaseObject();
}

bool UploadObject::Init() {
  static std::once_flag once;
  std::call_once(once, [] {
    InstallUploadWorkers();
    // The service of VEXAUPLOAD_API, else the one of the last successful login.
    if (AccountApiBase().empty()) SetAccountApiBase(ChooseApiBase(std::string()));
  });
  if (!RegisterWindowClass()) return false;
  window_ = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, Module(),
                              nullptr);
  if (window_ == nullptr) return false;
  ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  ::SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&UploadObject::WindowProc));
  port::DebugOut("FinalConstruct\n");
  control_ = std::make_unique<CUpload>();
  control_->SetEventSink([this](const EventInfo& event, const std::u16string& payload) {
    // A page that may not script the control hears nothing of it either.
    if (caller_.MayScript()) events_.Fire(event.dispid, payload);
  });
  control_->messages().SetForward(
      [this](uint32_t id, std::unique_ptr<std::string> text) { PostReport(id, std::move(text)); });
  return true;
}

void UploadObject::PostReport(uint32_t id, std::unique_ptr<std::string> text) {
  if (text == nullptr) return;
  std::lock_guard<std::mutex> l(posted_mu_);
  // Recorded under the lock, so the window never looks for it too early.
  const auto it = posted_.insert(text.get()).first;
  if (!::PostMessageW(window_, id, reinterpret_cast<WPARAM>(text.get()), 0)) {
    port::DebugOut("report not posted: " + std::to_string(::GetLastError()) + "\n");
    posted_.erase(it);
    return;  // the text is freed here
  }
  text.release();
}

std::unique_ptr<std::string> UploadObject::TakePosted(WPARAM wparam) {
  auto* text = reinterpret_cast<std::string*>(wparam);
  std::lock_guard<std::mutex> l(posted_mu_);
  return posted_.erase(text) == 1 ? std::unique_ptr<std::string>(text) : nullptr;
}

LRESULT CALLBACK UploadObject::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message >= kProgressMessage && message <= kSelectFolderMessage) {
    auto* self = reinterpret_cast<UploadObject*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) return 0;
    std::unique_ptr<std::string> text = self->TakePosted(wparam);
    if (text != nullptr && self->control_) {
      // The event may release the object: keep it until it is done.
      self->AddRef();
      self->control_->FireMessage(message, text.get());
      self->Release();
    }
    return 0;
  }
  return ::DefWindowProcW(window, message, wparam, lparam);
}

bool UploadObject::Implements(REFIID riid) {
  IUnknown* unknown = nullptr;
  if (FAILED(QueryInterface(riid, reinterpret_cast<void**>(&unknown)))) return false;
  unknown->Release();
  return true;
}

STDMETHODIMP UploadObject::QueryInterface(REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IUpload) {
    *out = static_cast<IUpload*>(this);
  } else if (riid == IID_IConnectionPointContainer) {
    *out = static_cast<IConnectionPointContainer*>(this);
  } else if (riid == IID_IObjectSafety) {
    *out = static_cast<IObjectSafety*>(this);
  } else if (riid == IID_IObjectWithSite) {
    *out = static_cast<IObjectWithSite*>(this);
  } else if (riid == IID_IProvideClassInfo || riid == IID_IProvideClassInfo2) {
    *out = static_cast<IProvideClassInfo2*>(this);
  } else if (in_place_.Find(riid, out)) {
    return S_OK;
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) UploadObject::AddRef() { return ::InterlockedIncrement(&refs_); }

STDMETHODIMP_(ULONG) UploadObject::Release() {
  const ULONG left = ::InterlockedDecrement(&refs_);
  if (left == 0) delete this;
  return left;
}

STDMETHODIMP UploadObject::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 1;
  return S_OK;
}

STDMETHODIMP UploadObject::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  return TypeInfoOf(IID_IUpload, info);
}

STDMETHODIMP UploadObject::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                         DISPID* ids) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  ITypeInfo* info = nullptr;
  HRESULT hr = TypeInfoOf(IID_IUpload, &info);
  if (FAILED(hr)) return hr;
  hr = ::DispGetIDsOfNames(info, names, count, ids);
  info->Release();
  return hr;
}

STDMETHODIMP UploadObject::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                  VARIANT* result, EXCEPINFO* exception, UINT* arg_error) {
  if (!caller_.MayScript()) return E_ACCESSDENIED;
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  ITypeInfo* info = nullptr;
  HRESULT hr = TypeInfoOf(IID_IUpload, &info);
  if (FAILED(hr)) return hr;
  hr = ::DispInvoke(static_cast<IUpload*>(this), info, id, flags, params, result, exception,
                    arg_error);
  info->Release();
  return hr;
}

// Every method answers S_OK: results come back as events (or as nothing).

HRESULT UploadObject::TextResult(void (CUpload::*getter)(std::u16string*), BSTR* out) {
  std::u16string text;
  (control_.get()->*getter)(&text);
  return ToBstr(text, out);
}

STDMETHODIMP UploadObject::LoadTask() {
  control_->LoadTask();
  return S_OK;
}

STDMETHODIMP UploadObject::CreateUpload(SHORT nType, BSTR strTarget, SHORT nISPType, BYTE bAuto) {
  control_->SetDialogOwner(reinterpret_cast<uintptr_t>(in_place_.window()));
  control_->CreateUpload(nType, FromBstr(strTarget), nISPType, bAuto);
  return S_OK;
}

STDMETHODIMP UploadObject::AddUpload(BSTR strFilePath, BSTR strTarget, SHORT nISPType, BYTE bAuto) {
  control_->AddUpload(FromBstr(strFilePath), FromBstr(strTarget), nISPType, bAuto);
  return S_OK;
}

STDMETHODIMP UploadObject::StartUpload(BSTR strFilePath) {
  control_->StartUpload(FromBstr(strFilePath));
  return S_OK;
}

STDMETHODIMP UploadObject::StopUpload(BSTR strFilePath) {
  control_->StopUpload(FromBstr(strFilePath));
  return S_OK;
}

STDMETHODIMP UploadObject::CancelUpload(BSTR strFilePath) {
  control_->CancelUpload(FromBstr(strFilePath));
  return S_OK;
}

STDMETHODIMP UploadObject::Login(BSTR strAccount, BSTR strPwd, BYTE bRemember, BYTE bAuto) {
  control_->Login(FromBstr(strAccount), FromBstr(strPwd), bRemember, bAuto);
  return S_OK;
}

STDMETHODIMP UploadObject::GetSpaceInfo(BSTR* strSpaceInfo) {
  return TextResult(&CUpload::GetSpaceInfo, strSpaceInfo);
}

STDMETHODIMP UploadObject::GetAccountInfo(BSTR* strAccountInfo) {
  return TextResult(&CUpload::GetAccountInfo, strAccountInfo);
}

STDMETHODIMP UploadObject::OpenLink(BSTR strUrl) {
  control_->OpenLink(FromBstr(strUrl));
  return S_OK;
}

STDMETHODIMP UploadObject::LoadUnfinishTask(BSTR strFolderPath) {
  control_->LoadUnfinishTask(FromBstr(strFolderPath));
  return S_OK;
}

STDMETHODIMP UploadObject::SelectUpload(SHORT nType) {
  control_->SetDialogOwner(reinterpret_cast<uintptr_t>(in_place_.window()));
  control_->SelectUpload(nType);
  return S_OK;
}

STDMETHODIMP UploadObject::GetTarget(BSTR* strTarget) {
  return TextResult(&CUpload::GetTarget, strTarget);
}

STDMETHODIMP UploadObject::GetAllowUpload(BYTE* bAllowUpload) {
  if (bAllowUpload == nullptr) return E_POINTER;
  uint8_t allowed = 0;
  control_->GetAllowUpload(&allowed);
  *bAllowUpload = allowed;
  return S_OK;
}

STDMETHODIMP UploadObject::GetName(BSTR* strUserName) {
  return TextResult(&CUpload::GetName, strUserName);
}

STDMETHODIMP UploadObject::GetUserId(BSTR* strUserId) {
  return TextResult(&CUpload::GetUserId, strUserId);
}

STDMETHODIMP UploadObject::GetPluginVersion(BSTR* strVersion) {
  return TextResult(&CUpload::GetPluginVersion, strVersion);
}

STDMETHODIMP UploadObject::Logout() {
  control_->Logout();
  return S_OK;
}

STDMETHODIMP UploadObject::EnumConnectionPoints(IEnumConnectionPoints** points) {
  if (points == nullptr) return E_POINTER;
  *points = ConnectionPointEnumerator::Create(IID_IEnumConnectionPoints, {&events_});
  return *points == nullptr ? E_OUTOFMEMORY : S_OK;
}

STDMETHODIMP UploadObject::FindConnectionPoint(REFIID riid, IConnectionPoint** point) {
  if (point == nullptr) return E_POINTER;
  *point = nullptr;
  if (riid != DIID__IUploadEvents) return CONNECT_E_NOCONNECTION;
  *point = &events_;
  events_.AddRef();
  return S_OK;
}

STDMETHODIMP UploadObject::GetInterfaceSafetyOptions(REFIID riid, DWORD* supported,
                                                     DWORD* enabled) {
  if (supported == nullptr || enabled == nullptr) return E_POINTER;
  if (!caller_.MayGrantSafety()) {
    *supported = *enabled = 0;
    return E_FAIL;
  }
  uint32_t s = 0, e = 0;
  const HRESULT hr =
      static_cast<HRESULT>(safety_.GetOptions(InterfaceId(riid), Implements(riid), &s, &e));
  *supported = s;
  *enabled = e;
  return hr;
}

STDMETHODIMP UploadObject::SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) {
  // Only a browser asks: from now on a page drives the control.
  caller_.SafetyAsked();
  control_->ServePageScript();
  if (!caller_.MayGrantSafety()) return E_FAIL;
  return static_cast<HRESULT>(
      safety_.SetOptions(InterfaceId(riid), Implements(riid), mask, enabled));
}

void UploadObject::PlaceOn(IUnknown* site) {
  const std::string url = DocumentUrlOf(site);
  if (url.empty()) return;
  caller_.PlacedIn(url, RegisteredOrigins());
  control_->ServePageScript();
  port::DebugOut(std::string("placed in a page of ") +
                 (caller_.MayScript() ? "a registered" : "an unregistered") + " origin\n");
}

STDMETHODIMP UploadObject::SetSite(IUnknown* site) {
  if (site != nullptr) site->AddRef();
  if (site_ != nullptr) site_->Release();
  site_ = site;
  PlaceOn(site);
  return S_OK;
}

STDMETHODIMP UploadObject::GetSite(REFIID riid, void** site) {
  if (site == nullptr) return E_POINTER;
  *site = nullptr;
  return site_ != nullptr ? site_->QueryInterface(riid, site) : E_FAIL;
}

STDMETHODIMP UploadObject::GetClassInfo(ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  return TypeInfoOf(CLSID_Upload, info);
}

STDMETHODIMP UploadObject::GetGUID(DWORD kind, GUID* guid) {
  if (guid == nullptr) return E_POINTER;
  if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
    *guid = GUID_NULL;
    return E_INVALIDARG;
  }
  *guid = DIID__IUploadEvents;
  return S_OK;
}

}  // namespace vexa::com
