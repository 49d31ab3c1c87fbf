// SPDX-License-Identifier: MIT
#include "wholepicture.h"

#include "picture/jpegsource.h"
#include "picture/picturefile.h"

#include <QDir>
#include <QIODevice>
#include <QTransform>

#include <new>

namespace picture {

namespace {

DecodedPicture failure(const QString& path, const QString& reason) {
    return {QImage(), unreadablePicture(QDir::toNativeSeparators(path), reason)};
}

DecodedPicture wholeGif(const PictureFile& file, const OpenedGif& opened) {
    if (!opened.gif)
        return {QImage(), opened.error};
    const GifDecoder& gif = *opened.gif;
    QImage image(gif.size(), gif.hasAlpha() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (image.isNull())
        return failure(file.path(), notEnoughMemory());
    gif.renderRows(0, image.height(), image.bits(), image.bytesPerLine());
    return {image, QString()};
}

DecodedPicture wholeJpeg(const std::shared_ptr<const PictureFile>& file) {
    JpegOpening jpeg = openJpegSource(file, true);
    if (jpeg.verdict == JpegVerdict::Failed)
        return {QImage(), jpeg.error};
    if (jpeg.verdict != JpegVerdict::Banded)
        return failure(file->path(), QStringLiteral("it is not a JPEG or GIF picture"));
    Source& source = *jpeg.source;
    const QSize size = storedSize(source.orientation(), source.size());
    QImage stored(size, QImage::Format_RGB32);
    if (stored.isNull())
        return failure(file->path(), notEnoughMemory());
    QString error;
    if (!source.nextRows(stored.height(), stored, error))
        return {QImage(), error};
    QImage shown = oriented(stored, jpeg.orientation);
    if (shown.isNull())
        return failure(file->path(), notEnoughMemory());
    return {shown, QString()};
}

// A source over an already decoded picture.
class ImageSource final : public Source {
public:
    explicit ImageSource(QImage image)
        : m_image(std::move(image)) {
        if (m_image.format() != QImage::Format_RGB32 && m_image.format() != QImage::Format_ARGB32)
            m_image = m_image.convertToFormat(m_image.hasAlphaChannel() ? QImage::Format_ARGB32
                                                                        : QImage::Format_RGB32);
    }

    QSize size() const override { return m_image.size(); }

    bool nextRows(int rows, QImage& band, QString& error) override {
        if (rows < 0 || m_next + rows > m_image.height()) {
            error = fewerRows();
            return false;
        }
        band = m_image.copy(0, m_next, m_image.width(), rows);
        if (rows > 0 && band.isNull()) {
            error = noMemoryForRows(rows);
            return false;
        }
        m_next += rows;
        return true;
    }

private:
    QImage m_image;
    int m_next = 0;
};

} // namespace

std::unique_ptr<Source> sourceFromImage(QImage image) {
    return std::make_unique<ImageSource>(std::move(image));
}

QImage oriented(const QImage& stored, Orientation orientation) {
    switch (exifValue(orientation)) {
    case 2:
        return stored.mirrored(true, false);
    case 3:
        return stored.transformed(QTransform().rotate(180));
    case 4:
        return stored.mirrored(false, true);
    case 5: // across the diagonal from the top left
        return stored.transformed(QTransform().rotate(90)).mirrored(true, false);
    case 6:
        return stored.transformed(QTransform().rotate(90));
    case 7: // across the other diagonal
        return stored.transformed(QTransform().rotate(90)).mirrored(false, true);
    case 8:
        return stored.transformed(QTransform().rotate(270));
    default:
        return stored;
    }
}

DecodedPicture openAsPicture(const std::shared_ptr<const PictureFile>& file) {
    try {
        if (const OpenedGif gif = openGif(*file); gif.isGif)
            return wholeGif(*file, gif);
        return wholeJpeg(file);
    } catch (const std::bad_alloc&) {
        return failure(file->path(), notEnoughMemory());
    }
}

DecodedPicture openAsPicture(const QString& path) {
    QString error;
    const auto file = PictureFile::open(path, error);
    if (!file)
        return failure(path, error);
    return openAsPicture(file);
}

} // namespace picture
