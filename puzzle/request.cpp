// SPDX-License-Identifier: MIT
#include "puzzle/request.h"

#include "picture/fitsource.h"

namespace puzzle {

std::unique_ptr<picture::Source> openChosenPicture(const QString& path, const PageChoice& choice,
                                                   picture::SourceCheck check, QString& error) {
    // A picture that is fitted is read in rows, which the scaling takes; otherwise a JPEG's
    // stored planes go to the slicer as they are.
    std::unique_ptr<picture::Source> source = picture::openSource(
        path, error, check,
        choice.fit.isEmpty() ? picture::SourceUse::Planes : picture::SourceUse::Rows);
    if (source && !choice.fit.isEmpty())
        source = picture::fitWithin(std::move(source), choice.fit);
    return source;
}

QByteArray modernPageBytes(const SizeRow& row, bool solveButton, const PageChoice& choice,
                           const MadePieces& made) {
    ModernPage page;
    page.row = &row;
    page.pieceWidth = made.pieceSize.width();
    page.pieceHeight = made.pieceSize.height();
    page.title = choice.title;
    page.solveButton = solveButton;
    for (int k = 0; k < row.pieceCount(); ++k) {
        if (choice.singleFile) {
            const QByteArray& file = made.files.at(k);
            page.pieces.push_back(
                jpegDataUri(std::string_view(file.constData(), std::size_t(file.size()))));
        } else {
            page.pieces.push_back(pieceAddress(k, made.versions.at(k).toStdString()));
        }
    }
    const std::string text = modernPageText(page);
    return QByteArray(text.data(), qsizetype(text.size()));
}

ProjectOutcome writeModernProject(picture::Source& source, const SizeRow& row, bool solveButton,
                                  const PageChoice& choice, const QString& folder,
                                  const SliceCallbacks& callbacks) {
    return writeProject(
        source, Grid::square(row.n), folder,
        choice.singleFile ? PieceStorage::InPage : PieceStorage::Files,
        [&](const MadePieces& made) { return modernPageBytes(row, solveButton, choice, made); },
        callbacks);
}

} // namespace puzzle
