#ifndef VEXA_CONTROL_COM_IN_PLACE_CONTROL_H_
#define VEXA_CONTROL_COM_IN_PLACE_CONTROL_H_

// What a container needs to embed the control as a windowed OLE control: the
// client site, in-place activation with a visible child window in the site's
// window, drawing (the toolbox bitmap on a blank area), empty persistence
// (the control has no properties) and the misc status of the registry.
//
// It has no identity of its own: its IUnknown is the owner's, which hands
// these interfaces out from its QueryInterface. Everything runs on the
// owner's apartment thread.

#include <windows.h>
#include <ocidl.h>
#include <oleidl.h>

#include <functional>

namespace vexa::com {

class InPlaceControl : public IOleObject,
                       public IOleInPlaceObject,
                       public IOleInPlaceActiveObject,
                       public IViewObject2,
                       public IPersistStreamInit,
                       public IPersistPropertyBag,
                       public IOleControl {
 public:
  // `freeze` receives the container's FreezeEvents calls, `placed` each
  // client site the container gives (null when it takes it back).
  InPlaceControl(IUnknown* owner, std::function<void(bool freeze)> freeze,
                 std::function<void(IOleClientSite* site)> placed)
      : owner_(owner), freeze_(std::move(freeze)), placed_(std::move(placed)) {}
  ~InPlaceControl();
  InPlaceControl(const InPlaceControl&) = delete;
  InPlaceControl& operator=(const InPlaceControl&) = delete;

  // The interface of `riid` when it is one of this part's, with a reference.
  bool Find(REFIID riid, void** out);
  // The visible window while in-place active, else null.
  HWND window() const { return window_; }
  // Paints the blank area with the bitmap in its top left corner.
  static void Paint(HDC dc, const RECT& bounds);

  // IUnknown: the owner's.
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    return owner_->QueryInterface(riid, out);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return owner_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return owner_->Release(); }

  // IOleObject
  STDMETHODIMP SetClientSite(IOleClientSite* site) override;
  STDMETHODIMP GetClientSite(IOleClientSite** site) override;
  STDMETHODIMP SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
  STDMETHODIMP Close(DWORD save_option) override;
  STDMETHODIMP SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** moniker) override;
  STDMETHODIMP InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetClipboardData(DWORD, IDataObject** data) override;
  STDMETHODIMP DoVerb(LONG verb, LPMSG msg, IOleClientSite* site, LONG index, HWND parent,
                      LPCRECT position) override;
  STDMETHODIMP EnumVerbs(IEnumOLEVERB** verbs) override;
  STDMETHODIMP Update() override { return S_OK; }
  STDMETHODIMP IsUpToDate() override { return S_OK; }
  STDMETHODIMP GetUserClassID(CLSID* clsid) override { return GetClassID(clsid); }
  STDMETHODIMP GetUserType(DWORD form, LPOLESTR* type) override;
  STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP Advise(IAdviseSink* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumAdvise(IEnumSTATDATA** advise) override;
  STDMETHODIMP GetMiscStatus(DWORD aspect, DWORD* status) override;
  STDMETHODIMP SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

  // IOleWindow, of both in-place interfaces
  STDMETHODIMP GetWindow(HWND* window) override;
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  // IOleInPlaceObject
  STDMETHODIMP InPlaceDeactivate() override;
  STDMETHODIMP UIDeactivate() override;
  STDMETHODIMP SetObjectRects(LPCRECT position, LPCRECT clip) override;
  STDMETHODIMP ReactivateAndUndo() override { return E_NOTIMPL; }
  // IOleInPlaceActiveObject
  STDMETHODIMP TranslateAccelerator(LPMSG) override { return S_FALSE; }
  STDMETHODIMP OnFrameWindowActivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnDocWindowActivate(BOOL) override { return S_OK; }
  STDMETHODIMP ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return S_OK; }
  STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }

  // IViewObject2
  STDMETHODIMP Draw(DWORD aspect, LONG index, void* aspect_info, DVTARGETDEVICE* device,
                    HDC target_dc, HDC dc, LPCRECTL bounds, LPCRECTL window_bounds,
                    BOOL(STDMETHODCALLTYPE* cancel)(ULONG_PTR), ULONG_PTR cancel_arg) override;
  STDMETHODIMP GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE**) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP Freeze(DWORD, LONG, void*, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP Unfreeze(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) override;
  STDMETHODIMP GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override;
  STDMETHODIMP GetExtent(DWORD aspect, LONG index, DVTARGETDEVICE* device, LPSIZEL size) override;

  // IPersist, of both persistence interfaces
  STDMETHODIMP GetClassID(CLSID* clsid) override;
  // IPersistStreamInit: nothing to keep.
  STDMETHODIMP IsDirty() override { return S_FALSE; }
  STDMETHODIMP Load(LPSTREAM) override { return S_OK; }
  STDMETHODIMP Save(LPSTREAM, BOOL) override { return S_OK; }
  STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;
  STDMETHODIMP InitNew() override { return S_OK; }
  // IPersistPropertyBag: nothing to read or write.
  STDMETHODIMP Load(IPropertyBag*, IErrorLog*) override { return S_OK; }
  STDMETHODIMP Save(IPropertyBag*, BOOL, BOOL) override { return S_OK; }

  // IOleControl
  STDMETHODIMP GetControlInfo(CONTROLINFO* info) override;
  STDMETHODIMP OnMnemonic(LPMSG) override { return S_OK; }
  STDMETHODIMP OnAmbientPropertyChange(DISPID) override { return S_OK; }
  STDMETHODIMP FreezeEvents(BOOL freeze) override;

 private:
  HRESULT Activate(IOleClientSite* site, HWND parent, LPCRECT position, bool ui);

  IUnknown* owner_;
  std::function<void(bool)> freeze_;
  std::function<void(IOleClientSite*)> placed_;
  IOleClientSite* site_ = nullptr;
  IOleInPlaceSite* in_place_site_ = nullptr;  // while in-place active
  IOleInPlaceFrame* frame_ = nullptr;         // while UI active
  IOleInPlaceUIWindow* document_ = nullptr;   // while UI active
  bool ui_active_ = false;
  HWND window_ = nullptr;
  SIZEL extent_ = {2540, 1270};  // HIMETRIC: one inch by a half
  IOleAdviseHolder* advise_holder_ = nullptr;
  IAdviseSink* view_sink_ = nullptr;
  DWORD view_aspects_ = 0;
  DWORD view_flags_ = 0;
};

}  // namespace vexa::com

#endif  // VEXA_CONTROL_COM_IN_PLACE_CONTROL_H_
