// platform/com.h
//
// The COM shapes the system is written against, as plain C++: result codes,
// GUIDs, IUnknown, the stream interfaces, IDispatch with its argument types,
// and ComPtr. Interfaces are abstract classes whose methods stand in the same
// order as on Windows. No global state here; the class table, class objects
// and the reference-counting base ComObject are in com_registry.h (which also
// holds the definitions of IID_IDispatch and the BSTR functions).

#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <utility>

namespace cvie {

typedef int32_t HRESULT;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef unsigned int UINT;
typedef uintptr_t HANDLE_PTR;
typedef const wchar_t* LPCWSTR;
typedef wchar_t* LPWSTR;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
constexpr HRESULT E_PENDING = static_cast<HRESULT>(0x8000000A);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT STG_E_INVALIDFUNCTION = static_cast<HRESULT>(0x80030001);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003);
constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006);
constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000B);

inline bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline bool FAILED(HRESULT hr) { return hr < 0; }

// A globally unique identifier; Text() gives the braced upper-case form
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
struct GUID {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];

  bool operator==(const GUID& other) const;
  bool operator!=(const GUID& other) const { return !(*this == other); }
  std::string Text() const;
  std::wstring WideText() const;
  // Parses the braced (or bare) form; false on malformed text.
  static bool FromText(const std::string& text, GUID* out);
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFIID;
typedef const GUID& REFCLSID;

extern const IID IID_IUnknown;
extern const IID IID_ISequentialStream;
extern const IID IID_IStream;
extern const IID IID_IClassFactory;
extern const IID IID_IDispatch;  // {00020400-0000-0000-C000-000000000046}

// The vtable of every interface is exactly its methods, in order, as on
// Windows: no virtual destructor here, so an object of ours can be handed to
// the system's COM and an object of the system's can be called through these
// classes. An object is never deleted through an interface pointer; it
// deletes itself in Release through its own concrete type.
class IUnknown {
 public:
  virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

union LARGE_INTEGER {
  struct {
    uint32_t LowPart;
    int32_t HighPart;
  } u;
  int64_t QuadPart;
};
union ULARGE_INTEGER {
  struct {
    uint32_t LowPart;
    uint32_t HighPart;
  } u;
  uint64_t QuadPart;
};

struct STATSTG {
  wchar_t* pwcsName = nullptr;
  DWORD type = 0;
  ULARGE_INTEGER cbSize{};
  DWORD grfMode = 0;
  DWORD grfLocksSupported = 0;
  CLSID clsid{};
  DWORD grfStateBits = 0;
  DWORD reserved = 0;
};

constexpr DWORD STREAM_SEEK_SET = 0;
constexpr DWORD STREAM_SEEK_CUR = 1;
constexpr DWORD STREAM_SEEK_END = 2;

class ISequentialStream : public IUnknown {
 public:
  virtual HRESULT Read(void* buffer, ULONG count, ULONG* read) = 0;
  virtual HRESULT Write(const void* buffer, ULONG count, ULONG* written) = 0;
};

class IStream : public ISequentialStream {
 public:
  virtual HRESULT Seek(LARGE_INTEGER move, DWORD origin,
                       ULARGE_INTEGER* new_position) = 0;
  virtual HRESULT SetSize(ULARGE_INTEGER new_size) = 0;
  virtual HRESULT CopyTo(IStream* target, ULARGE_INTEGER count, ULARGE_INTEGER* read,
                         ULARGE_INTEGER* written) = 0;
  virtual HRESULT Commit(DWORD flags) = 0;
  virtual HRESULT Revert() = 0;
  virtual HRESULT LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD type) = 0;
  virtual HRESULT UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count,
                               DWORD type) = 0;
  virtual HRESULT Stat(STATSTG* stat, DWORD flags) = 0;
  virtual HRESULT Clone(IStream** clone) = 0;
};

class IClassFactory : public IUnknown {
 public:
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) = 0;
  virtual HRESULT LockServer(BOOL lock) = 0;
};

// Server contexts of CoGetClassObject (com_registry.h). Only in-process
// servers exist on this platform.
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_SERVER =
    CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD CLSCTX_ALL = CLSCTX_SERVER | CLSCTX_INPROC_HANDLER;

// --- Automation: IDispatch and its argument types ---------------------------

typedef int32_t DISPID;
typedef uint32_t LCID;
typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
// A length-prefixed wide string; made by SysAllocString, freed by SysFreeString.
typedef wchar_t* BSTR;

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_NULL = 1;
constexpr VARTYPE VT_I2 = 2;
constexpr VARTYPE VT_I4 = 3;
constexpr VARTYPE VT_BSTR = 8;
constexpr VARTYPE VT_DISPATCH = 9;
constexpr VARTYPE VT_BOOL = 11;
constexpr VARTYPE VT_VARIANT = 12;
constexpr VARTYPE VT_UNKNOWN = 13;
constexpr VARTYPE VT_UI4 = 19;
constexpr VARTYPE VT_INT = 22;
constexpr VARTYPE VT_BYREF = 0x4000;

constexpr uint16_t DISPATCH_METHOD = 0x1;
constexpr uint16_t DISPATCH_PROPERTYGET = 0x2;
constexpr uint16_t DISPATCH_PROPERTYPUT = 0x4;
constexpr uint16_t DISPATCH_PROPERTYPUTREF = 0x8;

class IDispatch;
// Type information is not available on this platform: GetTypeInfo answers
// with a failure code, never with an object.
class ITypeInfo;

// A tagged value. With VT_BYREF set, the pointer members (pvarVal for
// VT_BYREF|VT_VARIANT, pbstrVal for VT_BYREF|VT_BSTR, byref otherwise) point
// at a value the caller owns.
struct VARIANT {
  VARTYPE vt = VT_EMPTY;
  uint16_t reserved1 = 0, reserved2 = 0, reserved3 = 0;
  union {
    int64_t llVal;
    LONG lVal;
    int32_t intVal;
    int16_t iVal;
    ULONG ulVal;
    VARIANT_BOOL boolVal;
    double dblVal;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    VARIANT* pvarVal;
    BSTR* pbstrVal;
    void* byref;
  };
  VARIANT() : llVal(0) {}
};

// Arguments of Invoke: rgvarg holds them in reverse order (the last argument
// at index 0).
struct DISPPARAMS {
  VARIANT* rgvarg = nullptr;
  DISPID* rgdispidNamedArgs = nullptr;
  UINT cArgs = 0;
  UINT cNamedArgs = 0;
};

struct EXCEPINFO {
  uint16_t wCode = 0;
  uint16_t wReserved = 0;
  BSTR bstrSource = nullptr;
  BSTR bstrDescription = nullptr;
  BSTR bstrHelpFile = nullptr;
  DWORD dwHelpContext = 0;
  void* pvReserved = nullptr;
  void* pfnDeferredFillIn = nullptr;
  HRESULT scode = 0;
};

class IDispatch : public IUnknown {
 public:
  virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
  virtual HRESULT GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) = 0;
  virtual HRESULT GetIDsOfNames(REFIID iid, LPWSTR* names, UINT count, LCID locale,
                                DISPID* ids) = 0;
  virtual HRESULT Invoke(DISPID id, REFIID iid, LCID locale, uint16_t flags,
                         DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                         UINT* argument_error) = 0;
};

// BSTR functions (defined in com_registry.cc). SysAllocString(null) and
// SysFreeString(null) are allowed; SysStringLen(null) is 0. A BSTR may hold
// zero characters inside; SysStringLen counts them.
BSTR SysAllocString(const wchar_t* text);
BSTR SysAllocStringLen(const wchar_t* text, UINT length);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);

// Clears a VARIANT: frees a BSTR, releases an interface, sets VT_EMPTY.
// Values held by reference are left alone. Returns S_OK.
HRESULT VariantClear(VARIANT* value);

// --- ComPtr -----------------------------------------------------------------

// Holds one reference to a COM interface and releases it when destroyed.
// Not thread-safe: one owner at a time, as with any plain pointer.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(T* p) : p_(p) {  // adds a reference
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  ~ComPtr() { Reset(); }
  ComPtr& operator=(const ComPtr& other) {
    ComPtr copy(other);
    Swap(copy);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr moved(std::move(other));
    Swap(moved);
    return *this;
  }

  // Takes over a reference the caller already owns (no AddRef).
  static ComPtr Adopt(T* p) {
    ComPtr result;
    result.p_ = p;
    return result;
  }
  // Gives up the reference without releasing it.
  T* Detach() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }
  void Reset() {
    if (p_) {
      T* p = p_;
      p_ = nullptr;
      p->Release();
    }
  }
  // Releases what is held and gives the slot for an out parameter.
  T** ReleaseAndGetAddressOf() {
    Reset();
    return &p_;
  }
  // The slot as void**, for QueryInterface-style out parameters.
  void** OutVoid() { return reinterpret_cast<void**>(ReleaseAndGetAddressOf()); }
  void Swap(ComPtr& other) { std::swap(p_, other.p_); }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

  // QueryInterface into another ComPtr; `iid` must name interface U.
  template <class U>
  HRESULT As(REFIID iid, ComPtr<U>* out) const {
    if (!p_) return E_POINTER;
    return p_->QueryInterface(iid, out->OutVoid());
  }

 private:
  T* p_ = nullptr;
};

}  // namespace cvie
