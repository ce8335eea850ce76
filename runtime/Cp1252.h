// Code page 1252, the device's and the operator's text encoding, to and from UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace rt {

// Unicode code point of a CP1252 byte. The five bytes that CP1252 leaves undefined map to
// the C1 control of the same number, as Windows does.
char32_t Cp1252ToUnicode(unsigned char c);

std::string Cp1252ToUtf8(std::string_view cp1252);

// Empty when the text is not valid UTF-8 or holds a character that CP1252 cannot represent.
std::optional<std::string> Utf8ToCp1252(std::string_view utf8);

}  // namespace rt
