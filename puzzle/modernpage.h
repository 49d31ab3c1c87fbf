// SPDX-License-Identifier: MIT
#pragma once

// The modern page: standards mode, a board of any columns by rows that fits the window, touch and
// keyboard play, a move counter, a clock, a finish message, progress and bests kept in the browser,
// in the visitor's language. Its source is puzzle/modern.html, built into the program.

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

// The grids the modern page plays: columns and rows from 2 to 12, at most 144 pieces.
inline constexpr int kMinGridSide = 2;
inline constexpr int kMaxGridSide = 12;
inline constexpr int kMaxGridPieces = 144;
// How many pieces an automatic grid aims at.
inline constexpr int kAutoGridPieces = 16;

struct GridSides {
    int columns = 0;
    int rows = 0;
    bool operator==(const GridSides&) const = default;
};

bool validModernGrid(GridSides grid);

// For a picture of width x height pixels, the modern grid near kAutoGridPieces pieces whose pieces
// are closest to square; a picture too small for any grid gets the smallest.
GridSides autoGrid(int width, int height);

struct ModernPage {
    GridSides grid;
    int pieceWidth = 0, pieceHeight = 0;
    // Names the puzzle where the visitor's browser keeps progress and bests: letters and digits.
    std::string id;
    std::string title{kDefaultTitle}; // UTF-8; escaped here
    bool solveButton = false;
    std::vector<std::string> pieces; // the address of each piece, Image0 first
};

// The whole of index.html. A grid, an id and one address per piece are required.
std::string modernPageText(const ModernPage& page);

} // namespace puzzle
