// SPDX-License-Identifier: MIT
#include "picture/bandsource.h"

#include "picture/heifsource.h"
#include "picture/messages.h"
#include "picture/picturefile.h"
#include "picture/pngsource.h"
#include "picture/webpsource.h"

#include <QDir>

#include <algorithm>

namespace picture {

BandSource::BandSource(QString path, QSize stored, bool alpha, Orientation orientation)
    : m_path(std::move(path))
    , m_stored(stored)
    , m_alpha(alpha)
    , m_orientation(orientation) {}

bool BandSource::nextRows(int rows, QImage& band, QString& error) {
    if (rows < 0 || m_next + rows > m_stored.height()) {
        error = fewerRows();
        return false;
    }
    const auto failed = [&](const QString& why) {
        error = unreadablePicture(QDir::toNativeSeparators(m_path), why);
        return false;
    };
    if (rows > 0) {
        const QImage::Format format = m_alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32;
        if (!shapeBand(band, m_stored.width(), rows, format, error))
            return false;
        QString why;
        if (!readRows(band.bits(), band.bytesPerLine(), rows, why))
            return failed(why);
    }
    m_next += rows;
    if (m_next == m_stored.height() && rows > 0) {
        QString why;
        if (!finish(why))
            return failed(why);
    }
    return true;
}

namespace {

FormatOpening openByContent(const std::shared_ptr<const PictureFile>& file) {
    if (FormatOpening png = openPng(file); png.recognised)
        return png;
    if (FormatOpening webp = openWebp(file); webp.recognised)
        return webp;
    return openHeif(file);
}

// Reads every row of `source` and drops it; empty when all of them decode, else why not.
QString readThrough(Source& source) {
    constexpr int kRows = 64;
    const int height = storedSize(source.orientation(), source.size()).height();
    QImage band;
    QString error;
    for (int top = 0; top < height; top += kRows)
        if (!source.nextRows(std::min(kRows, height - top), band, error))
            return error;
    return {};
}

} // namespace

FormatOpening openLibraryPicture(const std::shared_ptr<const PictureFile>& file,
                                 bool checkEveryRow) {
    FormatOpening opening = openByContent(file);
    if (opening.recognised && !opening.source)
        opening.error = unreadablePicture(QDir::toNativeSeparators(file->path()), opening.error);
    if (!opening.source || !checkEveryRow)
        return opening;
    const auto* banded = dynamic_cast<const BandSource*>(opening.source.get());
    if (banded && banded->decodedWhole())
        return opening;
    if (QString error = readThrough(*opening.source); !error.isEmpty()) {
        opening.source.reset();
        opening.error = error;
        return opening;
    }
    // Read once to its end, the picture is read again from its start for the cut.
    return openByContent(file);
}

} // namespace picture
