// Text functions: lstrcpynA and the conversions between the Cyrillic code page 1251 and UTF-16,
// the one code page the plug-in converts. The table below is the plug-in's only copy of it.
#include <cstring>

#include "platform/win32.h"

namespace {

// Code page 1251, bytes 0x80 to 0xBF; 0 marks the one unassigned byte (0x98).
constexpr char16_t kCp1251High[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A,
    0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0000, 0x2122,
    0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6,
    0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456,
    0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

char16_t from_cp1251(unsigned char byte) {
  if (byte < 0x80) return byte;
  if (byte >= 0xC0) return static_cast<char16_t>(0x0410 + (byte - 0xC0));  // А..я are contiguous
  char16_t mapped = kCp1251High[byte - 0x80];
  return mapped != 0 ? mapped : u'?';
}

}  // namespace

extern "C" LPSTR lstrcpynA(LPSTR destination, LPCSTR source, int max_length) {
  if (destination == nullptr || source == nullptr || max_length <= 0) return destination;
  int i = 0;
  for (; i < max_length - 1 && source[i] != '\0'; ++i) destination[i] = source[i];
  destination[i] = '\0';
  return destination;
}

extern "C" int MultiByteToWideChar(UINT code_page, DWORD, LPCSTR source, int source_length,
                                   LPWSTR destination, int destination_length) {
  if (code_page != 1251 || source == nullptr || destination_length < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // -1 means "up to and including the terminator", as on Windows.
  int length = source_length < 0 ? static_cast<int>(std::strlen(source)) + 1 : source_length;
  if (destination_length == 0) return length;
  if (destination == nullptr || destination_length < length) {
    SetLastError(122);  // ERROR_INSUFFICIENT_BUFFER
    return 0;
  }
  for (int i = 0; i < length; ++i) destination[i] = from_cp1251(static_cast<unsigned char>(source[i]));
  return length;
}

// Windows' conversion without best fit: a character the code page does not hold becomes the
// default character (or "?") and is reported through used_default_char.
extern "C" int WideCharToMultiByte(UINT code_page, DWORD, LPCWSTR source, int source_length,
                                   LPSTR destination, int destination_length, LPCSTR default_char,
                                   BOOL* used_default_char) {
  if (code_page != 1251 || source == nullptr || destination_length < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  int length = source_length;
  if (length < 0) {
    length = 0;
    while (source[length] != 0) ++length;
    ++length;  // the terminator, as on Windows
  }
  if (used_default_char != nullptr) *used_default_char = 0;
  if (destination_length == 0) return length;
  if (destination == nullptr || destination_length < length) {
    SetLastError(122);  // ERROR_INSUFFICIENT_BUFFER
    return 0;
  }
  const char fallback = default_char != nullptr ? *default_char : '?';
  for (int i = 0; i < length; ++i) {
    char16_t c = source[i];
    int byte = -1;
    if (c < 0x80) {
      byte = c;
    } else if (c >= 0x0410 && c <= 0x044F) {
      byte = 0xC0 + (c - 0x0410);
    } else {
      for (int j = 0; j < 64; ++j)
        if (kCp1251High[j] != 0 && kCp1251High[j] == c) byte = 0x80 + j;
    }
    if (byte < 0) {
      destination[i] = fallback;
      if (used_default_char != nullptr) *used_default_char = 1;
    } else {
      destination[i] = static_cast<char>(byte);
    }
  }
  return length;
}
