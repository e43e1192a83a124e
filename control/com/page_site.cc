#include "control/com/page_site.h"

#include <oleidl.h>

#include "port/win32/wide_path.h"

namespace vexa::com {
namespace {

// A text property of an automation object; empty when it has none.
std::string TextProperty(IDispatch* object, const wchar_t* name) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id)))
    return std::string();
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  VARIANT value;
  ::VariantInit(&value);
  std::string text;
  if (SUCCEEDED(object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                               &value, nullptr, nullptr)) &&
      value.vt == VT_BSTR && value.bstrVal != nullptr) {
    text = port::Narrow(std::wstring(value.bstrVal, ::SysStringLen(value.bstrVal)));
  }
  ::VariantClear(&value);
  return text;
}

}  // namespace

std::string DocumentUrlOf(IUnknown* site) {
  if (site == nullptr) return std::string();
  IOleClientSite* client = nullptr;
  if (FAILED(site->QueryInterface(IID_IOleClientSite, reinterpret_cast<void**>(&client))) ||
      client == nullptr) {
    return std::string();
  }
  IOleContainer* container = nullptr;
  const HRESULT hr = client->GetContainer(&container);
  client->Release();
  if (FAILED(hr) || container == nullptr) return std::string();
  IDispatch* document = nullptr;
  const HRESULT found =
      container->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&document));
  container->Release();
  if (FAILED(found) || document == nullptr) return std::string();
  std::string url = TextProperty(document, L"URL");
  document->Release();
  return url;
}

}  // namespace vexa::com
