#pragma once

#include <QImage>
#include <QString>

class QIODevice;

namespace platform {

// Largest picture that may be decoded, in megabytes of decoded pixels.
inline constexpr int kAllocationLimitMB = 1100; // 250 megapixels at 4 bytes each, with headroom

struct DecodedPicture {
    QImage image;  // null when decoding failed
    QString error; // one short line saying why, when it failed
};

// Decodes a JPEG or GIF by its content, whatever its name says, with the EXIF orientation applied.
// Damaged data is a failure, not a partly grey picture.
DecodedPicture openAsPicture(const QString& path);
class PictureFile;
DecodedPicture openAsPicture(const PictureFile& file);

// Encodes `image` as JPEG with the encoder's default quality into `out`. False with `error` set
// when the encoder or the device reports a failure.
bool writeJpeg(const QImage& image, QIODevice& out, QString* error);

} // namespace platform
