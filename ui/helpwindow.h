// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QWidget>

namespace ui {

class EditField;

// The instructions, in one editable field. Edits are never kept: closing the window discards it,
// and the next one starts from the fixed text.
class HelpWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr bool kVisible = true;

    HelpWindow();

    void Layout();
    void CreateControls();
    void CreateControls0();
    void AddMenuHandlers();

    EditField& EditField1() const;

    // The 13 lines, joined by single carriage returns.
    static QString helpText();
};

} // namespace ui

// The Help window's shared instance, built and shown on first use.
ui::HelpWindow& HelpWindow();
