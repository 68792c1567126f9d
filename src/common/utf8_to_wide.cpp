#include "common/utf8_to_wide.h"

#include <utf8.h>

#include <cstdint>
#include <iterator>

#include "common/growable_array.h"

namespace zep {

namespace {

bool DecodeLeniently(const unsigned char* bytes, size_t length, std::u16string& out) {
  GrowableArray<uint32_t> codePoints;
  size_t i = 0;
  while (i < length) {
    const unsigned char lead = bytes[i++];
    uint32_t value = 0;
    int continuations = 0;
    if (lead < 0x80) {
      value = lead;
    } else if (lead < 0xC0 || lead >= 0xF8) {
      return false;
    } else if (lead < 0xE0) {
      value = lead & 0x1F;
      continuations = 1;
    } else if (lead < 0xF0) {
      value = lead & 0x0F;
      continuations = 2;
    } else {
      value = lead & 0x07;
      continuations = 3;
    }
    for (int c = 0; c < continuations; ++c) {
      if (i >= length || bytes[i] < 0x80 || bytes[i] > 0xBF) return false;
      value = (value << 6) | (bytes[i++] & 0x3F);
    }
    if ((value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return false;
    if (codePoints.Append(value) < 0) return false;
  }
  for (int k = 0; k < codePoints.Size(); ++k) {
    uint32_t value = codePoints[k];
    if (value < 0x10000) {
      out.push_back(static_cast<char16_t>(value));
    } else {
      value -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (value >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (value & 0x3FF)));
    }
  }
  return true;
}

}  // namespace

void Utf8ToWide(const char* bytes, size_t length, std::u16string& out) {
  if (bytes == nullptr || length == 0) return;
  std::u16string converted;
  try {
    utf8::utf8to16(bytes, bytes + length, std::back_inserter(converted));
  } catch (const utf8::exception&) {
    converted.clear();
    if (!DecodeLeniently(reinterpret_cast<const unsigned char*>(bytes), length, converted)) return;
  }
  out += converted;
}

}  // namespace zep
