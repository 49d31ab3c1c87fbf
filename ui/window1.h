// SPDX-License-Identifier: MIT
#pragma once

#include "puzzle/exportrun.h"
#include "puzzle/request.h"
#include "puzzle/sizecommand.h"

#include <QMainWindow>

#include <optional>

namespace ui {

// The main window: the solve-button choice, the seven size buttons and the preview. Clicking a
// size makes the puzzle. Built completely by its constructor; reached through ::Window1().
class Window1 : public QMainWindow, public puzzle::SizeCommandHost {
    Q_OBJECT
public:
    static constexpr bool kVisible = true;
    static constexpr int kWidth = 238; // content area, menu bar not included
    static constexpr int kHeight = 356;

    Window1();
    ~Window1() override;

    void Layout();
    void CreateControls();
    void CreateControls0();
    void RadioButton1_Action();
    void RadioButton2_Action();
    void RadioButton3_Action();
    void RadioButton4_Action();
    void RadioButton5_Action();
    void RadioButton6_Action();
    void RadioButton7_Action();
    void AddMenuHandlers();
    void Event_EnableMenuItems();
    bool AboutTilemaven_Action();
    bool Helpinstructions_Action();
    puzzle::ExportOutcome redraw(const QString& tableText) override;

    // The page asked for at launch (--window): the export run writes it, and the page opens in the
    // browser after "Done". Without one the window makes its classic page, as it always did.
    void setPageChoice(const puzzle::PageChoice& choice);

    // What the size command and the export run read and write.
    std::array<bool, puzzle::kSizeCount> sizeButtonStates() const override;
    void setPreview(const QImage& piece) override;
    QSize previewSize() const override;
    QString pageFieldText() const override;
    void setPageFieldText(const QString& text) override;
    bool sizeButtonSelected(const puzzle::SizeRow& row) const override;
    bool solveButtonTicked() const override;
    const puzzle::PageChoice* pageChoice() const override;

private:
    void runSizeCommand(int buttonNumber);

    bool m_generating = false;
    std::optional<puzzle::PageChoice> m_choice;
};

} // namespace ui

// The main window's shared instance, built and shown on first use.
ui::Window1& Window1();
