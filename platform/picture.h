#pragma once

#include "gifdecoder.h"

#include <QImage>
#include <QString>

#include <memory>

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

// A GIF's first frame decoded to colour indices, for callers that take the picture in bands.
struct OpenedGif {
    bool isGif = false;              // false: not a GIF, or not a file that can be opened at all
    std::unique_ptr<GifDecoder> gif; // null when decoding failed
    QString error;                   // as openAsPicture() gives it, when decoding failed
};

// Opens `path` as a GIF when its content is one. openAsPicture() reads GIFs this way too.
OpenedGif openGif(const QString& path);

// Encodes `image` as JPEG with the encoder's default quality into `out`. False with `error` set
// when the encoder or the device reports a failure.
bool writeJpeg(const QImage& image, QIODevice& out, QString* error);

} // namespace platform
