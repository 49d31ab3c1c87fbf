// SPDX-License-Identifier: MIT
#pragma once

#include "puzzle/sizetable.h"

#include <QImage>
#include <QString>

#include <array>

namespace platform {
class Interaction;
}

namespace puzzle {

struct PageChoice;

// What the export run needs of the main window and of the page field.
class ExportHost {
public:
    virtual ~ExportHost() = default;
    // Whether each size button, RadioButton1 to RadioButton7, is selected.
    virtual std::array<bool, kSizeCount> sizeButtonStates() const = 0;
    // Shows `piece` in the preview canvas.
    virtual void setPreview(const QImage& piece) = 0;
    // How much of a piece, from its top left, the canvas shows; empty: all of it.
    virtual QSize previewSize() const { return {}; }
    virtual QString pageFieldText() const = 0;
    virtual void setPageFieldText(const QString& text) = 0;
    // Whether CheckBox1, "Include Auto Solution Button", is ticked.
    virtual bool solveButtonTicked() const = 0;
    // The page that the window was started for (--window); nullptr: the window's own classic page,
    // made from the page field.
    virtual const PageChoice* pageChoice() const { return nullptr; }
};

enum class ExportResult { Written, Cancelled, Failed };

struct ExportOutcome {
    ExportResult result = ExportResult::Failed;
    QString page; // the index.html written, once Written
};

inline constexpr const char* kChoosePicture = "Choose the picture you want to use";
inline constexpr const char* kNeedPicture = "You need to select a  picture file";
inline constexpr const char* kChooseFolder = "Now choose the folder to save your project";
inline constexpr const char* kNeedFolder = "you must select a folder";
inline constexpr const char* kFailure = "There has been an error, probably not enough memory.";

// Asks for the picture and the folder, writes the pieces, "white.jpg" and index.html (the page
// field's text followed by `tableText`, or the host's chosen page), and says how it ended.
// Cancelling asks the application to quit; a failure shows the one failure message with its cause.
ExportOutcome redraw(ExportHost& host, platform::Interaction& ui, const QString& tableText);

} // namespace puzzle
