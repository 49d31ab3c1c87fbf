// SPDX-License-Identifier: MIT
#pragma once

#include "platform/interaction.h"
#include "puzzle/page.h"
#include "puzzle/sizecommand.h"
#include "puzzle/sizetable.h"

#include <QImage>
#include <QList>
#include <QString>

#include <array>

// The main window as the puzzle run sees it: seven size buttons, the check box, the preview and the
// hidden page field.
class FakeHost final : public puzzle::SizeCommandHost {
public:
    std::array<bool, puzzle::kSizeCount> buttons{};
    bool solve = false;
    QString field = QString::fromLatin1(puzzle::pageTemplate().data(),
                                        qsizetype(puzzle::pageTemplate().size()));
    QList<QImage> previews;

    void select(int n) {
        buttons = {};
        buttons[std::size_t(n - puzzle::kMinGrid)] = true;
    }
    std::array<bool, puzzle::kSizeCount> sizeButtonStates() const override { return buttons; }
    void setPreview(const QImage& piece) override { previews << piece; }
    QString pageFieldText() const override { return field; }
    void setPageFieldText(const QString& text) override { field = text; }
    bool sizeButtonSelected(const puzzle::SizeRow& row) const override {
        return buttons[std::size_t(row.n - puzzle::kMinGrid)];
    }
    bool solveButtonTicked() const override { return solve; }
    // The export run answers through `person` (the size command's own messages go through the
    // one it is given).
    puzzle::ExportOutcome redraw(const QString& tableText) override {
        return puzzle::redraw(*this, *person, tableText);
    }
    platform::Interaction* person = nullptr;
};
