// A script host's view of the registered control: created by ProgID, its type library, its safety
// answers and its events. Run by com_host_test.sh after a per-user registration.
#include <windows.h>

#include <objsafe.h>
#include <olectl.h>
#include <ocidl.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "control/com/ievexaupload_plugin.h"
#include "control/method_table.h"
#include "gtest/gtest.h"
#include "port/win32/wide_path.h"

namespace vexa {
namespace {

// Records the control's events, as a page's handlers would see them.
class EventRecorder : public IDispatch {
 public:
  struct Event {
    DISPID id;
    std::wstring payload;
  };
  std::vector<Event> events;

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID__IUploadEvents) {
      *out = static_cast<IDispatch*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives on the test's stack
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                      UINT*) override {
    EXPECT_TRUE(::IsEqualGUID(riid, IID_NULL));
    EXPECT_EQ(lcid, static_cast<LCID>(LOCALE_USER_DEFAULT));
    EXPECT_EQ(flags, DISPATCH_METHOD);
    EXPECT_EQ(params->cArgs, 1u);
    EXPECT_EQ(params->rgvarg[0].vt, VT_BSTR);
    events.push_back({id, params->rgvarg[0].bstrVal});
    return S_OK;
  }
};

// "\u0041\u0042" -> "AB".
std::wstring Unescape(const std::wstring& s) {
  std::wstring out;
  for (size_t i = 0; i + 6 <= s.size(); i += 6)
    out.push_back(static_cast<wchar_t>(std::wcstoul(s.substr(i + 2, 4).c_str(), nullptr, 16)));
  return out;
}

std::vector<std::wstring> Fields(const std::wstring& s) {
  std::vector<std::wstring> out(1);
  for (wchar_t c : s) {
    if (c == L'|') {
      out.emplace_back();
    } else {
      out.back().push_back(c);
    }
  }
  return out;
}

VARIANT Text(const std::wstring& s) {
  VARIANT v;
  v.vt = VT_BSTR;
  v.bstrVal = ::SysAllocString(s.c_str());
  return v;
}

VARIANT Number(VARTYPE type, int value) {
  VARIANT v;
  ::VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  ::VariantChangeType(&v, &v, 0, type);
  return v;
}

class ComHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    CLSID clsid;
    ASSERT_EQ(::CLSIDFromProgID(L"upload_plugin_ie.Upload", &clsid), S_OK);
    ASSERT_TRUE(::IsEqualCLSID(clsid, CLSID_Upload));
    ASSERT_EQ(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                 reinterpret_cast<void**>(&control_)),
              S_OK);
  }
  void TearDown() override {
    if (control_ != nullptr) control_->Release();
    ::CoUninitialize();
  }

  // Calls a method by name through IDispatch, as a script does.
  HRESULT Call(const wchar_t* name, std::vector<VARIANT> args, VARIANT* result) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id;
    HRESULT hr = control_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    ::VariantInit(result);
    return control_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result, nullptr,
                            nullptr);
  }

  // Pumps the thread's messages (the events arrive through them) until `done` or a minute passed.
  template <typename Done>
  bool PumpUntil(Done done) {
    const DWORD start = ::GetTickCount();
    while (!done()) {
      if (::GetTickCount() - start > 60000) return false;
      ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
      MSG msg;
      while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
      }
    }
    return true;
  }

  IDispatch* control_ = nullptr;
};

TEST_F(ComHostTest, DispatchesByName) {
  VARIANT v;
  ASSERT_EQ(Call(L"GetPluginVersion", {}, &v), S_OK);
  ASSERT_EQ(v.vt, VT_BSTR);
  EXPECT_EQ(std::wstring(v.bstrVal), L"win_1.0.1026.4");
  ::VariantClear(&v);

  for (const MethodInfo& m : Methods()) {
    const std::wstring name = port::Widen(m.name);
    LPOLESTR names[] = {const_cast<LPOLESTR>(name.c_str())};
    DISPID id = 0;
    EXPECT_EQ(control_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK) << m.name;
    EXPECT_EQ(id, m.dispid) << m.name;
  }
  ASSERT_EQ(Call(L"GetAllowUpload", {}, &v), S_OK);
  EXPECT_EQ(v.vt, VT_UI1);
  EXPECT_EQ(v.bVal, 0);
}

TEST_F(ComHostTest, ObjectSafetyAnswers) {
  IObjectSafety* safety = nullptr;
  ASSERT_EQ(control_->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
  DWORD supported = 99, enabled = 99;
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(supported, 3u);
  EXPECT_EQ(enabled, 0u);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 1), S_OK);
  safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
  EXPECT_EQ(enabled, 1u);
  // Only the bits in the mask change.
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 2, 2), S_OK);
  safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
  EXPECT_EQ(enabled, 3u);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 4, 4), E_FAIL);
  // An interface the control does not have.
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IPersistStorage, &supported, &enabled), E_NOINTERFACE);
  EXPECT_EQ(supported, 0u);
  EXPECT_EQ(enabled, 0u);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IPersistStorage, 1, 1), E_NOINTERFACE);
  safety->Release();

  IProvideClassInfo2* info = nullptr;
  ASSERT_EQ(control_->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&info)), S_OK);
  GUID source;
  EXPECT_EQ(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source), S_OK);
  EXPECT_TRUE(::IsEqualGUID(source, DIID__IUploadEvents));
  info->Release();
}

// The type library as a script host reads it: every method and event of the table, with its
// identifier, help text and parameter flags.
TEST_F(ComHostTest, TypeLibraryMatchesTheMethodTable) {
  ITypeInfo* iupload = nullptr;
  ASSERT_EQ(control_->GetTypeInfo(0, LOCALE_USER_DEFAULT, &iupload), S_OK);
  ITypeLib* lib = nullptr;
  UINT index = 0;
  ASSERT_EQ(iupload->GetContainingTypeLib(&lib, &index), S_OK);
  BSTR doc = nullptr;
  ASSERT_EQ(lib->GetDocumentation(-1, nullptr, &doc, nullptr, nullptr), S_OK);
  EXPECT_EQ(std::wstring(doc), L"Myvexaupload_plugin_ie 1.0 Type Library");
  ::SysFreeString(doc);

  TYPEATTR* attr = nullptr;
  ASSERT_EQ(iupload->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->typekind, TKIND_DISPATCH);  // the dispatch view of the dual interface
  EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
  const int own = attr->cFuncs - 7;  // after IUnknown's three and IDispatch's four
  EXPECT_EQ(own, kMethodCount);
  const int funcs = attr->cFuncs;
  iupload->ReleaseTypeAttr(attr);
  int seen = 0;
  for (int i = 0; i < funcs; ++i) {
    FUNCDESC* f = nullptr;
    ASSERT_EQ(iupload->GetFuncDesc(i, &f), S_OK);
    const MethodInfo* m = FindMethod(static_cast<int>(f->memid));
    if (m != nullptr && f->memid >= 1 && f->memid <= kMethodCount) {
      ++seen;
      BSTR name = nullptr, help = nullptr;
      iupload->GetDocumentation(f->memid, &name, &help, nullptr, nullptr);
      EXPECT_EQ(port::Narrow(name), m->name);
      EXPECT_EQ(port::Narrow(help), HelpText(m->name));
      ::SysFreeString(name);
      ::SysFreeString(help);
      const ParamInfo* result = ResultParam(*m);
      EXPECT_EQ(static_cast<size_t>(f->cParams), m->params.size() - (result != nullptr ? 1 : 0)) << m->name;
      for (int p = 0; p < f->cParams; ++p) {
        const USHORT flags = f->lprgelemdescParam[p].paramdesc.wParamFlags;
        const bool unmarked = m->params[p].direction == ParamDirection::kUnmarked;
        EXPECT_EQ(flags, unmarked ? PARAMFLAG_NONE : PARAMFLAG_FIN) << m->name << " " << p;
      }
    }
    iupload->ReleaseFuncDesc(f);
  }
  EXPECT_EQ(seen, kMethodCount);
  iupload->Release();

  ITypeInfo* events = nullptr;
  ASSERT_EQ(lib->GetTypeInfoOfGuid(DIID__IUploadEvents, &events), S_OK);
  ASSERT_EQ(events->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->cFuncs, kEventCount);
  events->ReleaseTypeAttr(attr);
  for (int i = 0; i < kEventCount; ++i) {
    FUNCDESC* f = nullptr;
    ASSERT_EQ(events->GetFuncDesc(i, &f), S_OK);
    const EventInfo* e = FindEvent(static_cast<int>(f->memid));
    ASSERT_NE(e, nullptr);
    BSTR name = nullptr, help = nullptr;
    events->GetDocumentation(f->memid, &name, &help, nullptr, nullptr);
    EXPECT_EQ(port::Narrow(name), e->name);
    EXPECT_EQ(port::Narrow(help), HelpText(e->name));
    ::SysFreeString(name);
    ::SysFreeString(help);
    EXPECT_EQ(f->cParams, 1);
    events->ReleaseFuncDesc(f);
  }
  events->Release();
  lib->Release();
}

// Against vexa-server on the Linux side (com_host_test.sh starts it and passes its address).
TEST_F(ComHostTest, LogsInAndUploadsAFileAndAFolder) {
  const char* account = std::getenv("VEXA_TEST_ACCOUNT");
  const char* password = std::getenv("VEXA_TEST_PASSWORD");
  const char* file = std::getenv("VEXA_TEST_FILE");
  const char* folder = std::getenv("VEXA_TEST_FOLDER");
  if (account == nullptr || password == nullptr || file == nullptr || folder == nullptr) {
    GTEST_SKIP() << "no server given";
  }
  IConnectionPointContainer* container = nullptr;
  ASSERT_EQ(control_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)),
            S_OK);
  IConnectionPoint* point = nullptr;
  ASSERT_EQ(container->FindConnectionPoint(DIID__IUploadEvents, &point), S_OK);
  container->Release();
  EventRecorder first, second;
  DWORD first_cookie = 0, second_cookie = 0;
  ASSERT_EQ(point->Advise(&first, &first_cookie), S_OK);
  ASSERT_EQ(point->Advise(&second, &second_cookie), S_OK);

  VARIANT result;
  ASSERT_EQ(
      Call(L"Login",
           {Text(port::Widen(account)), Text(port::Widen(password)), Number(VT_UI1, 0), Number(VT_UI1, 0)},
           &result),
      S_OK);
  ASSERT_TRUE(PumpUntil([&] { return !first.events.empty(); })) << "no LoginEvent";
  EXPECT_EQ(first.events[0].id, kLoginEvent);
  EXPECT_EQ(Unescape(first.events[0].payload), L"1|ok");
  ASSERT_EQ(second.events.size(), 1u);  // every sink, in connection order
  ASSERT_EQ(Call(L"GetTarget", {}, &result), S_OK);
  const std::wstring target = result.bstrVal;
  ::VariantClear(&result);

  // The last progress row of `path`, once it reports Completed (5) or Failed (4).
  auto final_row = [&](const std::wstring& path) -> std::vector<std::wstring> {
    for (auto it = first.events.rbegin(); it != first.events.rend(); ++it) {
      if (it->id != kProgressEvent) continue;
      std::vector<std::wstring> f = Fields(Unescape(it->payload));
      if (f.size() == 14 && f[1] == path && (f[6] == L"5" || f[6] == L"4")) return f;
    }
    return {};
  };
  for (const char* path : {file, folder}) {
    const std::wstring wpath = port::Widen(path);
    ASSERT_EQ(Call(L"AddUpload", {Text(wpath), Text(target), Number(VT_I2, 0), Number(VT_UI1, 1)}, &result),
              S_OK);
    ASSERT_TRUE(PumpUntil([&] { return !final_row(wpath).empty(); })) << "no final report of " << path;
    const std::vector<std::wstring> row = final_row(wpath);
    EXPECT_EQ(row[6], L"5") << path << ": error " << port::Narrow(row[9]) << " " << port::Narrow(row[10]);
    EXPECT_EQ(row[2], row[3]);  // all bytes done
    EXPECT_EQ(row[7], L"100.00%");
    EXPECT_EQ(row[12], path == folder ? L"1" : L"0");
  }
  EXPECT_EQ(point->Unadvise(first_cookie), S_OK);
  EXPECT_EQ(point->Unadvise(first_cookie), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(point->Unadvise(second_cookie), S_OK);
  point->Release();
}

}  // namespace
}  // namespace vexa
