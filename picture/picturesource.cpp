// SPDX-License-Identifier: MIT
#include "picture/picturesource.h"

#include "picture/bandsource.h"
#include "picture/gifdecoder.h"
#include "picture/jpegsource.h"
#include "picture/messages.h"
#include "picture/picturefile.h"

#include <QDir>

namespace picture {

bool shapeBand(QImage& band, int width, int rows, QImage::Format format, QString& error) {
    if (band.width() != width || band.height() != rows || band.format() != format ||
        !band.isDetached())
        band = QImage(width, rows, format);
    if (band.isNull())
        error = noMemoryForRows(rows);
    return !band.isNull();
}

namespace {

// A GIF kept as one colour index a pixel, drawn into each band as it is asked for: the whole
// picture never exists at four bytes a pixel.
class GifSource final : public Source {
public:
    explicit GifSource(std::unique_ptr<picture::GifDecoder> gif)
        : m_gif(std::move(gif)) {}

    QSize size() const override { return m_gif->size(); }

    bool nextRows(int rows, QImage& band, QString& error) override {
        if (rows < 0 || m_next + rows > m_gif->size().height()) {
            error = fewerRows();
            return false;
        }
        const QImage::Format format =
            m_gif->hasAlpha() ? QImage::Format_ARGB32 : QImage::Format_RGB32;
        if (rows > 0) {
            if (!shapeBand(band, m_gif->size().width(), rows, format, error))
                return false;
            m_gif->renderRows(m_next, rows, band.bits(), band.bytesPerLine());
        }
        m_next += rows;
        return true;
    }

private:
    std::unique_ptr<picture::GifDecoder> m_gif;
    int m_next = 0;
};

} // namespace

std::unique_ptr<Source> openSource(const QString& path, QString& error, SourceCheck check,
                                   SourceUse use) {
    // Opened once, here: every reader below reads this one file.
    const auto file = picture::PictureFile::open(path, error);
    if (!file) {
        error = unreadablePicture(QDir::toNativeSeparators(path), error);
        return nullptr;
    }
    const auto unreadable = [&](const QString& why) {
        error = unreadablePicture(QDir::toNativeSeparators(path), why);
        return nullptr;
    };
    try {
        JpegOpening jpeg =
            openJpegSource(file, check == SourceCheck::EveryRow, use == SourceUse::Planes);
        if (jpeg.verdict == JpegVerdict::Failed) {
            error = jpeg.error;
            return nullptr;
        }
        if (jpeg.verdict == JpegVerdict::Banded)
            return std::move(jpeg.source);
        if (OpenedGif gif = openGif(*file); gif.isGif) {
            if (!gif.gif) {
                error = gif.error;
                return nullptr;
            }
            return std::make_unique<GifSource>(std::move(gif.gif));
        }
        if (FormatOpening other = openLibraryPicture(file, check == SourceCheck::EveryRow);
            other.recognised) {
            error = other.error;
            return std::move(other.source);
        }
    } catch (const std::bad_alloc&) {
        return unreadable(notEnoughMemory());
    }
    return unreadable(QStringLiteral("it is not a JPEG, GIF, PNG, WebP, HEIC or AVIF picture"));
}

} // namespace picture
