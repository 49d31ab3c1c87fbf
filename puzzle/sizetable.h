// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace puzzle {

// Which of the two "Solve It For Me" footers a size gets when the button is asked for.
enum class SolveFooter { A, B };

inline constexpr int kMinGrid = 3;
inline constexpr int kMaxGrid = 9;
inline constexpr int kSizeCount = kMaxGrid - kMinGrid + 1;

inline constexpr std::string_view kRowSeparator = "</tr><tr>";
inline constexpr std::string_view kRowSeparatorUpper = "</tr><TR>";

// One row of the size table: everything that differs from one grid size to another.
struct SizeRow {
    std::string_view button;  // objectName of the size button on the main window
    std::string_view caption; // the button's caption
    int n;
    std::string_view scrambleOrder;
    // The N-1 separators between table rows, first to last; entries past N-2 are unused.
    std::array<std::string_view, kMaxGrid - 1> separators;
    SolveFooter solveFooter;

    [[nodiscard]] int pieceCount() const { return n * n; }
    [[nodiscard]] std::string pieceCountText() const { return std::to_string(pieceCount()); }
    [[nodiscard]] std::string lastPieceIndexText() const {
        return std::to_string(pieceCount() - 1);
    }
    [[nodiscard]] std::string_view separator(int row) const { return separators.at(row); }
};

// The seven rows, in button order (RadioButton1 = 3x3 ... RadioButton7 = 9x9).
const std::array<SizeRow, kSizeCount>& sizeTable();

// Row of a size button by its number 1..7, or nullopt outside that range.
const SizeRow* rowForButton(int buttonNumber);
// Row of a size button by its objectName ("RadioButton1" ...), or nullptr.
const SizeRow* rowForButton(std::string_view buttonName);
// Row of a grid size 3..9, or nullptr.
const SizeRow* rowForGrid(int n);
// The first selected button's row, asking the buttons in order; nullptr when none is selected.
const SizeRow* selectedRow(const std::array<bool, kSizeCount>& buttonSelected);

} // namespace puzzle
