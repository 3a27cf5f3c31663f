// libFuzzer target for the custom-title search: on every reader path it gives what
// the literal search gives (a fresh string read at every quote of every piece with
// the marker, kept in the tests as the reference), and the bytes its string reads
// examine stay within a few times the window, so that no input makes it quadratic.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "../tests/title_search_reference.h"
#include "fuzz_support.h"
#include "session_titles.h"

namespace {

using namespace orva;
using fuzz::check;

bool sameOutcome(const CustomTitleOutcome& a, const CustomTitleOutcome& b) {
    if (a.result != b.result) return false;
    if (a.result != TitleSearch::Found) return true;
    return a.hit.customTitle == b.hit.customTitle && a.hit.titleSource == b.hit.titleSource;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view window(reinterpret_cast<const char*>(data), size);
    forceReaderPath(ReaderPath::Portable);
    const CustomTitleOutcome expected = reference::findCustomTitle(window);
    for (ReaderPath path : availableReaderPaths()) {
        forceReaderPath(path);
        std::size_t bytesExamined = 0;
        const CustomTitleOutcome found = findCustomTitle(window, bytesExamined);
        check(sameOutcome(found, expected), "findCustomTitle differs from the literal search");
        check(bytesExamined <= 3 * size + 16, "the title search examined too many bytes");
        if (found.result == TitleSearch::Found) {
            check(isValidUtf8(found.hit.customTitle), "a title that is not UTF-8");
        }
    }
    return 0;
}
