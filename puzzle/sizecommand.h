// SPDX-License-Identifier: MIT
#pragma once

#include "puzzle/exportrun.h"
#include "puzzle/sizetable.h"

#include <QString>

namespace puzzle {

// The main window as the size command sees it.
class SizeCommandHost : public ExportHost {
public:
    virtual bool sizeButtonSelected(const SizeRow& row) const = 0;
    // The export run that the main window owns.
    virtual ExportOutcome redraw(const QString& tableText) = 0;
};

// Replaces every ddd, then ppp, then qqq of `text` by the row's texts (fillTemplate).
QString fillPlaceholders(const QString& text, const SizeRow& row);

// The piece table and the footer for the row.
QString buildTableText(const SizeRow& row, bool solveButton);

inline constexpr const char* kDone = "Done";

// The whole generation of one puzzle for `row`: fill the page field, build the table text, run the
// main window's export run, "Done" through `ui` when the folder was written, then quit. A window
// started for a chosen page opens the written page in the browser between the two. Nothing happens
// when the row's button is not selected.
void runSizeCommand(const SizeRow& row, SizeCommandHost& host, platform::Interaction& ui);

} // namespace puzzle
