// SPDX-License-Identifier: MIT
#pragma once

// The pictures read through Debian's image libraries (PNG, WebP, HEIF and AVIF): what they share
// as sources, and the one place that tells them apart by their content.

#include "picture/picturesource.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <memory>

namespace picture {

class PictureFile;

// A source whose reader writes stored rows, top down, into whatever band it is handed. The rows
// are RGB32, or ARGB32 where the picture can be transparent (the slicer lays them on white).
class BandSource : public Source {
public:
    QSize size() const final { return shownSize(m_orientation, m_stored); }
    Orientation orientation() const final { return m_orientation; }
    bool nextRows(int rows, QImage& band, QString& error) final;

    // Whether every pixel was decoded when the source was opened, so that damage has shown.
    virtual bool decodedWhole() const { return false; }

protected:
    BandSource(QString path, QSize stored, bool alpha, Orientation orientation);
    // The next `rows` stored rows, `stride` bytes apart from `out`, in the band's format;
    // false with `why` set (the cause alone) when the data is damaged or ends.
    virtual bool readRows(uchar* out, qsizetype stride, int rows, QString& why) = 0;
    // After the last row: whatever the format keeps after the pixels, read and checked.
    virtual bool finish(QString&) { return true; }

private:
    QString m_path;
    QSize m_stored;
    bool m_alpha;
    Orientation m_orientation;
    int m_next = 0;
};

// What a reader makes of a file.
struct FormatOpening {
    bool recognised = false;        // the content is of a format read here
    std::unique_ptr<Source> source; // null when it is not read: `error` says why
    QString error;                  // why not; a reader gives the cause alone
};

// Opens `file` when its content is PNG, WebP, HEIF or AVIF. `checkEveryRow`: every row is
// decoded once before the source is handed out, so that damage shows now. The error names the
// file and the cause.
FormatOpening openLibraryPicture(const std::shared_ptr<const PictureFile>& file,
                                 bool checkEveryRow);

} // namespace picture
