// The OLE string functions: a 32-bit byte length stored just before the
// text, UTF-16 code units, then a 16-bit zero. Allocated with malloc so that
// a host that mixes allocators still fails loudly rather than silently.
#include "host/QXRS_VURUV90_20_Strings.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/error.h"
#include "platform/strings.h"

namespace qx {
namespace {

constexpr size_t kPrefixBytes = sizeof(uint32_t);
// Largest code-unit count whose byte length, prefix and terminator fit in 32 bits.
constexpr size_t kMaxUnits =
    (std::numeric_limits<uint32_t>::max() - kPrefixBytes - sizeof(char16_t)) / sizeof(char16_t);

char* BlockOf(BSTR aString) { return reinterpret_cast<char*>(aString) - kPrefixBytes; }

uint32_t ByteLength(const char16_t* aString) {
  uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<const char*>(aString) - kPrefixBytes, sizeof bytes);
  return bytes;
}

// Allocates the block for |aUnits| code units, stores the prefix and the
// terminator and copies |aText| (or zeros when it is null).
BSTR Allocate(const char16_t* aText, size_t aUnits) {
  if (aUnits > kMaxUnits) return nullptr;
  const size_t bytes = aUnits * sizeof(char16_t);
  char* block = static_cast<char*>(std::malloc(kPrefixBytes + bytes + sizeof(char16_t)));
  if (block == nullptr) return nullptr;
  const uint32_t prefix = static_cast<uint32_t>(bytes);
  std::memcpy(block, &prefix, sizeof prefix);
  BSTR text = reinterpret_cast<BSTR>(block + kPrefixBytes);
  if (aText != nullptr) {
    std::memcpy(text, aText, bytes);
  } else {
    std::memset(text, 0, bytes);
  }
  text[aUnits] = u'\0';
  return text;
}

}  // namespace

std::string FromBstr(BSTR aString) {
  if (aString == nullptr) return std::string();
  return Utf16ToUtf8(std::u16string_view(aString, ByteLength(aString) / sizeof(char16_t)));
}

std::string UnpairedSurrogateProblem(BSTR aString) {
  if (aString == nullptr) return std::string();
  return UnpairedSurrogateProblemIn(
      std::u16string_view(aString, ByteLength(aString) / sizeof(char16_t)));
}

BSTR ToBstr(const std::string& aText) {
  const std::u16string wide = Utf8ToUtf16(aText);
  BSTR result = Allocate(wide.data(), wide.size());
  if (result == nullptr) throw Error("Out of memory");
  return result;
}

}  // namespace qx

extern "C" {

BSTR SysAllocString(const char16_t* aText) {
  if (aText == nullptr) return nullptr;
  return qx::Allocate(aText, std::char_traits<char16_t>::length(aText));
}

BSTR SysAllocStringLen(const char16_t* aText, unsigned int aLength) {
  return qx::Allocate(aText, aLength);
}

void SysFreeString(BSTR aString) {
  if (aString != nullptr) std::free(qx::BlockOf(aString));
}

unsigned int SysStringLen(BSTR aString) {
  return aString == nullptr ? 0 : qx::ByteLength(aString) / sizeof(char16_t);
}

unsigned int SysStringByteLen(BSTR aString) {
  return aString == nullptr ? 0 : qx::ByteLength(aString);
}

}  // extern "C"
