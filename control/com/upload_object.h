#ifndef VEXA_CONTROL_COM_UPLOAD_OBJECT_H_
#define VEXA_CONTROL_COM_UPLOAD_OBJECT_H_

// The Upload coclass: the COM host of CUpload. IUpload is dispatched through
// the embedded type library; events go out through the _IUploadEvents
// connection point, on the thread that created the object (its apartment):
// every report is posted to the control's own message-only window as one of
// the messages 1025..1028, its text's pointer in wParam, and the window
// procedure fires its event. A container may also embed the object as an
// OLE control (InPlaceControl); its visible window then owns the dialogs.
//
// Who may script it: a browser gives the control a site (IObjectWithSite, or
// the client site of an embedding) in a document, and asks for scripting
// safety. Only a document of a registered origin (control/origin_registry.h)
// is then answered "safe" and served: calls through IDispatch are refused
// with E_ACCESSDENIED and no event reaches its sinks otherwise. A host that
// asks for no safety and names no document (a local script host, the user's
// own program) is served as before (ScriptCallerCheck).

#include <windows.h>
#include <objsafe.h>
#include <ocidl.h>

#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "control/com/ievexaupload_plugin.h"
#include "control/com/in_place_control.h"
#include "control/control.h"
#include "control/page_script_policy.h"

namespace vexa::com {

class UploadObject;

// The connection point of _IUploadEvents: sinks in connection order.
class EventConnectionPoint : public IConnectionPoint {
 public:
  explicit EventConnectionPoint(UploadObject* owner) : owner_(owner) {}
  ~EventConnectionPoint();

  // Calls every sink's Invoke with `dispid` and one BSTR argument; while
  // events are frozen, keeps the event for the thaw instead.
  HRESULT Fire(DISPID dispid, const std::u16string& payload);
  // The container's IOleControl::FreezeEvents: counted; the last thaw fires
  // what was held, in order.
  void Freeze(bool freeze);

  // IUnknown: lives and dies with its owner.
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  // IConnectionPoint
  STDMETHODIMP GetConnectionInterface(IID* iid) override;
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override;
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumConnections(IEnumConnections** connections) override;

 private:
  struct Connection {
    DWORD cookie;
    IDispatch* sink;
  };
  struct HeldEvent {
    DISPID dispid;
    std::u16string payload;
  };
  // At most this many events wait while frozen (a frozen page still hears
  // the latest progress).
  static constexpr size_t kMaxHeldEvents = 4096;
  bool IsConnected(const Connection& c) const;

  UploadObject* owner_;
  std::vector<Connection> connections_;
  DWORD next_cookie_ = 1;
  int frozen_ = 0;
  std::deque<HeldEvent> held_;
};

class UploadObject : public IUpload,
                     public IConnectionPointContainer,
                     public IObjectSafety,
                     public IObjectWithSite,
                     public IProvideClassInfo2 {
 public:
  UploadObject();
  UploadObject(const UploadObject&) = delete;
  UploadObject& operator=(const UploadObject&) = delete;

  // False when the object could not be set up (no window).
  bool Init();

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  // IDispatch
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                             DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* exception, UINT* arg_error) override;
  // IUpload
  STDMETHODIMP LoadTask() override;
  STDMETHODIMP CreateUpload(SHORT nType, BSTR strTarget, SHORT nISPType, BYTE bAuto) override;
  STDMETHODIMP AddUpload(BSTR strFilePath, BSTR strTarget, SHORT nISPType, BYTE bAuto) override;
  STDMETHODIMP StartUpload(BSTR strFilePath) override;
  STDMETHODIMP StopUpload(BSTR strFilePath) override;
  STDMETHODIMP CancelUpload(BSTR strFilePath) override;
  STDMETHODIMP Login(BSTR strAccount, BSTR strPwd, BYTE bRemember, BYTE bAuto) override;
  STDMETHODIMP GetSpaceInfo(BSTR* strSpaceInfo) override;
  STDMETHODIMP GetAccountInfo(BSTR* strAccountInfo) override;
  STDMETHODIMP OpenLink(BSTR strUrl) override;
  STDMETHODIMP LoadUnfinishTask(BSTR strFolderPath) override;
  STDMETHODIMP SelectUpload(SHORT nType) override;
  STDMETHODIMP GetTarget(BSTR* strTarget) override;
  STDMETHODIMP GetAllowUpload(BYTE* bAllowUpload) override;
  STDMETHODIMP GetName(BSTR* strUserName) override;
  STDMETHODIMP GetUserId(BSTR* strUserId) override;
  STDMETHODIMP GetPluginVersion(BSTR* strVersion) override;
  STDMETHODIMP Logout() override;
  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override;
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** point) override;
  // IObjectSafety
  STDMETHODIMP GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) override;
  STDMETHODIMP SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) override;
  // IObjectWithSite
  STDMETHODIMP SetSite(IUnknown* site) override;
  STDMETHODIMP GetSite(REFIID riid, void** site) override;
  // IProvideClassInfo2
  STDMETHODIMP GetClassInfo(ITypeInfo** info) override;
  STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override;

 private:
  virtual ~UploadObject();
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  // Runs on the posting thread, with the control's queue locked: posts the
  // report to the window, which takes the text back with TakePosted.
  void PostReport(uint32_t id, std::unique_ptr<std::string> text);
  // The text posted with `wparam`, once; null for anything this object did
  // not post (a stale or foreign message).
  std::unique_ptr<std::string> TakePosted(WPARAM wparam);
  bool Implements(REFIID riid);
  // A container put the control on `site` (null: took it away).
  void PlaceOn(IUnknown* site);
  // A getter's text as a fresh BSTR in `*out`.
  HRESULT TextResult(void (CUpload::*getter)(std::u16string*), BSTR* out);

  LONG refs_ = 1;
  HWND window_ = nullptr;
  // Texts posted and not yet taken by the window; freed by the destructor
  // when the window never took them.
  std::mutex posted_mu_;
  std::set<std::string*> posted_;
  std::unique_ptr<CUpload> control_;
  EventConnectionPoint events_;
  InPlaceControl in_place_;
  ObjectSafety safety_;
  ScriptCallerCheck caller_;
  IUnknown* site_ = nullptr;  // IObjectWithSite's, with a reference
};

}  // namespace vexa::com

#endif  // VEXA_CONTROL_COM_UPLOAD_OBJECT_H_
