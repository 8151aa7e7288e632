#include "discovery/device_info.h"

#include "api/checks.h"
#include "session/wire.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tavelo {

namespace {

// Product information answer: item count, then the items.
constexpr std::size_t kCountOffset = wire::kHeaderSize;
constexpr std::size_t kFirstItemOffset = kCountOffset + 4;
// The count is unsigned on the wire, but a count with the top bit set is
// taken as no items at all.
constexpr std::uint32_t kMaxItemCount = 0x7FFFFFFF;

// One-item request: the tag after the header. Its answer holds one item.
constexpr std::size_t kItemRequestSize = wire::kHeaderSize + 4;
constexpr std::size_t kItemTagOffset = wire::kHeaderSize;
constexpr std::size_t kItemResponseSize = kFirstItemOffset + kValueItemSize;

// The record's product information fields and the value type each takes.
struct NumberField {
  std::uint32_t tag;
  ULONG DEVICE_INFO::*field;
};
struct TextField {
  std::uint32_t tag;
  char (DEVICE_INFO::*field)[32];
};

constexpr std::array kNumberFields{
    NumberField{FourCC("hwrv"), &DEVICE_INFO::hwrv},
    NumberField{FourCC("oerv"), &DEVICE_INFO::oerv},
    NumberField{FourCC("ucrv"), &DEVICE_INFO::ucrv},
    NumberField{FourCC("ccsv"), &DEVICE_INFO::ccsv},
    NumberField{FourCC("carv"), &DEVICE_INFO::carv},
    NumberField{FourCC("iprn"), &DEVICE_INFO::iprn},
    NumberField{FourCC("pcnt"), &DEVICE_INFO::pcnt},
    NumberField{FourCC("scnt"), &DEVICE_INFO::scnt},
    NumberField{FourCC("rams"), &DEVICE_INFO::rams},
    NumberField{FourCC("hprs"), &DEVICE_INFO::hprs},
    NumberField{FourCC("sern"), &DEVICE_INFO::sern},
};
constexpr std::array kTextFields{
    TextField{FourCC("vdid"), &DEVICE_INFO::vdid}, TextField{FourCC("ptid"), &DEVICE_INFO::ptid},
    TextField{FourCC("fwcn"), &DEVICE_INFO::fwcn}, TextField{FourCC("cccn"), &DEVICE_INFO::cccn},
    TextField{FourCC("cacn"), &DEVICE_INFO::cacn}, TextField{FourCC("ipcn"), &DEVICE_INFO::ipcn},
};

void StoreItem(const ValueItem &item, DEVICE_INFO &record) {
  if (item.type == kValueNumber) {
    for (const NumberField &f : kNumberFields) {
      if (f.tag == item.tag) {
        record.*f.field = item.Number();
        return;
      }
    }
  } else if (item.type == kValueText32) {
    for (const TextField &f : kTextFields) {
      if (f.tag == item.tag) {
        char(&field)[32] = record.*f.field;
        std::string_view text = item.Text(); // at most 31 characters
        std::fill(std::begin(field), std::end(field), '\0');
        std::copy(text.begin(), text.end(), field);
        return;
      }
    }
  }
}

} // namespace

HRESULT ReadDeviceInfo(CameraSession &session, DEVICE_INFO *record) {
  if (record == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  std::memset(static_cast<void *>(record), 0, sizeof *record);
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::span<BYTE> buffer = session.ExchangeBuffer();
  std::size_t received = 0;
  HRESULT result = session.Transact(wire::kProductInfo, {}, buffer, 0, &received);
  if (FAILED(result)) {
    return result;
  }
  if (received < kFirstItemOffset) {
    return CAM_E_BAD_DATA; // no item count
  }
  const std::uint32_t claimed = wire::GetU32(buffer, kCountOffset);
  if (claimed == 0) {
    return S_OK;
  }
  if (claimed > kMaxItemCount) {
    return result;
  }
  const std::size_t count = ReadableItemCount(claimed, received, kFirstItemOffset);
  for (std::size_t i = 0; i < count; ++i) {
    auto item = buffer.subspan(kFirstItemOffset + i * kValueItemSize).first<kValueItemSize>();
    StoreItem(DecodeValueItem(item), *record);
  }
  return result;
}

HRESULT ReadProductItem(CameraSession &session, std::uint32_t tag, ValueRecordPtr *value) {
  if (tag == 0 || value == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  value->reset();
  std::array<BYTE, kItemRequestSize> request{};
  wire::BuildHeader(request, wire::kProductInfo);
  wire::PutU32(request, kItemTagOffset, tag);

  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::array<BYTE, kItemResponseSize> response{};
  std::size_t received = 0;
  HRESULT result = session.Transact(wire::kProductInfo, request, response, 0, &received);
  if (FAILED(result)) {
    return result;
  }
  if (received < kItemResponseSize || wire::GetU32(response, kCountOffset) != 1) {
    return CAM_E_BAD_DATA;
  }
  auto item = std::span<const BYTE>(response).subspan<kFirstItemOffset, kValueItemSize>();
  ValueRecordPtr made = MakeValueRecord(DecodeValueItem(item));
  if (!made) {
    return CAM_E_OUT_OF_MEMORY;
  }
  *value = std::move(made);
  return result;
}

} // namespace tavelo

extern "C" TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetDeviceInfo(HCAMERA camera,
                                                                    DEVICE_INFO *record) {
  return tavelo::NoThrow([&]() -> CAMRESULT {
    if (!tavelo::Writable(record, sizeof(DEVICE_INFO))) {
      return CAM_E_BAD_PARAMETER;
    }
    auto session = tavelo::ResolveHandle(camera);
    if (session == nullptr) {
      return CAM_E_BAD_PARAMETER;
    }
    return tavelo::ReadDeviceInfo(*session, record);
  });
}
