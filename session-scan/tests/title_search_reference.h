// The custom-title search written as literally as it is defined, kept as the
// reference that the production search is compared with (unit tests and the reader
// fuzzer): split at line feeds, visit the pieces from the last, and in a piece with
// the marker try a fresh string read at every quote. Quadratic on hostile lines;
// never use it outside tests.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json_reader.h"
#include "session_titles.h"

namespace orva::reference {

inline CustomTitleOutcome scanTitlePiece(std::string_view piece) {
    std::optional<std::string> title;
    OptionalString source;
    std::size_t p = 0;
    while (p < piece.size()) {
        if (piece[p] != '"') {
            ++p;
            continue;
        }
        JsonCursor cursor{piece.data(), piece.size(), p};
        const std::optional<std::string> token = readString(cursor);
        if (!token) {
            ++p;
            continue;
        }
        p = cursor.position;
        if (*token != "customTitle" && *token != "titleSource") continue;
        skipJsonWhitespace(cursor);
        if (cursor.position >= cursor.length || piece[cursor.position] != ':') continue;
        ++cursor.position;
        skipJsonWhitespace(cursor);
        if (cursor.position >= cursor.length || piece[cursor.position] != '"') continue;
        std::optional<std::string> value = readString(cursor);
        if (!value) return {TitleSearch::Error, {}};
        p = cursor.position;
        if (*token == "customTitle") {
            title = std::move(value);
        } else if (!source) {
            source = std::move(value);
        }
    }
    if (!title) return {};
    return {TitleSearch::Found, {std::move(*title), std::move(source)}};
}

inline CustomTitleOutcome findCustomTitle(std::string_view window) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= window.size(); ++i) {
        if (i == window.size() || window[i] == '\n') {
            pieces.push_back(window.substr(start, i - start));
            start = i + 1;
        }
    }
    for (auto piece = pieces.rbegin(); piece != pieces.rend(); ++piece) {
        if (piece->size() < CUSTOM_TITLE_MARKER.size()) continue;
        if (piece->find(CUSTOM_TITLE_MARKER) == std::string_view::npos) continue;
        CustomTitleOutcome outcome = scanTitlePiece(*piece);
        if (outcome.result != TitleSearch::NotFound) return outcome;
    }
    return {};
}

}  // namespace orva::reference
