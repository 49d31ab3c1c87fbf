// SPDX-License-Identifier: MIT
#pragma once

#include "picture/bandsource.h"

#include <memory>

namespace picture {

class PictureFile;

// Opens `file` when its content is a HEIF picture, HEIC or AVIF: its primary image, decoded whole
// through libheif (which has no access to parts of a picture) when the file is opened, turned,
// mirrored and cropped as its transformations say, with samples of more than 8 bits made 8-bit.
// Its size is checked against kMaxPixels before anything is decoded.
//
// Damage policy: refused when the data the image needs ends early or fails to decode (libheif's
// strict decoding: what it would patch over is an error); accepted are data after the boxes the
// picture needs and metadata libheif does not need.
FormatOpening openHeif(const std::shared_ptr<const PictureFile>& file);

} // namespace picture
