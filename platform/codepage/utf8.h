// UTF-8 helpers shared by the code page implementations of every platform
// (not part of the component's interface).
#ifndef QV_PLATFORM_CODEPAGE_UTF8_H
#define QV_PLATFORM_CODEPAGE_UTF8_H

#include <cstddef>
#include <string_view>

namespace qv::codepage::detail {

// True when every byte is below 0x80.
bool IsAscii(std::string_view s);
// Length of the well-formed UTF-8 sequence at the start of `s`, or 0.
size_t Utf8SequenceLength(std::string_view s);

}  // namespace qv::codepage::detail

#endif
