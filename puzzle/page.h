// SPDX-License-Identifier: MIT
#pragma once

#include "puzzle/sizetable.h"

#include <string>
#include <string_view>

namespace puzzle {

#ifndef TILEMAVEN_HOMEPAGE
#error "TILEMAVEN_HOMEPAGE must be defined by the build"
#endif

// The maker's web site (the build's TILEMAVEN_HOMEPAGE), used by the classic page's footer and by
// the About window's link, which shows it without its "https://".
inline constexpr std::string_view kMakerUrl = TILEMAVEN_HOMEPAGE;
inline constexpr std::string_view kMakerUrlText = kMakerUrl.substr(kMakerUrl.find("://") + 3);
inline constexpr std::string_view kMakerContact = "hello@tilemaven.example";

// Placeholders of the page template and what fills them.
inline constexpr std::string_view kPieceCountPlaceholder = "ddd";
inline constexpr std::string_view kLastIndexPlaceholder = "ppp";
inline constexpr std::string_view kScramblePlaceholder = "qqq";

// The page template: 96 lines joined by single carriage returns, no line end after the last.
std::string_view pageTemplate();

// Replaces every occurrence of `placeholder` in `text` by `replacement`.
std::string replaceAll(std::string text, std::string_view placeholder,
                       std::string_view replacement);

// Fills every ddd, then ppp, then qqq of `text` with the row's texts.
std::string fillTemplate(std::string text, const SizeRow& row);

// The cell that shows piece k and hands the script its own position on a click.
std::string pieceCell(int k);

// N rows of cells with the row's separators between them, closed by "</tr></table>".
std::string pieceTable(const SizeRow& row);

std::string solveFooterA();
std::string solveFooterB();
std::string plainFooter();
// The footer a page of this size gets: its solve footer when the button is asked for.
std::string footerFor(const SizeRow& row, bool solveButton);

// Everything after the filled template: the piece table and the footer.
std::string tableText(const SizeRow& row, bool solveButton);

// The whole of index.html.
std::string pageText(const SizeRow& row, bool solveButton);

} // namespace puzzle
