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
 * Slots 3 to 6 after IUnknown. Exchange writes the camera's response packet,
 * header first, into `response`; `lengthHint` is only a hint (0 or 12 to 56),
 * never the size of the response buffer.
 */
struct ITaveloTransport : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetDeviceEnumerator(IEnumVARIANT **enumerator) = 0;
  virtual HRESULT STDMETHODCALLTYPE Configure(VARIANT deviceId) = 0;
  virtual HRESULT STDMETHODCALLTYPE Open() = 0;
  virtual HRESULT STDMETHODCALLTYPE Exchange(LONG command, const BYTE *request, ULONG requestLength,
                                             BYTE *response, ULONG *lengthHint) = 0;
};

/*
 * Slot 7: the exchange with the true capacity of the response buffer. The
 * component never writes past `responseCapacity`; a response packet that does
 * not fit fails the exchange with a negative result.
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
