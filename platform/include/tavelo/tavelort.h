/*
 * Extensions of the POSIX platform runtime (libtavelort.so) that have no
 * Windows spelling: test hooks and the contract through which the runtime
 * finds a module's message table.
 */
#ifndef TAVELO_TAVELORT_H
#define TAVELO_TAVELORT_H

#include "tavelo/win32.h"

#ifndef _WIN32

TAVELORT_BEGIN_DECLS

/*
 * MessageBoxA writes "CAPTION: TEXT" to stderr. A test may install a hook that
 * receives every box instead; pass null to restore the default. Installing a
 * hook waits for boxes that are being shown, so a hook must not install one.
 */
typedef void (*tavelort_message_box_hook)(const char *text, const char *caption, void *context);
TAVELORT_API void tavelort_set_message_box_hook(tavelort_message_box_hook hook, void *context);

/*
 * Allocation-failure injection, for tests. From this call on, the `nth`
 * allocation made on the calling thread (1 for the next) fails as out of
 * memory: HeapAlloc, HeapReAlloc, CoTaskMemAlloc, CoTaskMemRealloc, the
 * SysAllocString family, CreateEventA and CreateThread. Later ones succeed.
 * 0 disarms. Returns how many allocations the calling thread made since the
 * previous call (0 when it was disarmed).
 */
TAVELORT_API unsigned long tavelort_fail_nth_allocation(unsigned long nth);

/*
 * A module that carries a message table (the Windows resource of type 11,
 * id 1) exports this one function under this name. FormatMessageA with
 * FORMAT_MESSAGE_FROM_HMODULE looks it up in the given module and reads the
 * table from the returned bytes.
 */
#define TAVELORT_MESSAGE_TABLE_SYMBOL "tavelort_message_table"
typedef const unsigned char *(*tavelort_message_table_fn)(size_t *size);

/* What a component plugin exports, as an in-process server on Windows does. */
typedef HRESULT (*tavelort_dll_get_class_object_fn)(REFCLSID clsid, REFIID iid, LPVOID *object);

TAVELORT_END_DECLS

#endif /* !_WIN32 */

#endif /* TAVELO_TAVELORT_H */
