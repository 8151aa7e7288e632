/*
 * Transport components: the component-object servers that carry the camera
 * library's packets to a camera. The library creates one by class identifier
 * and talks to it only through these interfaces.
 */
#ifndef TAVELO_TRANSPORT_H
#define TAVELO_TRANSPORT_H

#include "tavelo/win32.h"

/* {7D41A0E2-52C9-4B17-9A3B-00A0C93E71B4} */
#define TAVELO_IID_TRANSPORT_INIT                                                                  \
  {                                                                                                \
    0x7D41A0E2, 0x52C9, 0x4B17, {                                                                  \
      0x9A, 0x3B, 0x00, 0xA0, 0xC9, 0x3E, 0x71, 0xB4                                               \
    }                                                                                              \
  }
/* {5A1C7E10-52C9-4B17-9A3B-00A0C93E71B4} */
#define TAVELO_IID_TRANSPORT2_INIT                                                                 \
  {                                                                                                \
    0x5A1C7E10, 0x52C9, 0x4B17, {                                                                  \
      0x9A, 0x3B, 0x00, 0xA0, 0xC9, 0x3E, 0x71, 0xB4                                               \
    }                                                                                              \
  }

/* The transport class table, in the order enumeration tries it. */
/* 1: network (TCP) {7D41A0E3-52C9-4B17-9A3B-00A0C93E71B4} */
#define TAVELO_CLSID_NET_TRANSPORT_INIT                                                            \
  {                                                                                                \
    0x7D41A0E3, 0x52C9, 0x4B17, {                                                                  \
      0x9A, 0x3B, 0x00, 0xA0, 0xC9, 0x3E, 0x71, 0xB4                                               \
    }                                                                                              \
  }
/* 2: serial line {0B6E2F40-8D15-4B17-9A62-00A0C93E71B4} */
#define TAVELO_CLSID_SERIAL_TRANSPORT_INIT                                                         \
  {                                                                                                \
    0x0B6E2F40, 0x8D15, 0x4B17, {                                                                  \
      0x9A, 0x62, 0x00, 0xA0, 0xC9, 0x3E, 0x71, 0xB4                                               \
    }                                                                                              \
  }
/* 3: reserved, not shipped {A3D95E70-C412-4B17-9AF1-00A0C93E71B4} */
#define TAVELO_CLSID_RESERVED_TRANSPORT_INIT                                                       \
  {                                                                                                \
    0xA3D95E70, 0xC412, 0x4B17, {                                                                  \
      0x9A, 0xF1, 0x00, 0xA0, 0xC9, 0x3E, 0x71, 0xB4                                               \
    }                                                                                              \
  }
/* 4: virtual camera {E58C1B90-BF37-4B17-9AE8-00A0C93E71B4} */
#define TAVELO_CLSID_VIRTUAL_TRANSPORT_INIT                                                        \
  {                                                                                                \
    0xE58C1B90, 0xBF37, 0x4B17, {                                                                  \
      0x9A, 0xE8, 0x00, 0xA0, 0xC9, 0x3E, 0x71, 0xB4                                               \
    }                                                                                              \
  }

#ifdef __cplusplus

inline constexpr IID IID_ITaveloTransport = TAVELO_IID_TRANSPORT_INIT;
inline constexpr IID IID_ITaveloTransport2 = TAVELO_IID_TRANSPORT2_INIT;
inline constexpr CLSID CLSID_TaveloNetTransport = TAVELO_CLSID_NET_TRANSPORT_INIT;
inline constexpr CLSID CLSID_TaveloSerialTransport = TAVELO_CLSID_SERIAL_TRANSPORT_INIT;
inline constexpr CLSID CLSID_TaveloReservedTransport = TAVELO_CLSID_RESERVED_TRANSPORT_INIT;
inline constexpr CLSID CLSID_TaveloVirtualTransport = TAVELO_CLSID_VIRTUAL_TRANSPORT_INIT;

/*
 * A transport component carries the library's request packets to one camera
 * and the camera's response packets back. The library creates one instance
 * per camera connection with CoCreateInstance(CLSID, NULL, in-process | local
 * | remote server, IID_ITaveloTransport), and one more for each enumeration
 * step. Every packet starts with a 12-byte header whose first four bytes are
 * the big-endian packet length less 4.
 *
 * Threads: the instance is called from any application thread and from the
 * library's notification thread, never from two threads at once for
 * Configure, Open, Exchange or ExchangeBounded (the library's command gate
 * and connection lock serialise them). A component must work under both
 * threading models TaveloInitialize offers, so it keeps no thread affinity.
 *
 * Failures are negative HRESULTs. Link failures should be
 * HRESULT_FROM_WIN32 of the Windows error a Windows build would report (for
 * example 10061 connection refused, 2 device not found, 1460 timeout), so an
 * application can show a system text. Nothing may throw across these calls.
 *
 * Slots 0 to 2 (IUnknown): QueryInterface grants IUnknown,
 * IID_ITaveloTransport and, when implemented, IID_ITaveloTransport2, all the
 * same object. The library calls Release once per instance, when its
 * connection or enumeration step ends; Release of the last reference closes
 * the link and must not block longer than closing a descriptor.
 */
struct ITaveloTransport : public IUnknown {
  /*
   * Slot 3. Called once per enumeration step, on the enumerating thread,
   * before any Configure. Returns S_OK and a new IEnumVARIANT (one reference,
   * the caller releases it) over the devices this component can reach now;
   * any other result, S_FALSE included, means "no list" and is passed up.
   * The enumerator's Next(1, ...) returns S_OK with one VT_BSTR device
   * identifier per device, then S_FALSE; Reset starts over and the second
   * pass must yield the same devices in the same order (the library counts
   * first, then copies). Must not block on a device: list what is
   * configured (for the library's own components, environment variables)
   * rather than probing links. The library stops after 1024 devices.
   */
  virtual HRESULT STDMETHODCALLTYPE GetDeviceEnumerator(IEnumVARIANT **enumerator) = 0;
  /*
   * Slot 4. Called once after creation, before Open, with a device
   * identifier from this component's enumerator (possibly copied through a
   * DEVICE_INFO record), passed by value: the callee must not free it and
   * must copy what it keeps. Selects the device for Open; must not touch
   * the link and must not block. The library ignores the result, so an
   * identifier that cannot be used must make Open fail.
   */
  virtual HRESULT STDMETHODCALLTYPE Configure(VARIANT deviceId) = 0;
  /*
   * Slot 5. Called once per connection, under the library's connection
   * lock, by the thread whose command needs the camera. Opens the link to
   * the configured device. May block, but for a bounded time (the library's
   * components: the link timeout, TAVELO_LINK_TIMEOUT_MS, 10 s by default,
   * plus host name resolution). S_OK (or any non-negative result) means
   * exchanges may follow; a negative result means there is no link, and the
   * library reports CAM_E_COMM without calling Exchange. Must not leave a
   * half-open link behind after a failure.
   */
  virtual HRESULT STDMETHODCALLTYPE Open() = 0;
  /*
   * Slot 6: the plain exchange, used only when the component does not grant
   * IID_ITaveloTransport2. Sends one request packet and receives one
   * response packet, header first, into `response`. `request` is a whole
   * packet of `requestLength` bytes with command 0; when it is NULL the
   * component sends the bare 12-byte header of `command`. `lengthHint`
   * points at 0 or a size from 12 to 56, a hint only, never the size of the
   * response buffer; a component may store the response length there.
   * Blocks until the answer is complete, at most the link timeout.
   * Non-negative: a response packet is in the buffer (a value other than 0
   * reaches the application). Negative: no usable answer; the library drops
   * the connection (Release) and opens a new instance for the next command.
   * The buffer's size is unknown here: the library's components refuse a
   * response longer than 64 MiB and never allocate from a length field.
   */
  virtual HRESULT STDMETHODCALLTYPE Exchange(LONG command, const BYTE *request, ULONG requestLength,
                                             BYTE *response, ULONG *lengthHint) = 0;
};

/*
 * Slot 7: the exchange with the true capacity of the response buffer. When
 * QueryInterface grants IID_ITaveloTransport2, the library makes every
 * exchange through it instead of slot 6, from the same threads and under the
 * same rules. `request` and `command` are as for Exchange. The component
 * writes at most `responseCapacity` bytes; `*responseLength` receives the
 * size of the response packet (at least 12 on success). A response packet
 * that does not fit, a length field below 8, a peer that closes mid-packet
 * or no complete answer within the link timeout fails the exchange with a
 * negative result, and the component must then be out of step with nothing:
 * it closes the link (later exchanges fail until the library opens a new
 * instance) or drains the rest of the packet. Must never read past the
 * request, write past the capacity, or wait without a bound.
 */
struct ITaveloTransport2 : public ITaveloTransport {
  virtual HRESULT STDMETHODCALLTYPE ExchangeBounded(LONG command, const BYTE *request,
                                                    ULONG requestLength, BYTE *response,
                                                    ULONG responseCapacity,
                                                    ULONG *responseLength) = 0;
};

#else /* C */

static const IID IID_ITaveloTransport = TAVELO_IID_TRANSPORT_INIT;
static const IID IID_ITaveloTransport2 = TAVELO_IID_TRANSPORT2_INIT;
static const CLSID CLSID_TaveloNetTransport = TAVELO_CLSID_NET_TRANSPORT_INIT;
static const CLSID CLSID_TaveloSerialTransport = TAVELO_CLSID_SERIAL_TRANSPORT_INIT;
static const CLSID CLSID_TaveloReservedTransport = TAVELO_CLSID_RESERVED_TRANSPORT_INIT;
static const CLSID CLSID_TaveloVirtualTransport = TAVELO_CLSID_VIRTUAL_TRANSPORT_INIT;

typedef struct ITaveloTransport ITaveloTransport;
typedef struct ITaveloTransport2 ITaveloTransport2;

typedef struct ITaveloTransport2Vtbl {
  HRESULT(STDMETHODCALLTYPE *QueryInterface)(ITaveloTransport2 *self, REFIID riid, void **object);
  ULONG(STDMETHODCALLTYPE *AddRef)(ITaveloTransport2 *self);
  ULONG(STDMETHODCALLTYPE *Release)(ITaveloTransport2 *self);
  HRESULT(STDMETHODCALLTYPE *GetDeviceEnumerator)
  (ITaveloTransport2 *self, IEnumVARIANT **enumerator);
  HRESULT(STDMETHODCALLTYPE *Configure)(ITaveloTransport2 *self, VARIANT deviceId);
  HRESULT(STDMETHODCALLTYPE *Open)(ITaveloTransport2 *self);
  HRESULT(STDMETHODCALLTYPE *Exchange)
  (ITaveloTransport2 *self, LONG command, const BYTE *request, ULONG requestLength, BYTE *response,
   ULONG *lengthHint);
  /* Only present when QueryInterface grants IID_ITaveloTransport2. */
  HRESULT(STDMETHODCALLTYPE *ExchangeBounded)
  (ITaveloTransport2 *self, LONG command, const BYTE *request, ULONG requestLength, BYTE *response,
   ULONG responseCapacity, ULONG *responseLength);
} ITaveloTransport2Vtbl;
typedef ITaveloTransport2Vtbl ITaveloTransportVtbl; /* the first seven slots */

struct ITaveloTransport {
  const ITaveloTransportVtbl *lpVtbl;
};
struct ITaveloTransport2 {
  const ITaveloTransport2Vtbl *lpVtbl;
};

#endif

#endif /* TAVELO_TRANSPORT_H */
