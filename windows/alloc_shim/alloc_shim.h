// Allocation-failure injection on the Windows target, for test builds of the
// library (TAVELO_ALLOC_SHIM defined): the library's calls of the Windows
// allocators and of event and thread creation go through these wrappers,
// which fail the n-th call made on the arming thread, as the POSIX runtime's
// tavelort_fail_nth_allocation does. Shipped builds do not define it.
#ifndef TAVELO_ALLOC_SHIM_H
#define TAVELO_ALLOC_SHIM_H

#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// From this call on the `nth` allocation on the calling thread fails; 0
// disarms. Returns how many the thread made since the previous call.
unsigned long tavelo_shim_fail_nth_allocation(unsigned long nth);

LPVOID WINAPI tavelo_shim_HeapAlloc(HANDLE heap, DWORD flags, SIZE_T size);
LPVOID WINAPI tavelo_shim_HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T size);
LPVOID WINAPI tavelo_shim_CoTaskMemAlloc(SIZE_T size);
LPVOID WINAPI tavelo_shim_CoTaskMemRealloc(LPVOID block, SIZE_T size);
BSTR WINAPI tavelo_shim_SysAllocString(const OLECHAR *text);
BSTR WINAPI tavelo_shim_SysAllocStringLen(const OLECHAR *text, UINT length);
// Counts only copies of a string, the one kind that allocates.
HRESULT WINAPI tavelo_shim_VariantCopy(VARIANTARG *destination, const VARIANTARG *source);
HANDLE WINAPI tavelo_shim_CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                       BOOL initialState, LPCSTR name);
HANDLE WINAPI tavelo_shim_CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                                       LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                       LPDWORD threadId);

#ifdef __cplusplus
}
#endif

#ifndef TAVELO_ALLOC_SHIM_IMPLEMENTATION
#define HeapAlloc tavelo_shim_HeapAlloc
#define HeapReAlloc tavelo_shim_HeapReAlloc
#define CoTaskMemAlloc tavelo_shim_CoTaskMemAlloc
#define CoTaskMemRealloc tavelo_shim_CoTaskMemRealloc
#define SysAllocString tavelo_shim_SysAllocString
#define SysAllocStringLen tavelo_shim_SysAllocStringLen
#define VariantCopy tavelo_shim_VariantCopy
#define CreateEventA tavelo_shim_CreateEventA
#define CreateThread tavelo_shim_CreateThread
#endif

#endif // TAVELO_ALLOC_SHIM_H
