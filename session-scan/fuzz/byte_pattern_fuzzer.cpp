// libFuzzer target for the backward byte pattern search: findLast gives what
// std::string_view::rfind gives. The first byte is the needle's length (1 to 32),
// the next two its anchors, then the needle, then the haystack.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "byte_pattern.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::size_t needleSize = 1 + data[0] % 32;
    if (size < 3 + needleSize) return 0;
    const std::string_view needle(reinterpret_cast<const char*>(data) + 3, needleSize);
    const std::string_view haystack(reinterpret_cast<const char*>(data) + 3 + needleSize,
                                    size - 3 - needleSize);
    const orva::BytePattern pattern(needle, data[1] % needleSize, data[2] % needleSize);
    orva::fuzz::check(pattern.findLast(haystack) == haystack.rfind(needle),
                      "BytePattern::findLast differs from rfind");
    return 0;
}
