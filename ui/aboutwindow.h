// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QWidget>

namespace ui {

class StaticText;

// Product name and version, credit and contact, and the link to the maker's web site.
class AboutWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr bool kVisible = true;

    AboutWindow();

    void Layout();
    void CreateControls();
    void CreateControls0();
    // Opens the maker's web site on every press; the press is not reported as handled.
    bool StaticText3_MouseDown(int x, int y);
    void AddMenuHandlers();

    StaticText& staticText(int number) const;

    static QString creditText();
};

} // namespace ui

// The About window's shared instance, built and shown on first use.
ui::AboutWindow& AboutWindow();
