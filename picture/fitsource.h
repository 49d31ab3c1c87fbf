// SPDX-License-Identifier: MIT
#pragma once

#include "picture/picturesource.h"

#include <QSize>

#include <memory>

namespace picture {

// The largest size within `box` with the proportions of `size`, never larger than `size` itself
// (a picture that fits is not enlarged); at least one pixel each way.
QSize fittedSize(QSize size, QSize box);

// `source` scaled down to fittedSize(source->size(), box), band by band: a JPEG read band by band
// is first decoded at 1/2, 1/4 or 1/8 of its size where that stays at least as large as the
// target, and area averaging does the rest. A picture that fits comes back as it was.
// Transparent pixels are laid on white first, as the pieces are.
std::unique_ptr<Source> fitWithin(std::unique_ptr<Source> source, QSize box);

// The area-averaging part alone: `source` scaled down to `size`, which must be no larger.
std::unique_ptr<Source> scaledDown(std::unique_ptr<Source> source, QSize size);

} // namespace picture
