#pragma once

#include "platform/gifdecoder.h"

#include <QImage>
#include <QString>

#include <memory>

namespace platform {

class PictureFile;

struct DecodedPicture {
    QImage image;  // null when decoding failed
    QString error; // one short line saying why, when it failed
};

// Decodes a JPEG or GIF by its content, whatever its name says, whole, with the EXIF orientation
// applied: the picture as a viewer shows it. Damaged data is a failure, not a partly grey picture.
DecodedPicture openAsPicture(const QString& path);
DecodedPicture openAsPicture(const std::shared_ptr<const PictureFile>& file);

// A GIF's first frame decoded to colour indices, for callers that take the picture in bands.
struct OpenedGif {
    bool isGif = false;              // false: not a GIF
    std::unique_ptr<GifDecoder> gif; // null when decoding failed
    QString error;                   // as openAsPicture() gives it, when decoding failed
};

// Opens `file` as a GIF when its content is one. openAsPicture() reads GIFs this way too.
OpenedGif openGif(const PictureFile& file);

// The picture as a viewer shows it, from the picture as stored and its EXIF orientation (1 to 8);
// null when there is not enough memory.
QImage oriented(const QImage& stored, int orientation);

} // namespace platform
