// A script host's view of the registered control: created by ProgID, its type library, its safety
// answers and its events. Run by com_host_test.sh after a per-user registration.
#include <windows.h>
#include <objsafe.h>
#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "control/com/com_module.h"
#include "control/com/ievexaupload_plugin.h"
#include "control/com/upload_object.h"
#include "control/control.h"
#include "control/method_table.h"
#include "gtest/gtest.h"
#include "port/win32/wide_path.h"

// Live heap blocks of kTracedSize bytes, to see that each report text the
// control's window is handed is freed exactly once. The size is that of a
// string of kTracedSize - 1 characters, which nothing else here allocates.
namespace {
constexpr size_t kTracedSize = 3001;
std::atomic<int> g_traced_live{0};
constexpr size_t kHeader = 16;  // keeps malloc's alignment

void* TracedAlloc(size_t n) {
  auto* p = static_cast<char*>(std::malloc(n + kHeader));
  if (p == nullptr) throw std::bad_alloc();
  *reinterpret_cast<size_t*>(p) = n;
  if (n == kTracedSize) ++g_traced_live;
  return p + kHeader;
}

void TracedFree(void* block) {
  if (block == nullptr) return;
  char* p = static_cast<char*>(block) - kHeader;
  if (*reinterpret_cast<size_t*>(p) == kTracedSize) --g_traced_live;
  std::free(p);
}
}  // namespace

void* operator new(size_t n) { return TracedAlloc(n); }
void* operator new[](size_t n) { return TracedAlloc(n); }
void operator delete(void* p) noexcept { TracedFree(p); }
void operator delete[](void* p) noexcept { TracedFree(p); }
void operator delete(void* p, size_t) noexcept { TracedFree(p); }
void operator delete[](void* p, size_t) noexcept { TracedFree(p); }

namespace vexa {
namespace {

// Records the control's events, as a page's handlers would see them.
class EventRecorder : public IDispatch {
 public:
  struct Event {
    DISPID id;
    std::wstring payload;
    DWORD thread;
  };
  std::vector<Event> events;

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID__IUploadEvents) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // Lives on the test's stack: the count starts at 0 and must be back at 0
  // when the control is done with it.
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
  STDMETHODIMP_(ULONG) Release() override {
    EXPECT_GT(refs_, 0) << "released more often than referenced";
    return static_cast<ULONG>(--refs_);
  }
  int refs() const { return refs_; }
  STDMETHODIMP GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT*,
                      EXCEPINFO*, UINT*) override {
    EXPECT_TRUE(::IsEqualGUID(riid, IID_NULL));
    EXPECT_EQ(lcid, static_cast<LCID>(LOCALE_USER_DEFAULT));
    EXPECT_EQ(flags, DISPATCH_METHOD);
    EXPECT_EQ(params->cArgs, 1u);
    EXPECT_EQ(params->rgvarg[0].vt, VT_BSTR);
    events.push_back({id, params->rgvarg[0].bstrVal, ::GetCurrentThreadId()});
    if (on_event) on_event();
    return S_OK;
  }
  // Runs after each event is recorded, as a page's handler would.
  std::function<void()> on_event;

 private:
  int refs_ = 0;
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

// Pumps the thread's messages (the events arrive through them) until `done` or `limit_ms` passed.
template <typename Done>
bool PumpUntil(Done done, DWORD limit_ms = 60000) {
  const DWORD start = ::GetTickCount();
  while (!done()) {
    if (::GetTickCount() - start > limit_ms) return false;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
  }
  return true;
}

void PumpFor(DWORD ms) {
  PumpUntil([] { return false; }, ms);
}

// Connects `sink` to the events of `object`; returns the cookie (0 on failure).
DWORD Connect(IUnknown* object, IDispatch* sink, IConnectionPoint** point_out = nullptr) {
  IConnectionPointContainer* container = nullptr;
  if (FAILED(object->QueryInterface(IID_IConnectionPointContainer,
                                    reinterpret_cast<void**>(&container))))
    return 0;
  IConnectionPoint* point = nullptr;
  HRESULT hr = container->FindConnectionPoint(DIID__IUploadEvents, &point);
  container->Release();
  if (FAILED(hr)) return 0;
  DWORD cookie = 0;
  point->Advise(sink, &cookie);
  if (point_out != nullptr) {
    *point_out = point;
  } else {
    point->Release();
  }
  return cookie;
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

  // Calls a method of `target` by name through IDispatch, as a script does.
  static HRESULT CallOn(IDispatch* target, const wchar_t* name, std::vector<VARIANT> args,
                        VARIANT* result) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id;
    HRESULT hr = target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    ::VariantInit(result);
    return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result,
                          nullptr, nullptr);
  }
  HRESULT Call(const wchar_t* name, std::vector<VARIANT> args, VARIANT* result) {
    return CallOn(control_, name, std::move(args), result);
  }

  // The control's connection points, through its container as a page's host
  // walks them.
  void EnumConnectionPoints(IEnumConnectionPoints** points) {
    IConnectionPointContainer* container = nullptr;
    ASSERT_EQ(control_->QueryInterface(IID_IConnectionPointContainer,
                                       reinterpret_cast<void**>(&container)),
              S_OK);
    ASSERT_EQ(container->EnumConnectionPoints(points), S_OK);
    container->Release();
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
    EXPECT_EQ(control_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK)
        << m.name;
    EXPECT_EQ(id, m.dispid) << m.name;
  }
  ASSERT_EQ(Call(L"GetAllowUpload", {}, &v), S_OK);
  EXPECT_EQ(v.vt, VT_UI1);
  EXPECT_EQ(v.bVal, 0);
  // Names are looked up for the default interface only.
  LPOLESTR name[] = {const_cast<LPOLESTR>(L"LoadTask")};
  DISPID id = 0;
  EXPECT_EQ(control_->GetIDsOfNames(IID_IUpload, name, 1, LOCALE_USER_DEFAULT, &id),
            DISP_E_UNKNOWNINTERFACE);
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
  // Made safe through IDispatch only: the other interfaces keep their own options.
  for (REFIID other : {IID_IPersistPropertyBag, IID_IPersistStreamInit}) {
    supported = enabled = 99;
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(other, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, 3u);
    EXPECT_EQ(enabled, 0u);
  }
  // An interface the control does not have.
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IPersistStorage, &supported, &enabled),
            E_NOINTERFACE);
  EXPECT_EQ(supported, 0u);
  EXPECT_EQ(enabled, 0u);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IPersistStorage, 1, 1), E_NOINTERFACE);
  safety->Release();

  IProvideClassInfo2* info = nullptr;
  ASSERT_EQ(control_->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&info)),
            S_OK);
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
      EXPECT_EQ(static_cast<size_t>(f->cParams), m->params.size() - (result != nullptr ? 1 : 0))
          << m->name;
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
  ASSERT_EQ(
      control_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)),
      S_OK);
  IConnectionPoint* point = nullptr;
  ASSERT_EQ(container->FindConnectionPoint(DIID__IUploadEvents, &point), S_OK);
  container->Release();
  EventRecorder first, second;
  DWORD first_cookie = 0, second_cookie = 0;
  ASSERT_EQ(point->Advise(&first, &first_cookie), S_OK);
  ASSERT_EQ(point->Advise(&second, &second_cookie), S_OK);

  VARIANT result;
  ASSERT_EQ(Call(L"Login",
                 {Text(port::Widen(account)), Text(port::Widen(password)), Number(VT_UI1, 0),
                  Number(VT_UI1, 0)},
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
    ASSERT_EQ(Call(L"AddUpload", {Text(wpath), Text(target), Number(VT_I2, 0), Number(VT_UI1, 1)},
                   &result),
              S_OK);
    ASSERT_TRUE(PumpUntil([&] { return !final_row(wpath).empty(); }))
        << "no final report of " << path;
    const std::vector<std::wstring> row = final_row(wpath);
    EXPECT_EQ(row[6], L"5") << path << ": error " << port::Narrow(row[9]) << " "
                            << port::Narrow(row[10]);
    EXPECT_EQ(row[2], row[3]);  // all bytes done
    EXPECT_EQ(row[7], L"100.00%");
    EXPECT_EQ(row[12], path == folder ? L"1" : L"0");
  }
  // For the comparison with the Linux control's payloads (compare_payloads.py).
  if (const char* log = std::getenv("VEXA_PAYLOAD_LOG")) {
    FILE* f = std::fopen(log, "w");
    ASSERT_NE(f, nullptr);
    for (const EventRecorder::Event& e : first.events) {
      if (e.id == kLoginEvent || e.id == kProgressEvent) {
        std::fprintf(f, "%ld\t%s\n", static_cast<long>(e.id), port::Narrow(e.payload).c_str());
      }
    }
    std::fclose(f);
  }
  EXPECT_EQ(point->Unadvise(first_cookie), S_OK);
  EXPECT_EQ(point->Unadvise(first_cookie), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(point->Unadvise(second_cookie), S_OK);
  point->Release();
  EXPECT_EQ(first.refs(), 0);
  EXPECT_EQ(second.refs(), 0);
}

// EnumConnectionPoints and EnumConnections as a container walks them.
TEST_F(ComHostTest, EnumeratesItsConnectionPointAndTheSinksInConnectionOrder) {
  IEnumConnectionPoints* points = nullptr;
  ASSERT_NO_FATAL_FAILURE(EnumConnectionPoints(&points));
  IConnectionPoint* got[2] = {};
  ULONG fetched = 9;
  EXPECT_EQ(points->Next(2, got, &fetched), S_FALSE);  // only one
  ASSERT_EQ(fetched, 1u);
  IID iid;
  ASSERT_EQ(got[0]->GetConnectionInterface(&iid), S_OK);
  EXPECT_TRUE(::IsEqualIID(iid, DIID__IUploadEvents));
  IConnectionPoint* point = got[0];
  EXPECT_EQ(points->Next(1, got, nullptr), S_FALSE);
  EXPECT_EQ(points->Reset(), S_OK);
  EXPECT_EQ(points->Skip(1), S_OK);
  EXPECT_EQ(points->Skip(1), S_FALSE);
  IEnumConnectionPoints* clone = nullptr;
  EXPECT_EQ(points->Reset(), S_OK);
  ASSERT_EQ(points->Clone(&clone), S_OK);
  ASSERT_EQ(clone->Next(1, got, nullptr), S_OK);
  EXPECT_EQ(got[0], point);
  got[0]->Release();
  clone->Release();
  points->Release();

  EventRecorder sinks[3];
  DWORD cookies[3];
  for (int i = 0; i < 3; ++i) ASSERT_EQ(point->Advise(&sinks[i], &cookies[i]), S_OK);
  IEnumConnections* connections = nullptr;
  ASSERT_EQ(point->EnumConnections(&connections), S_OK);
  EXPECT_EQ(point->Unadvise(cookies[1]), S_OK);  // the enumeration is a snapshot
  CONNECTDATA data[4] = {};
  ASSERT_EQ(connections->Skip(1), S_OK);
  IEnumConnections* rest = nullptr;
  ASSERT_EQ(connections->Clone(&rest), S_OK);
  ASSERT_EQ(connections->Reset(), S_OK);
  ASSERT_EQ(connections->Next(4, data, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(data[i].dwCookie, cookies[i]);
    EXPECT_EQ(data[i].pUnk, static_cast<IDispatch*>(&sinks[i]));
    data[i].pUnk->Release();
  }
  ASSERT_EQ(rest->Next(1, data, nullptr), S_OK);  // the clone kept its place
  EXPECT_EQ(data[0].dwCookie, cookies[1]);
  data[0].pUnk->Release();
  rest->Release();
  connections->Release();

  ASSERT_EQ(point->EnumConnections(&connections), S_OK);
  ASSERT_EQ(connections->Next(4, data, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(data[0].dwCookie, cookies[0]);
  EXPECT_EQ(data[1].dwCookie, cookies[2]);
  for (ULONG i = 0; i < fetched; ++i) data[i].pUnk->Release();
  connections->Release();
  point->Unadvise(cookies[0]);
  point->Unadvise(cookies[2]);
  point->Release();
  for (const EventRecorder& sink : sinks) EXPECT_EQ(sink.refs(), 0);
}

// The DLL stays loaded while anything of it lives: an object, an enumerator
// that holds the object, or threads of an engine the object started.
TEST_F(ComHostTest, CanUnloadOnlyWhenNothingOfTheDllLives) {
  HMODULE dll = ::GetModuleHandleW(L"ievexaupload_plugin.dll");
  ASSERT_NE(dll, nullptr);
  auto can_unload =
      reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(::GetProcAddress(dll, "DllCanUnloadNow"));
  ASSERT_NE(can_unload, nullptr);
  EXPECT_EQ(can_unload(), S_FALSE);
  IEnumConnectionPoints* points = nullptr;
  ASSERT_NO_FATAL_FAILURE(EnumConnectionPoints(&points));
  control_->Release();
  control_ = nullptr;
  EXPECT_EQ(can_unload(), S_FALSE);
  points->Release();
  // An earlier test's engine may still be ending its threads.
  EXPECT_TRUE(PumpUntil([&] { return can_unload() == S_OK; }, 30000));
}

// A browser frees the DLLs of controls no page uses any more: the process's
// crash filter must never point into an image that is gone.
TEST_F(ComHostTest, TheCrashFilterNeverPointsIntoAFreedImage) {
  HMODULE dll = ::GetModuleHandleW(L"ievexaupload_plugin.dll");
  ASSERT_NE(dll, nullptr);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(dll);
  const auto* nt =
      reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<const char*>(dll) + dos->e_lfanew);
  const uintptr_t begin = reinterpret_cast<uintptr_t>(dll);
  const uintptr_t end = begin + nt->OptionalHeader.SizeOfImage;
  auto in_image = [&](LPTOP_LEVEL_EXCEPTION_FILTER f) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(f);
    return at >= begin && at < end;
  };
  LPTOP_LEVEL_EXCEPTION_FILTER filter = ::SetUnhandledExceptionFilter(nullptr);
  ::SetUnhandledExceptionFilter(filter);
  ASSERT_TRUE(in_image(filter)) << "the DLL installed no filter";

  auto can_unload =
      reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(::GetProcAddress(dll, "DllCanUnloadNow"));
  ASSERT_NE(can_unload, nullptr);
  control_->Release();
  control_ = nullptr;
  ASSERT_TRUE(PumpUntil([&] { return can_unload() == S_OK; }, 30000));
  ::CoFreeUnusedLibrariesEx(0, 0);
  filter = ::SetUnhandledExceptionFilter(nullptr);
  ::SetUnhandledExceptionFilter(filter);
  const bool mapped = ::GetModuleHandleW(L"ievexaupload_plugin.dll") == dll;
  EXPECT_TRUE(mapped || !in_image(filter)) << "the crash filter points into the freed DLL";
}

// The document a container puts the control in, as a browser's document
// answers for its address: the automation property "URL".
class TestDocument : public IOleContainer, public IDispatch {
 public:
  explicit TestDocument(const wchar_t* url) : url_(url) {}
  int refs() const { return refs_; }

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IParseDisplayName || riid == IID_IOleContainer) {
      *out = static_cast<IOleContainer*>(this);
    } else if (riid == IID_IDispatch) {
      *out = static_cast<IDispatch*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
  STDMETHODIMP_(ULONG) Release() override {
    EXPECT_GT(refs_, 0) << "released more often than referenced";
    return static_cast<ULONG>(--refs_);
  }
  // IOleContainer
  STDMETHODIMP ParseDisplayName(IBindCtx*, LPOLESTR, ULONG*, IMoniker**) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP EnumObjects(DWORD, IEnumUnknown**) override { return E_NOTIMPL; }
  STDMETHODIMP LockContainer(BOOL) override { return S_OK; }
  // IDispatch: "URL" only.
  STDMETHODIMP GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (count != 1 || std::wstring(names[0]) != L"URL") return DISP_E_UNKNOWNNAME;
    ids[0] = kUrlId;
    return S_OK;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    if (id != kUrlId || !(flags & DISPATCH_PROPERTYGET) || result == nullptr)
      return DISP_E_MEMBERNOTFOUND;
    result->vt = VT_BSTR;
    result->bstrVal = ::SysAllocString(url_);
    return S_OK;
  }

 private:
  static constexpr DISPID kUrlId = 7;
  const wchar_t* url_;
  int refs_ = 0;
};

// The container side of in-place activation: a site in a real top-level window.
class TestSite : public IOleClientSite, public IOleInPlaceSite {
 public:
  explicit TestSite(HWND window) : window_(window) {}
  int activated = 0, deactivated = 0, ui_activated = 0, ui_deactivated = 0;
  // The document the site tells of; none when null.
  TestDocument* document = nullptr;
  // What a container's page script does from inside the notices.
  std::function<void()> on_in_place_activate, on_ui_activate, on_ui_deactivate;
  int refs() const { return refs_; }

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IOleClientSite) {
      *out = static_cast<IOleClientSite*>(this);
    } else if (riid == IID_IOleWindow || riid == IID_IOleInPlaceSite) {
      *out = static_cast<IOleInPlaceSite*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  // Lives on the test's stack: counted from 0, back at 0 once the control
  // has let go of it.
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
  STDMETHODIMP_(ULONG) Release() override {
    EXPECT_GT(refs_, 0) << "released more often than referenced";
    return static_cast<ULONG>(--refs_);
  }
  // IOleClientSite
  STDMETHODIMP SaveObject() override { return S_OK; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  STDMETHODIMP GetContainer(IOleContainer** c) override {
    *c = document;
    if (document == nullptr) return E_NOINTERFACE;
    document->AddRef();
    return S_OK;
  }
  STDMETHODIMP ShowObject() override { return S_OK; }
  STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }
  // IOleInPlaceSite
  STDMETHODIMP GetWindow(HWND* w) override {
    *w = window_;
    return S_OK;
  }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnInPlaceActivate() override {
    ++activated;
    if (on_in_place_activate) on_in_place_activate();
    return S_OK;
  }
  STDMETHODIMP OnUIActivate() override {
    ++ui_activated;
    if (on_ui_activate) on_ui_activate();
    return S_OK;
  }
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT pos,
                                LPRECT clip, LPOLEINPLACEFRAMEINFO info) override {
    *frame = nullptr;
    *doc = nullptr;
    *pos = {10, 20, 210, 120};
    *clip = *pos;
    info->fMDIApp = FALSE;
    info->hwndFrame = window_;
    info->haccel = nullptr;
    info->cAccelEntries = 0;
    return S_OK;
  }
  STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
  STDMETHODIMP OnUIDeactivate(BOOL) override {
    ++ui_deactivated;
    if (on_ui_deactivate) on_ui_deactivate();
    return S_OK;
  }
  STDMETHODIMP OnInPlaceDeactivate() override {
    ++deactivated;
    return S_OK;
  }
  STDMETHODIMP DiscardUndoState() override { return E_NOTIMPL; }
  STDMETHODIMP DeactivateAndUndo() override { return E_NOTIMPL; }
  STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }

 private:
  HWND window_;
  int refs_ = 0;
};

// Where `child` sits in its parent's client area.
RECT PlaceOf(HWND child) {
  RECT r;
  ::GetWindowRect(child, &r);
  ::MapWindowPoints(HWND_DESKTOP, ::GetParent(child), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

TEST_F(ComHostTest, ActivatesInPlaceInsideAContainerWindow) {
  HWND frame = ::CreateWindowExW(0, L"STATIC", L"container", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                 400, 300, nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(frame, nullptr);
  TestSite site(frame);
  IOleObject* ole = nullptr;
  ASSERT_EQ(control_->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)), S_OK);
  DWORD misc = 0;
  EXPECT_EQ(ole->GetMiscStatus(DVASPECT_CONTENT, &misc), S_OK);
  EXPECT_EQ(misc, 131473u);
  IOleInPlaceObject* in_place = nullptr;
  ASSERT_EQ(control_->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&in_place)),
            S_OK);
  HWND child = nullptr;
  EXPECT_EQ(in_place->GetWindow(&child), E_FAIL);  // no site yet: only the message-only window

  ASSERT_EQ(ole->SetClientSite(&site), S_OK);
  ASSERT_EQ(ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, frame, nullptr), S_OK);
  EXPECT_EQ(site.activated, 1);
  EXPECT_EQ(site.ui_activated, 0);
  ASSERT_EQ(in_place->GetWindow(&child), S_OK);
  ASSERT_TRUE(::IsWindow(child));
  EXPECT_EQ(::GetParent(child), frame);
  EXPECT_TRUE(::IsWindowVisible(child));
  RECT r = PlaceOf(child);
  EXPECT_EQ(r.left, 10);
  EXPECT_EQ(r.top, 20);
  EXPECT_EQ(r.right, 210);
  EXPECT_EQ(r.bottom, 120);
  const RECT moved = {30, 40, 130, 90};
  ASSERT_EQ(in_place->SetObjectRects(&moved, &moved), S_OK);
  r = PlaceOf(child);
  EXPECT_EQ(r.left, 30);
  EXPECT_EQ(r.bottom, 90);

  // Events still arrive while the control sits in the page.
  const char* account = std::getenv("VEXA_TEST_ACCOUNT");
  const char* password = std::getenv("VEXA_TEST_PASSWORD");
  if (account != nullptr && password != nullptr) {
    EventRecorder events;
    IConnectionPoint* point = nullptr;
    const DWORD cookie = Connect(control_, &events, &point);
    ASSERT_NE(cookie, 0u);
    VARIANT result;
    ASSERT_EQ(Call(L"Login",
                   {Text(port::Widen(account)), Text(port::Widen(password)), Number(VT_UI1, 0),
                    Number(VT_UI1, 0)},
                   &result),
              S_OK);
    ASSERT_TRUE(PumpUntil([&] { return !events.events.empty(); })) << "no LoginEvent";
    EXPECT_EQ(events.events[0].id, kLoginEvent);
    EXPECT_EQ(Unescape(events.events[0].payload), L"1|ok");
    EXPECT_EQ(events.events[0].thread, ::GetCurrentThreadId());
    ASSERT_EQ(Call(L"Logout", {}, &result), S_OK);
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
    point->Release();
    EXPECT_EQ(events.refs(), 0);
  }

  EXPECT_EQ(in_place->InPlaceDeactivate(), S_OK);
  EXPECT_FALSE(::IsWindow(child));
  EXPECT_EQ(site.deactivated, 1);
  // Activated again (UI-active this time), then closed by the container.
  ASSERT_EQ(ole->DoVerb(OLEIVERB_UIACTIVATE, nullptr, &site, 0, frame, &moved), S_OK);
  EXPECT_EQ(site.ui_activated, 1);
  ASSERT_EQ(in_place->GetWindow(&child), S_OK);
  EXPECT_EQ(PlaceOf(child).left, 30);
  EXPECT_EQ(ole->Close(OLECLOSE_NOSAVE), S_OK);
  EXPECT_FALSE(::IsWindow(child));
  EXPECT_EQ(site.deactivated, 2);
  EXPECT_EQ(ole->SetClientSite(nullptr), S_OK);
  EXPECT_EQ(site.refs(), 0);
  in_place->Release();
  ole->Release();
  ::DestroyWindow(frame);
}

// A page's script deactivates or closes the control from inside the
// container's notices; the control must neither crash nor keep anything of
// the container afterwards.
TEST_F(ComHostTest, SurvivesAContainerThatDeactivatesFromItsNotices) {
  HWND frame = ::CreateWindowExW(0, L"STATIC", L"container", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                 400, 300, nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(frame, nullptr);
  IOleObject* ole = nullptr;
  ASSERT_EQ(control_->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)), S_OK);
  IOleInPlaceObject* in_place = nullptr;
  ASSERT_EQ(control_->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&in_place)),
            S_OK);
  enum When { kInPlaceActivate, kUIActivate, kUIDeactivate };
  struct Case {
    const char* name;
    When when;
    bool close;  // Close instead of InPlaceDeactivate
  } cases[] = {
      {"InPlaceDeactivate from OnUIDeactivate", kUIDeactivate, false},
      {"Close from OnUIDeactivate", kUIDeactivate, true},
      {"InPlaceDeactivate from OnUIActivate", kUIActivate, false},
      {"InPlaceDeactivate from OnInPlaceActivate", kInPlaceActivate, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestSite site(frame);
    bool again = true;  // each notice calls back once
    auto back = [&] {
      if (!again) return;
      again = false;
      c.close ? ole->Close(OLECLOSE_NOSAVE) : in_place->InPlaceDeactivate();
    };
    if (c.when == kUIActivate) site.on_ui_activate = back;
    if (c.when == kInPlaceActivate) site.on_in_place_activate = back;
    ASSERT_EQ(ole->SetClientSite(&site), S_OK);
    const HRESULT activated = ole->DoVerb(OLEIVERB_UIACTIVATE, nullptr, &site, 0, frame, nullptr);
    if (c.when != kUIDeactivate) {
      EXPECT_TRUE(FAILED(activated));
    } else {
      ASSERT_EQ(activated, S_OK);
      site.on_ui_deactivate = back;
      EXPECT_EQ(in_place->InPlaceDeactivate(), S_OK);
      EXPECT_EQ(site.ui_deactivated, 1);
    }
    HWND child = nullptr;
    EXPECT_EQ(in_place->GetWindow(&child), E_FAIL);  // no window left
    EXPECT_EQ(site.deactivated, site.activated);     // each activation ended once
    EXPECT_EQ(ole->SetClientSite(nullptr), S_OK);
    EXPECT_EQ(site.refs(), 0);
  }
  in_place->Release();
  ole->Release();
  ::DestroyWindow(frame);
}

// A browser puts the control in a document and asks for scripting safety:
// only a page of a registered origin gets it (com_host_test.sh registers
// https://good.example for the user), whichever way the control is put there.
TEST_F(ComHostTest, OnlyPagesOfRegisteredOriginsMayScriptIt) {
  enum Site { kClientSite, kObjectWithSite };
  const struct {
    const char* name;
    const wchar_t* url;
    Site site;
    bool allowed;
  } cases[] = {
      {"registered, embedded", L"https://good.example/upload.html", kClientSite, true},
      {"registered, object with site", L"https://GOOD.example:443/a/b?c#d", kObjectWithSite, true},
      {"unregistered, embedded", L"http://evil.example/", kClientSite, false},
      {"unregistered, object with site", L"http://evil.example/", kObjectWithSite, false},
      {"registered host in another's path", L"http://evil.example/https://good.example/",
       kClientSite, false},
      {"registered host over plain http", L"http://good.example/", kObjectWithSite, false},
      {"local file", L"file:///C:/upload.html", kClientSite, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    IDispatch* control = nullptr;
    ASSERT_EQ(::CoCreateInstance(CLSID_Upload, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                 reinterpret_cast<void**>(&control)),
              S_OK);
    TestDocument document(c.url);
    TestSite site(nullptr);
    site.document = &document;
    IOleObject* ole = nullptr;
    IObjectWithSite* with_site = nullptr;
    if (c.site == kClientSite) {
      ASSERT_EQ(control->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)), S_OK);
      ASSERT_EQ(ole->SetClientSite(&site), S_OK);
    } else {
      ASSERT_EQ(control->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(&with_site)),
                S_OK);
      ASSERT_EQ(with_site->SetSite(static_cast<IOleClientSite*>(&site)), S_OK);
    }
    IObjectSafety* safety = nullptr;
    ASSERT_EQ(control->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 3), c.allowed ? S_OK : E_FAIL);
    DWORD supported = 9, enabled = 9;
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled),
              c.allowed ? S_OK : E_FAIL);
    EXPECT_EQ(supported, c.allowed ? 3u : 0u);
    EXPECT_EQ(enabled, c.allowed ? 3u : 0u);
    VARIANT v;
    EXPECT_EQ(CallOn(control, L"GetAccountInfo", {}, &v), c.allowed ? S_OK : E_ACCESSDENIED);
    ::VariantClear(&v);
    EXPECT_EQ(
        CallOn(control, L"AddUpload",
               {Text(L"C:\\windows\\win.ini"), Text(L"/"), Number(VT_I2, 0), Number(VT_UI1, 1)},
               &v),
        c.allowed ? S_OK : E_ACCESSDENIED);
    safety->Release();
    if (ole != nullptr) {
      EXPECT_EQ(ole->SetClientSite(nullptr), S_OK);
      ole->Release();
    } else {
      EXPECT_EQ(with_site->SetSite(nullptr), S_OK);
      with_site->Release();
    }
    control->Release();
    EXPECT_EQ(site.refs(), 0);
    EXPECT_EQ(document.refs(), 0);
  }
}

// `new ActiveXObject` in a page: the browser asks for safety before it tells
// the document. No call goes through until a registered document is told.
TEST_F(ComHostTest, ScriptingAskedForBeforeTheDocumentWaitsForIt) {
  IObjectSafety* safety = nullptr;
  ASSERT_EQ(control_->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 3), S_OK);
  VARIANT v;
  EXPECT_EQ(Call(L"GetPluginVersion", {}, &v), E_ACCESSDENIED);
  TestDocument document(L"https://good.example/");
  TestSite site(nullptr);
  site.document = &document;
  IObjectWithSite* with_site = nullptr;
  ASSERT_EQ(control_->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(&with_site)),
            S_OK);
  ASSERT_EQ(with_site->SetSite(static_cast<IOleClientSite*>(&site)), S_OK);
  IOleClientSite* got = nullptr;
  EXPECT_EQ(with_site->GetSite(IID_IOleClientSite, reinterpret_cast<void**>(&got)), S_OK);
  EXPECT_EQ(got, static_cast<IOleClientSite*>(&site));
  if (got != nullptr) got->Release();
  EXPECT_EQ(Call(L"GetPluginVersion", {}, &v), S_OK);
  ::VariantClear(&v);
  EXPECT_EQ(with_site->SetSite(nullptr), S_OK);
  with_site->Release();
  safety->Release();
  EXPECT_EQ(site.refs(), 0);
  EXPECT_EQ(document.refs(), 0);
}

// The view draws the toolbox bitmap (resource 102) on a blank area.
TEST_F(ComHostTest, DrawsItsBitmapOnABlankArea) {
  IViewObject2* view = nullptr;
  ASSERT_EQ(control_->QueryInterface(IID_IViewObject2, reinterpret_cast<void**>(&view)), S_OK);
  HDC screen = ::GetDC(nullptr);
  HDC dc = ::CreateCompatibleDC(screen);
  HBITMAP target = ::CreateCompatibleBitmap(screen, 64, 64);
  ::ReleaseDC(nullptr, screen);
  HGDIOBJ old = ::SelectObject(dc, target);
  const RECTL bounds = {0, 0, 64, 64};
  ASSERT_EQ(
      view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr, nullptr, 0),
      S_OK);
  EXPECT_EQ(::GetPixel(dc, 2, 13), RGB(0x10, 0x60, 0xC0));  // the tray's left edge
  EXPECT_EQ(::GetPixel(dc, 0, 0), RGB(0xFF, 0xFF, 0xFF));
  EXPECT_EQ(::GetPixel(dc, 40, 40), ::GetSysColor(COLOR_WINDOW));
  EXPECT_EQ(
      view->Draw(DVASPECT_ICON, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr, nullptr, 0),
      DV_E_DVASPECT);
  ::SelectObject(dc, old);
  ::DeleteObject(target);
  ::DeleteDC(dc);
  view->Release();

  // Nothing to persist, but containers that save pages ask.
  IPersistStreamInit* stream = nullptr;
  ASSERT_EQ(control_->QueryInterface(IID_IPersistStreamInit, reinterpret_cast<void**>(&stream)),
            S_OK);
  CLSID clsid;
  EXPECT_EQ(stream->GetClassID(&clsid), S_OK);
  EXPECT_TRUE(::IsEqualCLSID(clsid, CLSID_Upload));
  EXPECT_EQ(stream->InitNew(), S_OK);
  EXPECT_EQ(stream->IsDirty(), S_FALSE);
  stream->Release();
  IPersistPropertyBag* bag = nullptr;
  ASSERT_EQ(control_->QueryInterface(IID_IPersistPropertyBag, reinterpret_cast<void**>(&bag)),
            S_OK);
  EXPECT_EQ(bag->Load(nullptr, nullptr), S_OK);
  bag->Release();
}

// The report window, on an object made in this process (the test's own copy
// of the control), so reports can be posted to it directly.
class ReportWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    com::SetModule(::GetModuleHandleW(nullptr));
    object_ = new com::UploadObject();
    ASSERT_TRUE(object_->Init());
    cookie_ = Connect(static_cast<IUpload*>(object_), &events_);
    ASSERT_NE(cookie_, 0u);
    window_ = ::FindWindowExW(HWND_MESSAGE, nullptr, L"VexaUploadControlWindow", nullptr);
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override {
    if (object_ != nullptr) object_->Release();
    // The object let go of every sink with it.
    EXPECT_EQ(events_.refs(), 0);
    ::CoUninitialize();
  }

  com::UploadObject* object_ = nullptr;
  EventRecorder events_;
  DWORD cookie_ = 0;
  HWND window_ = nullptr;
};

TEST_F(ReportWindowTest, FiresEachPostOnTheWindowsThreadInPostingOrder) {
  constexpr int kThreads = 3, kEach = 200;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) {
        PostToCurrentControl(kProgressMessage, std::to_string(t) + ":" + std::to_string(i));
      }
    });
  }
  for (std::thread& p : posters) p.join();
  // A message this object did not post carries no text of its own: ignored.
  ASSERT_TRUE(::PostMessageW(window_, kProgressMessage, 0x1234, 0));
  ASSERT_TRUE(::PostMessageW(window_, kLoginMessage, 0, 0));
  PostToCurrentControl(kLoginMessage, "0|\xE6\x96\x87");
  ASSERT_TRUE(PumpUntil([&] { return events_.events.size() >= kThreads * kEach + 1; }, 30000));
  PumpFor(300);
  ASSERT_EQ(events_.events.size(), static_cast<size_t>(kThreads * kEach + 1));
  std::vector<int> next(kThreads, 0);
  for (int k = 0; k < kThreads * kEach; ++k) {
    const EventRecorder::Event& e = events_.events[k];
    ASSERT_EQ(e.id, kProgressEvent);
    EXPECT_EQ(e.thread, ::GetCurrentThreadId());
    const int t = std::stoi(port::Narrow(e.payload));
    EXPECT_EQ(std::stoi(port::Narrow(e.payload.substr(e.payload.find(L':') + 1))), next[t]++);
  }
  EXPECT_EQ(events_.events.back().id, kLoginEvent);
  EXPECT_EQ(events_.events.back().payload, L"\\u0030\\u007C\\u6587");
}

TEST_F(ReportWindowTest, FreesReportsStillQueuedWhenTheObjectGoes) {
  const int before = g_traced_live.load();
  for (int i = 0; i < 20; ++i)
    PostToCurrentControl(kProgressMessage, std::string(kTracedSize - 1, 'a' + i));
  EXPECT_EQ(g_traced_live.load(), before + 20);  // posted, not yet taken
  object_->Release();
  object_ = nullptr;
  EXPECT_EQ(g_traced_live.load(), before);
  EXPECT_FALSE(::IsWindow(window_));
  PumpFor(300);  // nothing left to deliver, and nothing fired
  EXPECT_TRUE(events_.events.empty());
  EXPECT_EQ(g_traced_live.load(), before);
  // With no control left, a report is dropped at once.
  EXPECT_FALSE(PostToCurrentControl(kProgressMessage, std::string(kTracedSize - 1, 'z')));
  EXPECT_EQ(g_traced_live.load(), before);
}

// A page's handler that disconnects another handler: that one is not called
// for the event under way either.
TEST_F(ReportWindowTest, ASinkDisconnectedDuringAnEventIsNotCalledForIt) {
  EventRecorder later;
  IConnectionPoint* point = nullptr;
  const DWORD later_cookie = Connect(static_cast<IUpload*>(object_), &later, &point);
  ASSERT_NE(later_cookie, 0u);
  bool disconnected = false;
  events_.on_event = [&] {
    if (!disconnected) disconnected = point->Unadvise(later_cookie) == S_OK;
  };
  PostToCurrentControl(kProgressMessage, "row");
  ASSERT_TRUE(PumpUntil([&] { return !events_.events.empty(); }, 30000));
  PumpFor(200);
  EXPECT_TRUE(disconnected);
  EXPECT_TRUE(later.events.empty());
  point->Release();
  EXPECT_EQ(later.refs(), 0);
}

// A page that may not script the control does not hear its uploads either.
TEST_F(ReportWindowTest, APageOfAnUnregisteredOriginHearsNoEvents) {
  TestDocument document(L"http://evil.example/");
  TestSite site(nullptr);
  site.document = &document;
  ASSERT_EQ(object_->SetSite(static_cast<IOleClientSite*>(&site)), S_OK);
  PostToCurrentControl(kProgressMessage, "row");
  PostToCurrentControl(kLoginMessage, "1|ok");
  PumpFor(300);
  EXPECT_TRUE(events_.events.empty());
  EXPECT_EQ(object_->SetSite(nullptr), S_OK);
  EXPECT_EQ(site.refs(), 0);
  EXPECT_EQ(document.refs(), 0);
}

// While the container freezes events they wait, and the last thaw fires them in order.
TEST_F(ReportWindowTest, EventsWaitWhileTheContainerFreezesThem) {
  IOleControl* control = nullptr;
  ASSERT_EQ(object_->QueryInterface(IID_IOleControl, reinterpret_cast<void**>(&control)), S_OK);
  ASSERT_EQ(control->FreezeEvents(TRUE), S_OK);
  ASSERT_EQ(control->FreezeEvents(TRUE), S_OK);  // counted
  PostToCurrentControl(kProgressMessage, "row");
  PostToCurrentControl(kLoginMessage, "1|ok");
  PumpFor(300);
  EXPECT_TRUE(events_.events.empty());
  EXPECT_EQ(control->FreezeEvents(FALSE), S_OK);
  PumpFor(100);
  EXPECT_TRUE(events_.events.empty());  // still frozen once
  EXPECT_EQ(control->FreezeEvents(FALSE), S_OK);
  ASSERT_EQ(events_.events.size(), 2u);
  EXPECT_EQ(events_.events[0].id, kProgressEvent);
  EXPECT_EQ(events_.events[1].id, kLoginEvent);
  control->Release();
}

}  // namespace
}  // namespace vexa
