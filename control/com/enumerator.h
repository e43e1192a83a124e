#ifndef VEXA_CONTROL_COM_ENUMERATOR_H_
#define VEXA_CONTROL_COM_ENUMERATOR_H_

// The IEnumXxx pattern over a snapshot: an enumerator copies the items when it
// is made (holding a reference to each item's interface), so connecting or
// disconnecting while a caller walks it changes nothing it sees.

#include <windows.h>
#include <ocidl.h>

#include <algorithm>
#include <new>
#include <vector>

#include "control/com/com_module.h"

namespace vexa::com {

inline IUnknown* UnknownOf(IConnectionPoint* point) { return point; }
inline IUnknown* UnknownOf(const CONNECTDATA& data) { return data.pUnk; }

// `Enum` is the enumerator interface (IEnumConnections, IEnumConnectionPoints),
// `Item` what its Next hands out.
template <typename Enum, typename Item>
class Enumerator : public Enum {
 public:
  // A new enumerator with one reference, for the caller; null when out of memory.
  static Enumerator* Create(REFIID iid, const std::vector<Item>& items, size_t position = 0) {
    return new (std::nothrow) Enumerator(iid, items, position);
  }

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == iid_) {
      *out = static_cast<Enum*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ::InterlockedIncrement(&refs_); }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = ::InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return left;
  }

  // Each item handed out carries a reference for the caller.
  STDMETHODIMP Next(ULONG count, Item* out, ULONG* fetched) override {
    if (out == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
    ULONG n = 0;
    for (; n < count && position_ < items_.size(); ++n, ++position_) {
      out[n] = items_[position_];
      UnknownOf(out[n])->AddRef();
    }
    if (fetched != nullptr) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    const size_t left = items_.size() - position_;
    position_ += std::min<size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    position_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(Enum** out) override {
    if (out == nullptr) return E_POINTER;
    *out = Create(iid_, items_, position_);
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
  }

 private:
  Enumerator(REFIID iid, const std::vector<Item>& items, size_t position)
      : iid_(iid), items_(items), position_(position) {
    for (const Item& item : items_) UnknownOf(item)->AddRef();
    AddObject();
  }
  virtual ~Enumerator() {
    for (const Item& item : items_) UnknownOf(item)->Release();
    ReleaseObject();
  }

  LONG refs_ = 1;
  const IID iid_;
  const std::vector<Item> items_;
  size_t position_;
};

using ConnectionEnumerator = Enumerator<IEnumConnections, CONNECTDATA>;
using ConnectionPointEnumerator = Enumerator<IEnumConnectionPoints, IConnectionPoint*>;

}  // namespace vexa::com

#endif  // VEXA_CONTROL_COM_ENUMERATOR_H_
