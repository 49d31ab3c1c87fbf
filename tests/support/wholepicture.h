// SPDX-License-Identifier: MIT
#pragma once

#include "picture/gifdecoder.h"
#include "picture/picturesource.h"

#include <QImage>
#include <QString>

#include <memory>

namespace picture {

class PictureFile;

struct DecodedPicture {
    QImage image;  // null when decoding failed
    QString error; // one short line saying why, when it failed
};

// Decodes a JPEG or GIF by its content, whatever its name says, whole, with the EXIF orientation
// applied: the picture as a viewer shows it. Damaged data is a failure, not a partly grey picture.
DecodedPicture openAsPicture(const QString& path);
DecodedPicture openAsPicture(const std::shared_ptr<const PictureFile>& file);

// The picture as a viewer shows it, from the picture as stored and its orientation;
// null when there is not enough memory.
QImage oriented(const QImage& stored, Orientation orientation);

// A source over an already decoded picture.
std::unique_ptr<Source> sourceFromImage(QImage image);

} // namespace picture
