// UTF-8 <-> UTF-16 transcoding without tracing or allocation policy. An invalid sequence (a stray
// continuation byte, a truncated or overlong sequence, a surrogate encoded in UTF-8, a lone
// surrogate in UTF-16) becomes U+FFFD; transcoding never fails.
#pragma once

#include <string>
#include <string_view>

std::u16string Utf8ToUtf16String(std::string_view utf8);
std::string Utf16ToUtf8String(std::u16string_view utf16);
