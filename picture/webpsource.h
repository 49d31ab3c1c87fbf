// SPDX-License-Identifier: MIT
#pragma once

#include "picture/bandsource.h"

#include <memory>

namespace picture {

class PictureFile;

// Opens `file` when its content is a WebP picture: lossy, lossless, with alpha, or the first frame
// of an animation on its canvas (what the frame leaves uncovered is transparent, as browsers show
// it). libwebp's incremental decoder hands out rows while the rest is still being decoded. EXIF
// orientation is not applied: Chromium and Firefox do not apply it to WebP either.
//
// Damage policy: refused when the file ends before the frame's data does (the RIFF size says how
// much there is) or when libwebp finds the bitstream inconsistent; data after the RIFF size is
// accepted, and so are later frames, whatever they hold.
FormatOpening openWebp(const std::shared_ptr<const PictureFile>& file);

} // namespace picture
