// SPDX-License-Identifier: MIT
#pragma once

// The modern page: standards mode, a board that fits the window, touch and keyboard play, a move
// counter, a clock and a finish message. Its source is puzzle/modern.html, built into the program.

#include "puzzle/sizetable.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace puzzle {

inline constexpr std::string_view kDefaultTitle = "Solve It";
inline constexpr std::size_t kMaxTitleLength = 200; // characters, not bytes

// The fields of the page source, each written as {{name}}.
inline constexpr std::string_view kTitleField = "{{title}}";
inline constexpr std::string_view kSolveField = "{{solve}}";
inline constexpr std::string_view kDataField = "{{data}}";

// puzzle/modern.html as it stands in the repository.
std::string_view modernTemplate();

// Whether `title` (UTF-8) can head a page: one line of at most kMaxTitleLength characters.
bool validTitle(std::string_view title);

// `text` shown as text inside an element or an attribute value, never taken as markup.
std::string escapeHtml(std::string_view text);

// The address of piece k in its folder; `version` changes with the piece's content, so that a
// browser never shows a piece of an older puzzle from its cache.
std::string pieceAddress(int k, std::string_view version);

// A JPEG as a data: address, for a page that carries its pieces inside.
std::string jpegDataUri(std::string_view jpeg);

struct ModernPage {
    const SizeRow* row = nullptr;
    int pieceWidth = 0, pieceHeight = 0;
    std::string title{kDefaultTitle}; // UTF-8; escaped here
    bool solveButton = false;
    std::vector<std::string> pieces; // the address of each piece, Image0 first
};

// The whole of index.html. The row and one address per piece are required.
std::string modernPageText(const ModernPage& page);

} // namespace puzzle
