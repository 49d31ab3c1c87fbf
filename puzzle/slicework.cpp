// SPDX-License-Identifier: MIT
#include "puzzle/slicework.h"

namespace puzzle::slicing {

uchar* Column::windowOf(qsizetype bytes) {
    if (windowBytes < std::size_t(bytes)) {
        window.reset();
        windowBytes = 0;
        window.reset(new uchar[std::size_t(bytes)]);
        windowBytes = std::size_t(bytes);
    }
    return window.get();
}

QString pieceName(int k) {
    return QStringLiteral("Image%1.jpg").arg(k);
}

QString cannotEncode(int k, const QString& why) {
    return QStringLiteral("Could not encode %1: %2").arg(pieceName(k), why);
}

QString startPiece(const Setup& setup, Column& column, int k, picture::JpegEncoder::Input input) {
    if (!column.encoder.begin(setup.pw, setup.ph, input))
        return cannotEncode(k, column.encoder.error());
    if (setup.previews) {
        column.preview = QImage(setup.preview, QImage::Format_RGB32);
        if (column.preview.isNull())
            return setup.noMemory;
    }
    return {};
}

QString finishPiece(Column& column, int k, std::vector<Finished>& finished) {
    Finished piece;
    piece.k = k;
    if (!column.encoder.end(piece.file))
        return cannotEncode(k, column.encoder.error());
    piece.preview = std::move(column.preview);
    column.preview = QImage();
    finished.push_back(std::move(piece));
    return {};
}

QString encodeShown(const Setup& setup, const picture::PlaneLayout& layout, Column& column, int k,
                    const PlaneRows& rows, QPoint corner, std::vector<Finished>& finished) {
    if (!column.feed)
        column.feed = std::make_unique<PlaneFeed>(layout, setup.pw, setup.ph);
    column.feed->startAt(corner.x());
    if (QString error = startPiece(setup, column, k, picture::JpegEncoder::Input::Planes);
        !error.isEmpty())
        return error;
    QImage* preview = setup.previews ? &column.preview : nullptr;
    for (int row = 0; row < setup.ph; ++row)
        if (QString error =
                column.feed->addRow(rows, corner.y() + row, row, column.encoder, preview);
            !error.isEmpty())
            return cannotEncode(k, error);
    return finishPiece(column, k, finished);
}

} // namespace puzzle::slicing
