// SPDX-License-Identifier: MIT
#include "ui/windowtop.h"

#include "puzzle/page.h"
#include "ui/controls.h"
#include "ui/framework.h"

namespace ui {

Windowtop::Windowtop() {
    Layout();
    CreateControls();
    addToWindowList(this);
}

void Windowtop::Layout() {
    setObjectName(QStringLiteral("Windowtop"));
    setWindowTitle(QStringLiteral("Untitled"));
    resize(618, 597);
}

void Windowtop::CreateControls() {
    CreateControls0();
}

void Windowtop::CreateControls0() {
    (new EditField(this))->setObjectName(QStringLiteral("topField"));
    EditField& field = topField();
    field.setGeometry(20, 14, 578, 563);
    field.setFont(geneva(12, false));
    field.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    field.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    field.setLineWrapMode(QPlainTextEdit::WidgetWidth);
    const std::string_view page = puzzle::pageTemplate();
    field.setText(QString::fromLatin1(page.data(), qsizetype(page.size())));
}

EditField& Windowtop::topField() const {
    return control<EditField>(*this, QStringLiteral("topField"));
}

} // namespace ui

ui::Windowtop& Windowtop() {
    return ui::implicitInstance<ui::Windowtop>(QStringLiteral("Windowtop.Windowtop"));
}
