// libFuzzer target for the catalog's number format: for every finite double (its 8
// bytes from the input) the text is a JSON number in plain positional notation that
// strtod reads back as the same double, sign of zero included.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "json_reader.h"
#include "json_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using orva::fuzz::check;
    if (size < sizeof(double)) return 0;
    double value;
    std::memcpy(&value, data, sizeof value);
    if (!std::isfinite(value)) return 0;
    const std::string text = orva::formatNumber(value);
    check(text.find_first_of("eE") == std::string::npos, "a number written with an exponent");
    orva::JsonCursor cursor{text.data(), text.size(), 0};
    check(orva::skipValue(cursor, 1) && cursor.position == text.size(),
          "a number that is not one JSON number");
    char* end = nullptr;
    const double read = std::strtod(text.c_str(), &end);
    check(end == text.c_str() + text.size(), "strtod did not read the whole number");
    check(read == value && std::signbit(read) == std::signbit(value),
          "a number that strtod reads back as another");
    return 0;
}
