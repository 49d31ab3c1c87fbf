// SPDX-License-Identifier: MIT
#include "puzzle/sizetable.h"

namespace puzzle {
namespace {

constexpr std::string_view lo = kRowSeparator;
constexpr std::string_view up = kRowSeparatorUpper;

// The 9x9 order has two places whose entries ("4" and "80") are ours to arrange; 4 comes first.
constexpr std::array<SizeRow, kSizeCount> kTable{{
    {"RadioButton1", "3x3", 3, "4,1,7,3,2,8,6,0,5", {lo, lo}, SolveFooter::A},
    {"RadioButton2",
     "4x4",
     4,
     "15,1,14,13,12,3,11,0,9,5,2,8,7,10,4,6",
     {lo, lo, lo},
     SolveFooter::B},
    {"RadioButton3",
     "5x5",
     5,
     "24,4,9,16,21,6,3,14,10,1,5,8,11,18,0,20,15,22,17,12,19,23,7,2,13",
     {lo, lo, lo, lo},
     SolveFooter::B},
    {"RadioButton4",
     "6x6",
     6,
     "16,6,1,27,17,7,4,24,21,5,15,31,12,28,32,13,18,9,26,34,2,22,10,25,8,20,0,14,33,29,11,3,30,"
     "19,23,35",
     {lo, lo, lo, lo, lo},
     SolveFooter::B},
    {"RadioButton5",
     "7x7",
     7,
     "20,10,6,11,38,3,12,48,9,15,31,7,29,0,16,32,13,43,37,1,35,8,23,34,36,14,45,44,33,19,27,28,"
     "47,46,39,40,42,25,30,5,18,24,2,22,17,26,41,4,21",
     {lo, lo, lo, lo, lo, up},
     SolveFooter::B},
    {"RadioButton6",
     "8x8",
     8,
     "20,49,9,39,2,42,37,27,7,41,59,6,58,12,57,16,3,21,56,34,14,55,15,47,61,13,26,29,43,11,51,"
     "25,54,62,0,28,18,8,63,60,46,33,24,30,48,10,22,44,1,19,53,31,40,36,5,38,17,32,52,45,23,4,"
     "50,35",
     {lo, lo, lo, lo, lo, up, up},
     SolveFooter::B},
    {"RadioButton7",
     "9x9",
     9,
     "9,20,22,12,3,29,0,4,27,37,65,54,15,14,62,63,16,7,76,47,71,74,24,28,61,25,73,33,69,11,67,"
     "31,78,45,55,38,50,72,23,43,39,34,75,60,30,70,77,80,32,26,36,51,35,58,19,59,53,52,5,79,21,"
     "2,46,48,68,18,13,64,17,1,10,56,44,57,41,8,66,40,49,6,42",
     {lo, lo, lo, lo, lo, lo, lo, lo},
     SolveFooter::B},
}};

} // namespace

const std::array<SizeRow, kSizeCount>& sizeTable() {
    return kTable;
}

const SizeRow* rowForButton(int buttonNumber) {
    if (buttonNumber < 1 || buttonNumber > kSizeCount)
        return nullptr;
    return &kTable[static_cast<std::size_t>(buttonNumber - 1)];
}

const SizeRow* rowForButton(std::string_view buttonName) {
    for (const SizeRow& row : kTable)
        if (row.button == buttonName)
            return &row;
    return nullptr;
}

const SizeRow* rowForGrid(int n) {
    return rowForButton(n - kMinGrid + 1);
}

const SizeRow* selectedRow(const std::array<bool, kSizeCount>& buttonSelected) {
    for (std::size_t i = 0; i < buttonSelected.size(); ++i)
        if (buttonSelected[i])
            return &kTable[i];
    return nullptr;
}

} // namespace puzzle
