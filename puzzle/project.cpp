#include "project.h"

#include "picture.h"
#include "stagedfolder.h"

#include <QIODevice>
#include <QPainter>

namespace puzzle {
namespace {

QString pieceName(int k) {
    return QStringLiteral("Image%1.jpg").arg(k);
}

// A piece-sized picture that starts all white, so transparent areas of the source stay white.
QImage whitePiece(QSize size) {
    QImage piece(size, QImage::Format_RGB32);
    if (!piece.isNull())
        piece.fill(Qt::white);
    return piece;
}

bool stageJpeg(platform::StagedFolder& out, const QString& name, const QImage& image,
               QString& error) {
    QIODevice* device = out.open(name);
    if (!device) {
        error = out.errorString();
        return false;
    }
    QString why;
    if (!platform::writeJpeg(image, *device, &why)) {
        error = QStringLiteral("Could not write %1: %2").arg(name, why);
        return false;
    }
    return true;
}

SliceOutcome failed(QString error) {
    SliceOutcome outcome;
    outcome.error = std::move(error);
    return outcome;
}

} // namespace

SliceOutcome slice(Source& source, int n, platform::StagedFolder& out,
                   const SliceCallbacks& callbacks) {
    const QSize size = source.size();
    const int pw = n > 0 ? size.width() / n : 0;
    const int ph = n > 0 ? size.height() / n : 0;
    if (pw < 1 || ph < 1)
        return failed(QStringLiteral("The picture is %1x%2 pixels, too small for a %3x%3 puzzle.")
                          .arg(size.width())
                          .arg(size.height())
                          .arg(n));
    const QSize pieceSize(pw, ph);
    const auto yield = [&] {
        if (callbacks.yield)
            callbacks.yield();
    };

    QString error;
    QImage band;
    for (int r = 0; r < n; ++r) {
        if (!source.nextRows(ph, band, error))
            return failed(error);
        for (int c = 0; c < n; ++c) {
            const int k = r * n + c;
            QImage piece = whitePiece(pieceSize);
            if (piece.isNull())
                return failed(
                    QStringLiteral("Not enough memory for a piece of %1x%2.").arg(pw).arg(ph));
            {
                QPainter painter(&piece);
                painter.drawImage(QPoint(0, 0), band, QRect(c * pw, 0, pw, ph));
            }
            if (callbacks.preview)
                callbacks.preview(k, piece);
            if (!stageJpeg(out, pieceName(k), piece, error))
                return failed(error);
            yield();
        }
        yield();
    }
    // The trimmed rows are read too: a picture damaged there is still a damaged picture.
    if (!source.nextRows(size.height() - n * ph, band, error))
        return failed(error);

    const QImage blank = whitePiece(pieceSize);
    if (blank.isNull())
        return failed(QStringLiteral("Not enough memory for a piece of %1x%2.").arg(pw).arg(ph));
    if (callbacks.preview)
        callbacks.preview(-1, blank);
    if (!stageJpeg(out, QStringLiteral("white.jpg"), blank, error))
        return failed(error);

    SliceOutcome outcome;
    outcome.ok = true;
    outcome.pieceSize = pieceSize;
    return outcome;
}

ProjectOutcome writeProject(Source& source, int n, const QString& folder,
                            const QByteArray& pageText, const SliceCallbacks& callbacks) {
    return writeProject(
        source, n, folder, [&pageText] { return pageText; }, callbacks);
}

ProjectOutcome writeProject(Source& source, int n, const QString& folder,
                            const std::function<QByteArray()>& pageText,
                            const SliceCallbacks& callbacks) {
    ProjectOutcome outcome;
    outcome.pictureSize = source.size();
    platform::StagedFolder out(folder);
    const SliceOutcome sliced = slice(source, n, out, callbacks);
    if (!sliced.ok) {
        outcome.error = sliced.error;
        return outcome;
    }
    if (!out.write(QStringLiteral("index.html"), pageText()) || !out.commit()) {
        outcome.error = out.errorString();
        return outcome;
    }
    outcome.ok = true;
    outcome.pieces = n * n;
    outcome.pieceSize = sliced.pieceSize;
    return outcome;
}

} // namespace puzzle
