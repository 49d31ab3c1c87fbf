// SPDX-License-Identifier: MIT
#include "puzzle/request.h"

#include "picture/fitsource.h"

#include <QCryptographicHash>

namespace puzzle {

namespace {

// The same grid of the same pieces is the same puzzle, wherever its page is opened from.
std::string puzzleId(Grid grid, const QByteArrayList& versions) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArray::number(grid.columns) + 'x' + QByteArray::number(grid.rows));
    for (const QByteArray& version : versions)
        hash.addData(',' + version);
    return hash.result().toHex().left(16).toStdString();
}

} // namespace

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

QByteArray modernPageBytes(Grid grid, bool solveButton, const PageChoice& choice,
                           const MadePieces& made) {
    ModernPage page;
    page.grid = {grid.columns, grid.rows};
    page.id = puzzleId(grid, made.versions);
    page.pieceWidth = made.pieceSize.width();
    page.pieceHeight = made.pieceSize.height();
    page.title = choice.title;
    page.solveButton = solveButton;
    for (int k = 0; k < grid.pieces(); ++k) {
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

ProjectOutcome writeModernProject(picture::Source& source, Grid grid, bool solveButton,
                                  const PageChoice& choice, const ProjectFolder& folder,
                                  const SliceCallbacks& callbacks) {
    return writeProject(
        source, grid, folder, choice.singleFile ? PieceStorage::InPage : PieceStorage::Files,
        [&](const MadePieces& made) { return modernPageBytes(grid, solveButton, choice, made); },
        callbacks);
}

} // namespace puzzle
