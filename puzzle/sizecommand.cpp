// SPDX-License-Identifier: MIT
#include "puzzle/sizecommand.h"

#include "platform/interaction.h"
#include "puzzle/page.h"

#include <QUrl>

namespace puzzle {

QString fillPlaceholders(const QString& text, const SizeRow& row) {
    // The page is plain ASCII; the one routine that fills placeholders works on its bytes.
    return QString::fromStdString(fillTemplate(text.toStdString(), row));
}

QString buildTableText(const SizeRow& row, bool solveButton) {
    return QString::fromStdString(tableText(row, solveButton));
}

void runSizeCommand(const SizeRow& row, SizeCommandHost& host, platform::Interaction& ui) {
    if (!host.sizeButtonSelected(row))
        return;
    host.setPageFieldText(fillPlaceholders(host.pageFieldText(), row));
    const QString table = buildTableText(row, host.solveButtonTicked());
    const ExportOutcome outcome = host.redraw(table);
    // "Done" only for a folder that was written; a cancelled run has already asked to quit.
    if (outcome.result == ExportResult::Written) {
        ui.msgBox(QString::fromLatin1(kDone));
        // Started from the launcher's actions, the user came for the puzzle more than the folder.
        if (host.pageChoice())
            ui.showUrl(QUrl::fromLocalFile(outcome.page));
    }
    if (outcome.result != ExportResult::Cancelled)
        ui.quit(0);
}

} // namespace puzzle
