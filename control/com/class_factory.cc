#include "control/com/class_factory.h"

#include "control/com/com_module.h"
#include "control/com/upload_object.h"

namespace vexa::com {

UploadClassFactory* UploadClassFactory::Instance() {
  static UploadClassFactory factory;
  return &factory;
}

STDMETHODIMP UploadClassFactory::QueryInterface(REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IClassFactory) {
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

// A static object: its references keep the module, as server locks do.
STDMETHODIMP_(ULONG) UploadClassFactory::AddRef() {
  com::LockServer(true);
  return 2;
}

STDMETHODIMP_(ULONG) UploadClassFactory::Release() {
  com::LockServer(false);
  return 1;
}

STDMETHODIMP UploadClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  auto* object = new (std::nothrow) UploadObject();
  if (object == nullptr) return E_OUTOFMEMORY;
  HRESULT hr = object->Init() ? object->QueryInterface(riid, out) : E_FAIL;
  object->Release();
  return hr;
}

STDMETHODIMP UploadClassFactory::LockServer(BOOL lock) {
  com::LockServer(lock != FALSE);
  return S_OK;
}

}  // namespace vexa::com
