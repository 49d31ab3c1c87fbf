#include "platform/picture.h"

#include "platform/jpegsource.h"
#include "platform/picturefile.h"

#include <QDir>
#include <QIODevice>
#include <QTransform>

#include <new>

namespace platform {

namespace {

DecodedPicture failure(const QString& path, const QString& reason) {
    return {QImage(), unreadablePicture(QDir::toNativeSeparators(path), reason)};
}

bool isGif(const PictureFile& file) {
    const QByteArray signature = file.read(0, 6);
    return signature == "GIF87a" || signature == "GIF89a";
}

OpenedGif readGif(const PictureFile& file) {
    OpenedGif opened;
    opened.isGif = true;
    auto gif = std::make_unique<GifDecoder>();
    const std::unique_ptr<QIODevice> device = file.device();
    if (!gif->read(*device, file.size())) {
        opened.error = failure(file.path(), gif->error()).error;
        return opened;
    }
    opened.gif = std::move(gif);
    return opened;
}

DecodedPicture wholeGif(const PictureFile& file) {
    const OpenedGif opened = readGif(file);
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
    const QSize size = source.orientation() >= 5 ? source.size().transposed() : source.size();
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

} // namespace

QImage oriented(const QImage& stored, int orientation) {
    switch (orientation) {
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
        if (isGif(*file))
            return wholeGif(*file);
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

OpenedGif openGif(const PictureFile& file) {
    try {
        if (!isGif(file))
            return {};
        return readGif(file);
    } catch (const std::bad_alloc&) {
        OpenedGif opened;
        opened.isGif = true;
        opened.error = failure(file.path(), notEnoughMemory()).error;
        return opened;
    }
}

} // namespace platform
