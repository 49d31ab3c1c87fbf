// SPDX-License-Identifier: MIT
#pragma once

// What every picture reader says, and the limits they all keep, in one place.

#include <QString>

namespace picture {

// The largest picture that is read, in pixels, whatever its format.
inline constexpr qint64 kMaxPixels = 250'000'000;
// No JPEG or GIF of kMaxPixels needs four bytes a pixel, data after its end included, nor does
// any PNG, WebP or HEIF of 8 bits a sample; a file larger than that is not read at all.
inline constexpr qint64 kMaxPictureFileBytes = kMaxPixels * 4;

inline QString unreadablePicture(const QString& path, const QString& reason) {
    return QStringLiteral("Could not read the picture %1: %2").arg(path, reason);
}
inline QString endsEarly() {
    return QStringLiteral("the file ends before the picture does");
}
inline QString notEnoughMemory() {
    return QStringLiteral("not enough memory");
}
inline QString noMemoryForRows(int rows) {
    return QStringLiteral("Not enough memory for %1 rows of the picture.").arg(rows);
}

// Why a picture of `width` by `height` is not read, whatever its format.
inline QString tooManyPixels(qint64 width, qint64 height) {
    return QStringLiteral("it is %1 x %2 pixels, more than the %3 megapixels that can be read")
        .arg(width)
        .arg(height)
        .arg(kMaxPixels / 1'000'000);
}

// Damage that a library's own checks found, in the library's words.
inline QString damagedData(const QString& detail) {
    return QStringLiteral("the data is damaged: %1").arg(detail);
}

inline QString fewerRows() {
    return QStringLiteral("The picture has fewer rows than asked for.");
}
inline QString noPixels() {
    return QStringLiteral("the picture has no pixels");
}

} // namespace picture
