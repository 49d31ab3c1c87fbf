// SPDX-License-Identifier: MIT
#pragma once

#include "picture/bandsource.h"

#include <memory>

namespace picture {

class PictureFile;

// Opens `file` when its content is a PNG (an APNG gives its default image): read through libpng
// a row at a time (an interlaced one whole, when its first row is asked for), 8 bits a channel,
// turned as the EXIF orientation of an eXIf chunk before the image data says.
//
// Damage policy: refused when the file ends inside the picture, when a critical chunk fails its
// CRC or the image data's zlib stream is damaged, or when libpng finds the data inconsistent;
// accepted are data after IEND, a missing IEND after complete image data, and ancillary chunks
// that fail their CRC (libpng drops them, as metadata).
FormatOpening openPng(const std::shared_ptr<const PictureFile>& file);

} // namespace picture
