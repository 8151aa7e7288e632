#include "session/value_item.h"

#include "session/wire.h"

#include <algorithm>
#include <cstring>

namespace tavelo {

namespace {

constexpr std::size_t kRecordHeaderSize = offsetof(ValueRecord, value);
constexpr std::size_t kNumberSize = sizeof(ULONG);

std::size_t TextSize(std::uint32_t type) {
  switch (type) {
  case kValueText16:
    return kShortTextSize;
  case kValueText32:
    return kValueSize;
  default:
    return 0;
  }
}

std::string_view BoundedText(const char *text, std::size_t field) {
  // The last byte of a field is its terminator, whatever the camera sent.
  return {text, strnlen(text, field - 1)};
}

} // namespace

std::uint32_t ValueItem::Number() const {
  return wire::GetU32(value, 0);
}

std::string_view ValueItem::Text() const {
  std::size_t field = TextSize(type);
  if (field == 0) {
    return {};
  }
  return BoundedText(reinterpret_cast<const char *>(value.data()), field);
}

ValueItem DecodeValueItem(std::span<const std::uint8_t, kValueItemSize> item) {
  ValueItem decoded;
  decoded.tag = wire::GetU32(item, kValueItemTagOffset);
  decoded.type = wire::GetU32(item, kValueItemTypeOffset);
  auto value = item.subspan<kValueItemValueOffset, kValueSize>();
  std::copy(value.begin(), value.end(), decoded.value.begin());
  return decoded;
}

std::size_t ReadableItemCount(std::uint32_t claimed, std::size_t received,
                              std::size_t firstItemOffset) {
  if (received <= firstItemOffset) {
    return 0;
  }
  return std::min<std::size_t>(claimed, (received - firstItemOffset) / kValueItemSize);
}

std::size_t ValueRecordSize(std::uint32_t type) {
  std::size_t text = TextSize(type);
  return kRecordHeaderSize + (text != 0 ? text : kNumberSize);
}

ValueRecordPtr MakeValueRecord(const ValueItem &item) {
  const std::size_t size = ValueRecordSize(item.type);
  ValueRecordPtr record(static_cast<ValueRecord *>(CoTaskMemAlloc(size)));
  if (!record) {
    return record;
  }
  std::memset(record.get(), 0, size);
  record->tag = item.tag;
  record->type = item.type;
  if (std::size_t text = TextSize(item.type); text != 0) {
    std::memcpy(record->value.text, item.value.data(), text);
  } else {
    record->value.number = item.Number();
  }
  return record;
}

std::string_view ValueRecordText(const ValueRecord &record) {
  std::size_t field = TextSize(record.type);
  if (field == 0) {
    return {};
  }
  return BoundedText(record.value.text, field);
}

} // namespace tavelo
