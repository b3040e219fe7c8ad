// Text between the program (UTF-8) and the Win32 API (UTF-16).
#pragma once

#include <windows.h>

#include <string>

inline std::wstring WideText(const std::string& text) {
  std::wstring wide(text.size(), L'\0');  // never more UTF-16 units than UTF-8 bytes
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         wide.data(), static_cast<int>(wide.size()));
  wide.resize(static_cast<std::size_t>(length > 0 ? length : 0));
  return wide;
}

inline std::string Utf8Text(const std::wstring& wide) {
  std::string text(wide.size() * 3, '\0');  // at most three bytes per UTF-16 unit
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(),
                          static_cast<int>(text.size()), nullptr, nullptr);
  text.resize(static_cast<std::size_t>(length > 0 ? length : 0));
  return text;
}
