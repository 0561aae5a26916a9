// Counted wide strings with the documented size, truncation and terminator rules.
#include "emulation_private.h"

namespace kemu::detail {

size_t WideLength(PCWSTR text) {
  size_t length = 0;
  while (text[length]) ++length;
  return length;
}

std::u16string ToString(PCUNICODE_STRING string) {
  if (!string || !string->Buffer) return {};
  return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

std::u16string ToString(PCWSTR text) { return text ? std::u16string(text, WideLength(text)) : std::u16string(); }

std::string Narrow(const std::u16string& text) {
  std::string narrow;
  for (char16_t c : text) narrow += c < 0x80 ? char(c) : '?';
  return narrow;
}

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

namespace {

NTSTATUS Append(PUNICODE_STRING destination, const WCHAR* source, size_t bytes) {
  if (destination->Length + bytes > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  memmove(reinterpret_cast<char*>(destination->Buffer) + destination->Length, source, bytes);
  destination->Length = USHORT(destination->Length + bytes);
  if (destination->Length + sizeof(WCHAR) <= destination->MaximumLength)
    destination->Buffer[destination->Length / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

}  // namespace
}  // namespace kemu::detail

using namespace kemu::detail;

void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
  destination->Buffer = const_cast<PWSTR>(source);
  if (!source) {
    destination->Length = destination->MaximumLength = 0;
    return;
  }
  size_t bytes = WideLength(source) * sizeof(WCHAR);
  if (bytes > 0xFFFC) kemu::Bugcheck("RtlInitUnicodeString of a string longer than a counted string holds");
  destination->Length = USHORT(bytes);
  destination->MaximumLength = USHORT(bytes + sizeof(WCHAR));
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
  if (!source->Length) return STATUS_SUCCESS;
  return Append(destination, source->Buffer, source->Length);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source) {
  if (!source) return STATUS_SUCCESS;
  return Append(destination, source, WideLength(source) * sizeof(WCHAR));
}

NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string) {
  if (base == 0) base = 10;
  if (base != 2 && base != 8 && base != 10 && base != 16) return STATUS_INVALID_PARAMETER;
  WCHAR digits[33];
  size_t count = 0;
  do {
    ULONG digit = value % base;
    digits[count++] = WCHAR(digit < 10 ? u'0' + digit : u'A' + digit - 10);
    value /= base;
  } while (value);
  size_t bytes = count * sizeof(WCHAR);
  if (bytes > string->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (size_t i = 0; i < count; ++i) string->Buffer[i] = digits[count - 1 - i];
  string->Length = USHORT(bytes);
  if (bytes + sizeof(WCHAR) <= string->MaximumLength) string->Buffer[count] = 0;
  return STATUS_SUCCESS;
}

void RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
  if (!source) {
    destination->Length = 0;
    return;
  }
  USHORT bytes = source->Length < destination->MaximumLength ? source->Length : destination->MaximumLength;
  memmove(destination->Buffer, source->Buffer, bytes);
  destination->Length = bytes;
  if (bytes + sizeof(WCHAR) <= destination->MaximumLength) destination->Buffer[bytes / sizeof(WCHAR)] = 0;
}

void RtlFreeUnicodeString(PUNICODE_STRING string) {
  if (string->Buffer) ExFreePool(string->Buffer);
  string->Buffer = nullptr;
  string->Length = string->MaximumLength = 0;
}
