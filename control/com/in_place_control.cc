#include "control/com/in_place_control.h"

#include <olectl.h>

#include <algorithm>

#include "control/com/com_module.h"
#include "control/com/ievexaupload_plugin.h"
#include "control/com/resource_ids.h"
#include "control/method_table.h"

namespace vexa::com {
namespace {

constexpr wchar_t kWindowClass[] = L"VexaUploadControl";

template <typename T>
void ReleaseAndClear(T** p) {
  if (*p != nullptr) (*p)->Release();
  *p = nullptr;
}

template <typename T>
void Replace(T** slot, T* value) {
  if (value != nullptr) value->AddRef();
  ReleaseAndClear(slot);
  *slot = value;
}

// A reference held for the length of a call into the container, which may
// deactivate, close or release the control before it returns.
template <typename T>
class HeldRef {
 public:
  explicit HeldRef(T* p = nullptr) : p_(p) {
    if (p_ != nullptr) p_->AddRef();
  }
  ~HeldRef() { ReleaseAndClear(&p_); }
  HeldRef(const HeldRef&) = delete;
  HeldRef& operator=(const HeldRef&) = delete;
  // Takes over a reference the caller already holds.
  void Adopt(T* p) {
    ReleaseAndClear(&p_);
    p_ = p;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_;
};

LRESULT CALLBACK ControlWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = ::BeginPaint(window, &ps);
    RECT client;
    ::GetClientRect(window, &client);
    InPlaceControl::Paint(dc, client);
    ::EndPaint(window, &ps);
    return 0;
  }
  return ::DefWindowProcW(window, message, wparam, lparam);
}

bool RegisterControlClass() {
  static const bool registered = [] {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = ControlWindowProc;
    wc.hInstance = Module();
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kWindowClass;
    return ::RegisterClassExW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  return registered;
}

}  // namespace

// A container closes the control before it lets go of it; if it did not, the
// window still goes, but no site is called back while the owner dies.
InPlaceControl::~InPlaceControl() {
  if (window_ != nullptr) ::DestroyWindow(window_);
  ReleaseAndClear(&frame_);
  ReleaseAndClear(&document_);
  ReleaseAndClear(&in_place_site_);
  ReleaseAndClear(&site_);
  ReleaseAndClear(&advise_holder_);
  ReleaseAndClear(&view_sink_);
}

bool InPlaceControl::Find(REFIID riid, void** out) {
  if (riid == IID_IOleObject) {
    *out = static_cast<IOleObject*>(this);
  } else if (riid == IID_IOleWindow || riid == IID_IOleInPlaceObject) {
    *out = static_cast<IOleInPlaceObject*>(this);
  } else if (riid == IID_IOleInPlaceActiveObject) {
    *out = static_cast<IOleInPlaceActiveObject*>(this);
  } else if (riid == IID_IViewObject || riid == IID_IViewObject2) {
    *out = static_cast<IViewObject2*>(this);
  } else if (riid == IID_IPersist || riid == IID_IPersistStreamInit) {
    *out = static_cast<IPersistStreamInit*>(this);
  } else if (riid == IID_IPersistPropertyBag) {
    *out = static_cast<IPersistPropertyBag*>(this);
  } else if (riid == IID_IOleControl) {
    *out = static_cast<IOleControl*>(this);
  } else {
    return false;
  }
  AddRef();
  return true;
}

void InPlaceControl::Paint(HDC dc, const RECT& bounds) {
  ::FillRect(dc, &bounds, ::GetSysColorBrush(COLOR_WINDOW));
  HBITMAP bitmap = ::LoadBitmapW(Module(), MAKEINTRESOURCEW(kToolboxBitmapId));
  if (bitmap == nullptr) return;
  BITMAP info;
  ::GetObjectW(bitmap, sizeof(info), &info);
  HDC source = ::CreateCompatibleDC(dc);
  HGDIOBJ old = ::SelectObject(source, bitmap);
  ::BitBlt(dc, bounds.left, bounds.top, std::min<LONG>(info.bmWidth, bounds.right - bounds.left),
           std::min<LONG>(info.bmHeight, bounds.bottom - bounds.top), source, 0, 0, SRCCOPY);
  ::SelectObject(source, old);
  ::DeleteDC(source);
  ::DeleteObject(bitmap);
}

// --- IOleObject -------------------------------------------------------------

STDMETHODIMP InPlaceControl::SetClientSite(IOleClientSite* site) {
  Replace(&site_, site);
  if (placed_) placed_(site);
  return S_OK;
}

STDMETHODIMP InPlaceControl::GetClientSite(IOleClientSite** site) {
  if (site == nullptr) return E_POINTER;
  *site = site_;
  if (site_ != nullptr) site_->AddRef();
  return S_OK;
}

STDMETHODIMP InPlaceControl::Close(DWORD) {
  HeldRef<IUnknown> keep(owner_);
  InPlaceDeactivate();
  HeldRef<IOleAdviseHolder> holder(advise_holder_);
  if (holder) holder->SendOnClose();
  return S_OK;
}

STDMETHODIMP InPlaceControl::GetMoniker(DWORD, DWORD, IMoniker** moniker) {
  if (moniker != nullptr) *moniker = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP InPlaceControl::GetClipboardData(DWORD, IDataObject** data) {
  if (data != nullptr) *data = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP InPlaceControl::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND parent,
                                    LPCRECT position) {
  switch (verb) {
    case OLEIVERB_PRIMARY:
    case OLEIVERB_SHOW:
    case OLEIVERB_UIACTIVATE:
      return Activate(site, parent, position, true);
    case OLEIVERB_INPLACEACTIVATE:
      return Activate(site, parent, position, false);
    case OLEIVERB_HIDE:
      UIDeactivate();
      if (window_ != nullptr) ::ShowWindow(window_, SW_HIDE);
      return S_OK;
    default:
      return verb > 0 ? OLEOBJ_S_INVALIDVERB : E_NOTIMPL;
  }
}

STDMETHODIMP InPlaceControl::EnumVerbs(IEnumOLEVERB** verbs) {
  if (verbs == nullptr) return E_POINTER;
  return ::OleRegEnumVerbs(CLSID_Upload, verbs);
}

STDMETHODIMP InPlaceControl::GetUserType(DWORD form, LPOLESTR* type) {
  if (type == nullptr) return E_POINTER;
  return ::OleRegGetUserType(CLSID_Upload, form, type);
}

STDMETHODIMP InPlaceControl::SetExtent(DWORD aspect, SIZEL* size) {
  if (size == nullptr) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  extent_ = *size;
  return S_OK;
}

STDMETHODIMP InPlaceControl::GetExtent(DWORD aspect, SIZEL* size) {
  if (size == nullptr) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  *size = extent_;
  return S_OK;
}

STDMETHODIMP InPlaceControl::Advise(IAdviseSink* sink, DWORD* cookie) {
  if (sink == nullptr || cookie == nullptr) return E_POINTER;
  if (advise_holder_ == nullptr) {
    const HRESULT hr = ::CreateOleAdviseHolder(&advise_holder_);
    if (FAILED(hr)) return hr;
  }
  return advise_holder_->Advise(sink, cookie);
}

STDMETHODIMP InPlaceControl::Unadvise(DWORD cookie) {
  return advise_holder_ == nullptr ? OLE_E_NOCONNECTION : advise_holder_->Unadvise(cookie);
}

STDMETHODIMP InPlaceControl::EnumAdvise(IEnumSTATDATA** advise) {
  if (advise == nullptr) return E_POINTER;
  *advise = nullptr;
  return advise_holder_ == nullptr ? S_OK : advise_holder_->EnumAdvise(advise);
}

STDMETHODIMP InPlaceControl::GetMiscStatus(DWORD, DWORD* status) {
  if (status == nullptr) return E_POINTER;
  *status = kOleMiscStatus;
  return S_OK;
}

// --- In-place activation ------------------------------------------------------

// Every call into the container may come back into this object (a page's
// script deactivating the control from an activation notice): each runs on a
// reference of its own, and the state is looked at again after it.
HRESULT InPlaceControl::Activate(IOleClientSite* given_site, HWND parent, LPCRECT position,
                                 bool ui) {
  HeldRef<IUnknown> keep(owner_);
  HeldRef<IOleClientSite> site(given_site != nullptr ? given_site : site_);
  if (!site) return E_UNEXPECTED;
  if (in_place_site_ == nullptr) {
    HeldRef<IOleInPlaceSite> candidate;
    IOleInPlaceSite* found = nullptr;
    if (FAILED(site->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&found)))) {
      return OLE_E_NOT_INPLACEACTIVE;
    }
    candidate.Adopt(found);
    if (candidate->CanInPlaceActivate() != S_OK) return E_FAIL;
    if (in_place_site_ == nullptr) {
      Replace(&in_place_site_, candidate.get());
      candidate->OnInPlaceActivate();
    }
  }
  // Deactivated meanwhile (or by another site's activation): stop here.
  HeldRef<IOleInPlaceSite> in_place(in_place_site_);
  if (!in_place) return OLE_E_NOT_INPLACEACTIVE;
  HeldRef<IOleInPlaceFrame> frame;
  HeldRef<IOleInPlaceUIWindow> document;
  RECT site_position = {}, clip = {};
  OLEINPLACEFRAMEINFO frame_info = {};
  frame_info.cb = sizeof(frame_info);
  IOleInPlaceFrame* got_frame = nullptr;
  IOleInPlaceUIWindow* got_document = nullptr;
  if (SUCCEEDED(in_place->GetWindowContext(&got_frame, &got_document, &site_position, &clip,
                                           &frame_info))) {
    frame.Adopt(got_frame);
    document.Adopt(got_document);
  }
  if (position == nullptr) position = &site_position;
  if (parent == nullptr) in_place->GetWindow(&parent);
  if (in_place_site_ != in_place.get()) return OLE_E_NOT_INPLACEACTIVE;

  HRESULT hr = S_OK;
  if (window_ == nullptr) {
    if (!RegisterControlClass() || parent == nullptr) {
      hr = E_FAIL;
    } else {
      window_ = ::CreateWindowExW(
          0, kWindowClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN,
          position->left, position->top, position->right - position->left,
          position->bottom - position->top, parent, nullptr, Module(), nullptr);
      if (window_ == nullptr) hr = HRESULT_FROM_WIN32(::GetLastError());
    }
  } else {
    ::ShowWindow(window_, SW_SHOW);
  }
  if (SUCCEEDED(hr) && ui && !ui_active_) {
    ui_active_ = true;
    in_place->OnUIActivate();
    // The container may have taken the activation back from inside.
    if (!ui_active_ || in_place_site_ != in_place.get()) return OLE_E_NOT_INPLACEACTIVE;
    if (window_ != nullptr) ::SetFocus(window_);
    Replace(&frame_, frame.get());
    Replace(&document_, document.get());
    auto* active = static_cast<IOleInPlaceActiveObject*>(this);
    if (frame) frame->SetActiveObject(active, nullptr);
    if (!ui_active_) return OLE_E_NOT_INPLACEACTIVE;
    if (document) document->SetActiveObject(active, nullptr);
    if (!ui_active_) return OLE_E_NOT_INPLACEACTIVE;
  }
  if (FAILED(hr)) InPlaceDeactivate();
  return hr;
}

STDMETHODIMP InPlaceControl::GetWindow(HWND* window) {
  if (window == nullptr) return E_POINTER;
  *window = window_;
  return window_ != nullptr ? S_OK : E_FAIL;
}

STDMETHODIMP InPlaceControl::InPlaceDeactivate() {
  HeldRef<IUnknown> keep(owner_);
  if (in_place_site_ == nullptr) return S_OK;
  UIDeactivate();
  // The container may have deactivated the control from OnUIDeactivate.
  if (in_place_site_ == nullptr) return S_OK;
  HeldRef<IOleInPlaceSite> site;
  site.Adopt(in_place_site_);
  in_place_site_ = nullptr;
  if (window_ != nullptr) {
    HWND window = window_;
    window_ = nullptr;
    ::DestroyWindow(window);
  }
  site->OnInPlaceDeactivate();
  return S_OK;
}

STDMETHODIMP InPlaceControl::UIDeactivate() {
  HeldRef<IUnknown> keep(owner_);
  if (!ui_active_) return S_OK;
  ui_active_ = false;
  // Taken out before the calls: a call that deactivates again finds nothing
  // left to release.
  HeldRef<IOleInPlaceFrame> frame;
  frame.Adopt(frame_);
  frame_ = nullptr;
  HeldRef<IOleInPlaceUIWindow> document;
  document.Adopt(document_);
  document_ = nullptr;
  HeldRef<IOleInPlaceSite> site(in_place_site_);
  if (frame) frame->SetActiveObject(nullptr, nullptr);
  if (document) document->SetActiveObject(nullptr, nullptr);
  if (site) site->OnUIDeactivate(FALSE);
  return S_OK;
}

STDMETHODIMP InPlaceControl::SetObjectRects(LPCRECT position, LPCRECT) {
  if (position == nullptr) return E_POINTER;
  if (window_ != nullptr) {
    ::MoveWindow(window_, position->left, position->top, position->right - position->left,
                 position->bottom - position->top, TRUE);
  }
  return S_OK;
}

// --- IViewObject2 -------------------------------------------------------------

STDMETHODIMP InPlaceControl::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC dc,
                                  LPCRECTL bounds, LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR),
                                  ULONG_PTR) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (dc == nullptr || bounds == nullptr) return E_INVALIDARG;
  const RECT area = {bounds->left, bounds->top, bounds->right, bounds->bottom};
  Paint(dc, area);
  return S_OK;
}

STDMETHODIMP InPlaceControl::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) {
  Replace(&view_sink_, sink);
  view_aspects_ = aspects;
  view_flags_ = flags;
  return S_OK;
}

STDMETHODIMP InPlaceControl::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) {
  if (aspects != nullptr) *aspects = view_aspects_;
  if (flags != nullptr) *flags = view_flags_;
  if (sink != nullptr) {
    *sink = view_sink_;
    if (view_sink_ != nullptr) view_sink_->AddRef();
  }
  return S_OK;
}

STDMETHODIMP InPlaceControl::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) {
  return GetExtent(aspect, size);
}

// --- Persistence and IOleControl ------------------------------------------------

STDMETHODIMP InPlaceControl::GetClassID(CLSID* clsid) {
  if (clsid == nullptr) return E_POINTER;
  *clsid = CLSID_Upload;
  return S_OK;
}

STDMETHODIMP InPlaceControl::GetSizeMax(ULARGE_INTEGER* size) {
  if (size == nullptr) return E_POINTER;
  size->QuadPart = 0;
  return S_OK;
}

STDMETHODIMP InPlaceControl::FreezeEvents(BOOL freeze) {
  HeldRef<IUnknown> keep(owner_);  // a thaw fires events, whose handlers may let go of the control
  if (freeze_) freeze_(freeze != FALSE);
  return S_OK;
}

STDMETHODIMP InPlaceControl::GetControlInfo(CONTROLINFO* info) {
  if (info == nullptr) return E_POINTER;
  info->cb = sizeof(*info);
  info->hAccel = nullptr;
  info->cAccel = 0;
  info->dwFlags = 0;
  return S_OK;
}

}  // namespace vexa::com
