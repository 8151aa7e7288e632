/*
 * The platform seam: the subset of the Win32 / COM vocabulary that the camera
 * library, its transport components and applications use.
 *
 * On Windows this includes the system headers. Elsewhere it declares the same
 * names with the same meaning; libtavelort.so implements them. Nothing outside
 * platform/ includes a system header for these names directly.
 *
 * Binary conventions on POSIX: WCHAR/OLECHAR are UTF-16 code units, BSTR is
 * UTF-16 with a 4-byte byte-length prefix, VARIANT is 16 bytes with its value
 * at offset 8, interfaces are classes of pure virtual functions without a
 * virtual destructor (vtable slot order = declaration order, as in COM), and
 * the "ANSI code page" is UTF-8.
 */
#ifndef TAVELO_WIN32_H
#define TAVELO_WIN32_H

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <objbase.h>
#include <oleauto.h>
#include <stdint.h>
#include <windows.h>
#ifdef TAVELO_ALLOC_SHIM
#include "alloc_shim.h" /* test builds: allocation-failure injection */
#endif

#else /* POSIX */

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define TAVELORT_EXTERN_C extern "C"
#define TAVELORT_BEGIN_DECLS extern "C" {
#define TAVELORT_END_DECLS }
#else
#define TAVELORT_EXTERN_C extern
#define TAVELORT_BEGIN_DECLS
#define TAVELORT_END_DECLS
#endif

#define TAVELORT_API __attribute__((visibility("default")))

/* Calling conventions: only the Windows target has more than one. */
#define WINAPI
#define CALLBACK
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define WINAPIV

/* ---- Basic types ---------------------------------------------------- */

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int32_t BOOL;
typedef char CHAR;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef float FLOAT;
typedef double DOUBLE;
typedef size_t SIZE_T;
typedef uintptr_t UINT_PTR;
typedef intptr_t INT_PTR;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef int32_t HRESULT;
typedef int32_t SCODE;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef BYTE *LPBYTE;
typedef DWORD *LPDWORD;
typedef LONG *LPLONG;
typedef BOOL *LPBOOL;
#ifdef __cplusplus
typedef char16_t WCHAR;
#else
typedef uint16_t WCHAR;
#endif
typedef WCHAR OLECHAR;
typedef CHAR *LPSTR;
typedef const CHAR *LPCSTR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef OLECHAR *LPOLESTR;
typedef const OLECHAR *LPCOLESTR;
/* A literal of OLECHAR text: OLESTR("a") or OLESTR('a'). */
#define OLESTR(text) u##text
typedef OLECHAR *BSTR;
typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
typedef double DATE;

typedef void *HANDLE;
typedef HANDLE HMODULE;
typedef HANDLE HINSTANCE;
typedef HANDLE HWND;
typedef HANDLE HLOCAL;
typedef INT_PTR (*FARPROC)(void);

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu

/* ---- Result codes ---------------------------------------------------- */

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define FACILITY_WIN32 7
#define HRESULT_FROM_WIN32(x)                                                                      \
  ((HRESULT)(x) <= 0 ? ((HRESULT)(x))                                                              \
                     : ((HRESULT)(((x)&0x0000FFFFu) | (FACILITY_WIN32 << 16) | 0x80000000u)))

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFu)
#define E_NOTIMPL ((HRESULT)0x80004001u)
#define E_NOINTERFACE ((HRESULT)0x80004002u)
#define E_POINTER ((HRESULT)0x80004003u)
#define E_FAIL ((HRESULT)0x80004005u)
#define E_OUTOFMEMORY ((HRESULT)0x8007000Eu)
#define E_INVALIDARG ((HRESULT)0x80070057u)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110u)
#define CLASS_E_CLASSNOTAVAILABLE ((HRESULT)0x80040111u)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154u)
#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0u)
#define CO_E_CLASSSTRING ((HRESULT)0x800401F3u)
#define CO_E_OBJNOTREG ((HRESULT)0x800401FBu)
#define RPC_E_CHANGED_MODE ((HRESULT)0x80010106u)
#define DISP_E_BADVARTYPE ((HRESULT)0x80020008u)
#define DISP_E_TYPEMISMATCH ((HRESULT)0x80020005u)

/* Windows error numbers (GetLastError) the runtime reports. */
#define ERROR_SUCCESS 0
#define ERROR_INVALID_FUNCTION 1
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_INVALID_DATA 13
#define ERROR_OUTOFMEMORY 14
#define ERROR_WRITE_PROTECT 19
#define ERROR_SHARING_VIOLATION 32
#define ERROR_HANDLE_EOF 38
#define ERROR_NOT_SUPPORTED 50
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_DISK_FULL 112
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_INVALID_NAME 123
#define ERROR_MOD_NOT_FOUND 126
#define ERROR_PROC_NOT_FOUND 127
#define ERROR_DIR_NOT_EMPTY 145
#define ERROR_ALREADY_EXISTS 183
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_INVALID_FLAGS 1004
#define ERROR_NO_UNICODE_TRANSLATION 1113
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813
#define ERROR_RESOURCE_LANG_NOT_FOUND 1815
#define ERROR_MR_MID_NOT_FOUND 317

/* ---- GUIDs ----------------------------------------------------------- */

typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;
typedef IID *LPIID;
typedef CLSID *LPCLSID;
#ifdef __cplusplus
#define REFGUID const GUID &
#define REFIID const IID &
#define REFCLSID const CLSID &
#else
#define REFGUID const GUID *
#define REFIID const IID *
#define REFCLSID const CLSID *
#endif

#ifdef __cplusplus
inline bool IsEqualGUID(REFGUID a, REFGUID b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         a.Data4[0] == b.Data4[0] && a.Data4[1] == b.Data4[1] && a.Data4[2] == b.Data4[2] &&
         a.Data4[3] == b.Data4[3] && a.Data4[4] == b.Data4[4] && a.Data4[5] == b.Data4[5] &&
         a.Data4[6] == b.Data4[6] && a.Data4[7] == b.Data4[7];
}
inline bool operator==(REFGUID a, REFGUID b) {
  return IsEqualGUID(a, b);
}
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)
#endif

/* ---- VARIANT and friends --------------------------------------------- */

enum VARENUM {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000
};

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

#ifdef __cplusplus
struct IUnknown;
#else
typedef struct IUnknown IUnknown;
#endif

/* 16 bytes on every target: vt at 0, three reserved words, value at 8. */
typedef struct tagVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    ULONGLONG ullVal;
    LONG lVal;
    ULONG ulVal;
    INT intVal;
    UINT uintVal;
    BYTE bVal;
    CHAR cVal;
    SHORT iVal;
    USHORT uiVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    DATE date;
    BSTR bstrVal;
    struct IUnknown *punkVal;
    void *byref;
  };
} VARIANT;
typedef VARIANT VARIANTARG;
typedef VARIANT *LPVARIANT;

#define V_VT(v) ((v)->vt)
#define V_I1(v) ((v)->cVal)
#define V_I2(v) ((v)->iVal)
#define V_I4(v) ((v)->lVal)
#define V_I8(v) ((v)->llVal)
#define V_UI1(v) ((v)->bVal)
#define V_UI2(v) ((v)->uiVal)
#define V_UI4(v) ((v)->ulVal)
#define V_UI8(v) ((v)->ullVal)
#define V_INT(v) ((v)->intVal)
#define V_UINT(v) ((v)->uintVal)
#define V_R4(v) ((v)->fltVal)
#define V_R8(v) ((v)->dblVal)
#define V_BOOL(v) ((v)->boolVal)
#define V_ERROR(v) ((v)->scode)
#define V_DATE(v) ((v)->date)
#define V_BSTR(v) ((v)->bstrVal)
#define V_UNKNOWN(v) ((v)->punkVal)
#define V_BYREF(v) ((v)->byref)

/* ---- Interfaces ------------------------------------------------------- */

#ifdef __cplusplus

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

struct IClassFactory : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **object) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) = 0;
};

struct IEnumVARIANT : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT *items, ULONG *fetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG count) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT **copy) = 0;
};

#else /* C: the same vtables as structs of function pointers */

typedef struct IUnknownVtbl {
  HRESULT(STDMETHODCALLTYPE *QueryInterface)(IUnknown *self, REFIID riid, void **object);
  ULONG(STDMETHODCALLTYPE *AddRef)(IUnknown *self);
  ULONG(STDMETHODCALLTYPE *Release)(IUnknown *self);
} IUnknownVtbl;
struct IUnknown {
  const IUnknownVtbl *lpVtbl;
};

typedef struct IClassFactory IClassFactory;
typedef struct IClassFactoryVtbl {
  HRESULT(STDMETHODCALLTYPE *QueryInterface)(IClassFactory *self, REFIID riid, void **object);
  ULONG(STDMETHODCALLTYPE *AddRef)(IClassFactory *self);
  ULONG(STDMETHODCALLTYPE *Release)(IClassFactory *self);
  HRESULT(STDMETHODCALLTYPE *CreateInstance)
  (IClassFactory *self, IUnknown *outer, REFIID riid, void **object);
  HRESULT(STDMETHODCALLTYPE *LockServer)(IClassFactory *self, BOOL lock);
} IClassFactoryVtbl;
struct IClassFactory {
  const IClassFactoryVtbl *lpVtbl;
};

typedef struct IEnumVARIANT IEnumVARIANT;
typedef struct IEnumVARIANTVtbl {
  HRESULT(STDMETHODCALLTYPE *QueryInterface)(IEnumVARIANT *self, REFIID riid, void **object);
  ULONG(STDMETHODCALLTYPE *AddRef)(IEnumVARIANT *self);
  ULONG(STDMETHODCALLTYPE *Release)(IEnumVARIANT *self);
  HRESULT(STDMETHODCALLTYPE *Next)(IEnumVARIANT *self, ULONG count, VARIANT *items, ULONG *fetched);
  HRESULT(STDMETHODCALLTYPE *Skip)(IEnumVARIANT *self, ULONG count);
  HRESULT(STDMETHODCALLTYPE *Reset)(IEnumVARIANT *self);
  HRESULT(STDMETHODCALLTYPE *Clone)(IEnumVARIANT *self, IEnumVARIANT **copy);
} IEnumVARIANTVtbl;
struct IEnumVARIANT {
  const IEnumVARIANTVtbl *lpVtbl;
};

#endif

/* ---- Records ---------------------------------------------------------- */

typedef struct _SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;

typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

/* Opaque storage for a re-entrant lock; the runtime keeps a recursive mutex here. */
typedef struct _CRITICAL_SECTION {
  union {
    void *align_pointer;
    long long align_integer;
    unsigned char storage[64];
  } opaque;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID parameter);

/* ---- Constants -------------------------------------------------------- */

#define COINIT_MULTITHREADED 0x0
#define COINIT_APARTMENTTHREADED 0x2

#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_REMOTE_SERVER 0x10
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define CLSCTX_ALL (CLSCTX_SERVER | CLSCTX_INPROC_HANDLER)

#define REGCLS_SINGLEUSE 0
#define REGCLS_MULTIPLEUSE 1

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000u

#define HEAP_ZERO_MEMORY 0x00000008u

#define CP_ACP 0
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008u
#define WC_ERR_INVALID_CHARS 0x00000080u

#define MB_OK 0x00000000u
#define IDOK 1

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_STRING 0x00000400u
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000u
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FFu

#define LANG_NEUTRAL 0x00
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(primary, sub) ((WORD)((((WORD)(sub)) << 10) | (WORD)(primary)))
#define LANG_USER_DEFAULT MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT)
#define LANG_SYSTEM_DEFAULT MAKELANGID(LANG_NEUTRAL, 0x02)

/* ---- Functions -------------------------------------------------------- */

TAVELORT_BEGIN_DECLS

/* Component runtime */
TAVELORT_API HRESULT WINAPI CoInitialize(LPVOID reserved);
TAVELORT_API HRESULT WINAPI CoInitializeEx(LPVOID reserved, DWORD coinit);
TAVELORT_API void WINAPI CoUninitialize(void);
TAVELORT_API HRESULT WINAPI CLSIDFromString(LPCOLESTR text, LPCLSID clsid);
TAVELORT_API int WINAPI StringFromGUID2(REFGUID guid, LPOLESTR buffer, int capacity);
TAVELORT_API HRESULT WINAPI CoCreateInstance(REFCLSID clsid, IUnknown *outer, DWORD context,
                                             REFIID iid, LPVOID *object);
TAVELORT_API HRESULT WINAPI CoRegisterClassObject(REFCLSID clsid, IUnknown *factory, DWORD context,
                                                  DWORD flags, LPDWORD cookie);
TAVELORT_API HRESULT WINAPI CoRevokeClassObject(DWORD cookie);
TAVELORT_API LPVOID WINAPI CoTaskMemAlloc(SIZE_T size);
TAVELORT_API LPVOID WINAPI CoTaskMemRealloc(LPVOID block, SIZE_T size);
TAVELORT_API void WINAPI CoTaskMemFree(LPVOID block);

TAVELORT_API extern const IID IID_IUnknown;
TAVELORT_API extern const IID IID_IClassFactory;
TAVELORT_API extern const IID IID_IEnumVARIANT;

/* Automation */
TAVELORT_API void WINAPI VariantInit(VARIANTARG *variant);
TAVELORT_API HRESULT WINAPI VariantClear(VARIANTARG *variant);
TAVELORT_API HRESULT WINAPI VariantCopy(VARIANTARG *destination, const VARIANTARG *source);
TAVELORT_API BSTR WINAPI SysAllocString(const OLECHAR *text);
TAVELORT_API BSTR WINAPI SysAllocStringLen(const OLECHAR *text, UINT length);
TAVELORT_API void WINAPI SysFreeString(BSTR text);
TAVELORT_API UINT WINAPI SysStringLen(BSTR text);
TAVELORT_API UINT WINAPI SysStringByteLen(BSTR text);

/* Kernel: events, threads, handles */
TAVELORT_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                        BOOL initialState, LPCSTR name);
TAVELORT_API BOOL WINAPI SetEvent(HANDLE event);
TAVELORT_API BOOL WINAPI ResetEvent(HANDLE event);
TAVELORT_API DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds);
TAVELORT_API BOOL WINAPI CloseHandle(HANDLE object);
TAVELORT_API HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                                        LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                        LPDWORD threadId);
TAVELORT_API BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
TAVELORT_API DWORD WINAPI GetCurrentThreadId(void);
TAVELORT_API void WINAPI Sleep(DWORD milliseconds);
TAVELORT_API DWORD WINAPI GetTickCount(void);

/* Kernel: critical sections and interlocked operations */
TAVELORT_API void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section);
TAVELORT_API void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section);
TAVELORT_API BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section);
TAVELORT_API void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section);
TAVELORT_API void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section);
TAVELORT_API LONG WINAPI InterlockedIncrement(LONG volatile *value);
TAVELORT_API LONG WINAPI InterlockedDecrement(LONG volatile *value);
TAVELORT_API LONG WINAPI InterlockedExchange(LONG volatile *target, LONG value);
TAVELORT_API LONG WINAPI InterlockedCompareExchange(LONG volatile *target, LONG exchange,
                                                    LONG comparand);

/* Kernel: memory */
TAVELORT_API HANDLE WINAPI GetProcessHeap(void);
TAVELORT_API LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T size);
TAVELORT_API LPVOID WINAPI HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T size);
TAVELORT_API BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID block);
TAVELORT_API HLOCAL WINAPI LocalFree(HLOCAL block);
TAVELORT_API BOOL WINAPI IsBadReadPtr(const void *pointer, UINT_PTR size);
TAVELORT_API BOOL WINAPI IsBadWritePtr(LPVOID pointer, UINT_PTR size);
TAVELORT_API BOOL WINAPI IsBadCodePtr(FARPROC pointer);
TAVELORT_API BOOL WINAPI IsBadStringPtrA(LPCSTR text, UINT_PTR maximum);

/* Kernel: errors, text conversion, modules */
TAVELORT_API DWORD WINAPI GetLastError(void);
TAVELORT_API void WINAPI SetLastError(DWORD error);
TAVELORT_API int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length,
                                            LPWSTR buffer, int capacity);
TAVELORT_API int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length,
                                            LPSTR buffer, int capacity, LPCSTR defaultChar,
                                            LPBOOL usedDefaultChar);
TAVELORT_API HMODULE WINAPI GetModuleHandleA(LPCSTR name);
TAVELORT_API HMODULE WINAPI LoadLibraryA(LPCSTR name);
TAVELORT_API BOOL WINAPI FreeLibrary(HMODULE module);
TAVELORT_API FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);
TAVELORT_API DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId,
                                         DWORD languageId, LPSTR buffer, DWORD size,
                                         va_list *arguments);

/* User and text services */
TAVELORT_API int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
TAVELORT_API LPSTR WINAPI CharUpperA(LPSTR text);
TAVELORT_API int WINAPI lstrcmpA(LPCSTR first, LPCSTR second);
TAVELORT_API int WINAPI lstrcmpiA(LPCSTR first, LPCSTR second);
TAVELORT_API int WINAPI lstrlenA(LPCSTR text);
TAVELORT_API LPSTR WINAPI lstrcpynA(LPSTR destination, LPCSTR source, int capacity);
TAVELORT_API LPSTR WINAPI lstrcpyA(LPSTR destination, LPCSTR source);
TAVELORT_API LPSTR WINAPI lstrcatA(LPSTR destination, LPCSTR source);
TAVELORT_API int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...);

TAVELORT_END_DECLS

#endif /* _WIN32 */

#endif /* TAVELO_WIN32_H */
