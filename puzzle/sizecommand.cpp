#include "puzzle/sizecommand.h"

#include "platform/interaction.h"
#include "puzzle/page.h"

#include <QRegularExpression>

namespace puzzle {

QString fillPlaceholders(QString text, const SizeRow& row) {
    const std::pair<std::string_view, QString> fills[] = {
        {kPieceCountPlaceholder, QString::fromStdString(row.pieceCountText())},
        {kLastIndexPlaceholder, QString::fromStdString(row.lastPieceIndexText())},
        {kScramblePlaceholder,
         QString::fromLatin1(row.scrambleOrder.data(), qsizetype(row.scrambleOrder.size()))},
    };
    for (const auto& [placeholder, replacement] : fills) {
        const QRegularExpression pattern(
            QString::fromLatin1(placeholder.data(), qsizetype(placeholder.size())));
        if (text.contains(pattern))
            text.replace(pattern, replacement);
    }
    return text;
}

QString buildTableText(const SizeRow& row, bool solveButton) {
    return QString::fromStdString(tableText(row, solveButton));
}

void runSizeCommand(const SizeRow& row, SizeCommandHost& host, platform::Interaction& ui) {
    if (!host.sizeButtonSelected(row))
        return;
    host.setPageFieldText(fillPlaceholders(host.pageFieldText(), row));
    const QString table = buildTableText(row, host.solveButtonTicked());
    const ExportResult result = redraw(host, ui, table);
    // "Done" only for a folder that was written; a cancelled run has already asked to quit.
    if (result == ExportResult::Written)
        ui.msgBox(QString::fromLatin1(kDone));
    if (result != ExportResult::Cancelled)
        ui.quit(0);
}

} // namespace puzzle
