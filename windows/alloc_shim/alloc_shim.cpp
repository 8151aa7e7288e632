// The wrappers of alloc_shim.h: each asks the countdown first, then calls
// the Windows function it stands for.
#define TAVELO_ALLOC_SHIM_IMPLEMENTATION
#include "alloc_shim.h"

namespace {

thread_local unsigned long failAt = 0;
thread_local unsigned long counted = 0;

bool Fails() {
  return failAt != 0 && ++counted == failAt;
}

template <class T>
T Refuse(T result) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return result;
}

} // namespace

extern "C" {

unsigned long tavelo_shim_fail_nth_allocation(unsigned long nth) {
  const unsigned long made = counted;
  failAt = nth;
  counted = 0;
  return made;
}

LPVOID WINAPI tavelo_shim_HeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
  return Fails() ? Refuse<LPVOID>(nullptr) : HeapAlloc(heap, flags, size);
}

LPVOID WINAPI tavelo_shim_HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T size) {
  return Fails() ? Refuse<LPVOID>(nullptr) : HeapReAlloc(heap, flags, block, size);
}

LPVOID WINAPI tavelo_shim_CoTaskMemAlloc(SIZE_T size) {
  return Fails() ? nullptr : CoTaskMemAlloc(size);
}

LPVOID WINAPI tavelo_shim_CoTaskMemRealloc(LPVOID block, SIZE_T size) {
  return Fails() ? nullptr : CoTaskMemRealloc(block, size);
}

BSTR WINAPI tavelo_shim_SysAllocString(const OLECHAR *text) {
  return Fails() ? nullptr : SysAllocString(text);
}

BSTR WINAPI tavelo_shim_SysAllocStringLen(const OLECHAR *text, UINT length) {
  return Fails() ? nullptr : SysAllocStringLen(text, length);
}

HRESULT WINAPI tavelo_shim_VariantCopy(VARIANTARG *destination, const VARIANTARG *source) {
  if (source != nullptr && source->vt == VT_BSTR && source->bstrVal != nullptr && Fails()) {
    return E_OUTOFMEMORY;
  }
  return VariantCopy(destination, const_cast<VARIANTARG *>(source));
}

HANDLE WINAPI tavelo_shim_CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                       BOOL initialState, LPCSTR name) {
  return Fails() ? Refuse<HANDLE>(nullptr)
                 : CreateEventA(attributes, manualReset, initialState, name);
}

HANDLE WINAPI tavelo_shim_CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                                       LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                       LPDWORD threadId) {
  return Fails() ? Refuse<HANDLE>(nullptr)
                 : CreateThread(attributes, stackSize, start, parameter, flags, threadId);
}

} // extern "C"
