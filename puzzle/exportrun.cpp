// SPDX-License-Identifier: MIT
#include "puzzle/exportrun.h"

#include "folder/interrupt.h"
#include "folder/stagedfolder.h"
#include "platform/filetypes.h"
#include "platform/interaction.h"
#include "puzzle/project.h"
#include "puzzle/request.h"

#include <QDir>

#include <exception>

namespace puzzle {
namespace {

// Failures end the run with the one message; the detail says what actually went wrong.
struct RunFailure {
    QString detail;
};

QStringList pictureFilters() {
    using platform::FileTypes;
    // Start-up declares the types; a run without them is a fault of its caller.
    if (!FileTypes::pImageJpeg || !FileTypes::pImageGif)
        throw RunFailure{QStringLiteral("The picture types are not declared.")};
    const QString filter = *FileTypes::pImageJpeg + *FileTypes::pImageGif;
    return platform::FileTypeRegistry::instance().nameFilters(filter);
}

ExportOutcome run(ExportHost& host, platform::Interaction& ui, const QString& tableText) {
    ui.msgBox(QString::fromLatin1(kChoosePicture));
    const QString picture = ui.getOpenFile(pictureFilters());
    if (picture.isEmpty()) {
        ui.msgBox(QString::fromLatin1(kNeedPicture));
        ui.quit(0);
        return {ExportResult::Cancelled, {}};
    }

    QString error;
    const PageChoice* choice = host.pageChoice();
    // Every row is read now, so a damaged picture is refused before the user picks a folder.
    const std::unique_ptr<picture::Source> source = openChosenPicture(
        picture, choice ? *choice : PageChoice{}, picture::SourceCheck::EveryRow, error);
    if (!source)
        throw RunFailure{error};

    ui.msgBox(QString::fromLatin1(kChooseFolder));
    const QString folder = ui.selectFolder();
    if (folder.isEmpty()) {
        ui.msgBox(QString::fromLatin1(kNeedFolder));
        ui.quit(0);
        return {ExportResult::Cancelled, {}};
    }
    const QString written = QDir(folder).filePath(QStringLiteral("index.html"));

    // The page joins the field only once the pieces are made, so a failed slicing leaves it as it
    // was.
    const auto page = [&] {
        host.setPageFieldText(host.pageFieldText() + tableText);
        return host.pageFieldText().toUtf8();
    };

    const SizeRow* row = selectedRow(host.sizeButtonStates());
    if (!row) {
        // Without a size there are no pieces to make; the page is still written.
        folder::StagedFolder out(folder);
        if (!out.write(QStringLiteral("index.html"), page()) || !out.commit())
            throw RunFailure{out.errorString()};
        return {ExportResult::Written, written};
    }

    SliceCallbacks callbacks;
    callbacks.preview = [&host](int, const QImage& piece) { host.setPreview(piece); };
    callbacks.yield = platform::yieldToEvents;
    callbacks.previewSize = host.previewSize();
    // A signal stops the run where it can leave the folder as it was, then ends the process.
    const folder::InterruptGuard guard;
    const ProjectOutcome outcome =
        choice && choice->modern
            ? writeModernProject(*source, Grid::square(row->n), host.solveButtonTicked(), *choice,
                                 folder, callbacks)
            : writeProject(*source, Grid::square(row->n), folder, page, callbacks);
    if (!outcome.ok)
        throw RunFailure{outcome.error};
    return {ExportResult::Written, written};
}

} // namespace

ExportOutcome redraw(ExportHost& host, platform::Interaction& ui, const QString& tableText) {
    QString detail;
    try {
        return run(host, ui, tableText);
    } catch (const RunFailure& failure) {
        detail = failure.detail;
    } catch (const std::bad_alloc&) {
        detail = QStringLiteral("Not enough memory.");
    } catch (const std::exception& e) {
        detail = QString::fromLocal8Bit(e.what());
    }
    ui.msgBox(QString::fromLatin1(kFailure), detail);
    return {ExportResult::Failed, {}};
}

} // namespace puzzle
