// SPDX-License-Identifier: MIT
#pragma once

#include <QWidget>

namespace ui {

class EditField;

// The never-shown window whose field topField holds the page: first the template, then the
// filled template, then the whole page.
class Windowtop : public QWidget {
    Q_OBJECT
public:
    static constexpr bool kVisible = false;

    Windowtop();

    void Layout();
    void CreateControls();
    void CreateControls0();

    EditField& topField() const;
};

} // namespace ui

// The page window's shared instance, built (hidden) on first use.
ui::Windowtop& Windowtop();
