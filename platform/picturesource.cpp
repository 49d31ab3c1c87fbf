#include "picturesource.h"

#include "jpegsource.h"
#include "picture.h"
#include "picturefile.h"

#include <QDir>

namespace platform {
namespace {

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
            error = QStringLiteral("The picture has fewer rows than asked for.");
            return false;
        }
        band = m_image.copy(0, m_next, m_image.width(), rows);
        if (rows > 0 && band.isNull()) {
            error = QStringLiteral("Not enough memory for %1 rows of the picture.").arg(rows);
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

std::unique_ptr<Source> openSource(const QString& path, QString& error, SourceCheck check) {
    // Opened once, here: every reader below reads this one file.
    const auto file = platform::PictureFile::open(path, error);
    if (!file) {
        error = QStringLiteral("Could not read the picture %1: %2")
                    .arg(QDir::toNativeSeparators(path), error);
        return nullptr;
    }
    JpegOpening jpeg = openJpegSource(file, check == SourceCheck::EveryRow);
    if (jpeg.verdict == JpegVerdict::Banded)
        return std::move(jpeg.source);
    if (jpeg.verdict == JpegVerdict::Failed) {
        error = jpeg.error;
        return nullptr;
    }
    platform::DecodedPicture decoded = platform::openAsPicture(*file);
    if (decoded.image.isNull()) {
        error = decoded.error.isEmpty() ? QStringLiteral("The picture could not be read.")
                                        : decoded.error;
        return nullptr;
    }
    return sourceFromImage(std::move(decoded.image));
}

} // namespace platform
