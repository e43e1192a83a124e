#ifndef VEXA_CONTROL_COM_CLASS_FACTORY_H_
#define VEXA_CONTROL_COM_CLASS_FACTORY_H_

#include <windows.h>
#include <unknwn.h>

namespace vexa::com {

// The class factory of the Upload class, one for the process.
class UploadClassFactory : public IClassFactory {
 public:
  static UploadClassFactory* Instance();

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** out) override;
  STDMETHODIMP LockServer(BOOL lock) override;
};

}  // namespace vexa::com

#endif  // VEXA_CONTROL_COM_CLASS_FACTORY_H_
