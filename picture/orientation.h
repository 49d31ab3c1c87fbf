// SPDX-License-Identifier: MIT
#pragma once

// How a picture's stored rows are turned to be shown: the eight values of EXIF's Orientation tag
// (HEIF's rotation and mirror come down to the same eight). Every turn is one table row below, so
// the reader that hands out stored rows, the transform that turns blocks and the slicer that
// cuts shown pieces out of stored rows all turn alike.

#include <QPoint>
#include <QSize>

#include <array>

namespace picture {

enum class Orientation {
    Upright = 1,     // as stored
    Mirrored = 2,    // left and right swapped
    Rotated180 = 3,  //
    Flipped = 4,     // top and bottom swapped
    Transposed = 5,  // across the diagonal from the top left
    Rotated90 = 6,   // clockwise
    Transversed = 7, // across the other diagonal
    Rotated270 = 8,  // clockwise, that is a quarter turn anticlockwise
};

// EXIF's value 1 to 8 as an orientation; anything else is taken as upright, as viewers do.
constexpr Orientation orientationFromExif(int value) {
    return value >= 1 && value <= 8 ? Orientation(value) : Orientation::Upright;
}

constexpr int exifValue(Orientation o) {
    return int(o);
}

// How the stored pixel under shown pixel (x, y) is found: first x and y swap places when
// `transpose`, then each is counted from the far edge when its flip is set.
struct Turn {
    bool transpose = false;
    bool flipX = false; // the stored column is counted from the right
    bool flipY = false; // the stored row is counted from the bottom
};

constexpr Turn turnOf(Orientation o) {
    constexpr std::array<Turn, 8> kTurns{{
        {false, false, false}, // Upright
        {false, true, false},  // Mirrored
        {false, true, true},   // Rotated180
        {false, false, true},  // Flipped
        {true, false, false},  // Transposed
        {true, false, true},   // Rotated90
        {true, true, true},    // Transversed
        {true, true, false},   // Rotated270
    }};
    return kTurns[std::size_t(int(o) - 1)];
}

constexpr bool isUpright(Orientation o) {
    return o == Orientation::Upright;
}

// Whether the shown picture is the stored one with its sides swapped.
constexpr bool swapsSides(Orientation o) {
    return turnOf(o).transpose;
}

// The shown size of a picture of `stored` size, and the stored size of one shown at `shown`.
constexpr QSize shownSize(Orientation o, QSize stored) {
    return swapsSides(o) ? stored.transposed() : stored;
}
constexpr QSize storedSize(Orientation o, QSize shown) {
    return shownSize(o, shown);
}

// The turn that undoes `o`: each undoes itself but the two quarter turns, which undo each other.
constexpr Orientation inverse(Orientation o) {
    return o == Orientation::Rotated90    ? Orientation::Rotated270
           : o == Orientation::Rotated270 ? Orientation::Rotated90
                                          : o;
}

// For a picture of `stored` size turned by `o`, the stored pixel that shows at (x, y).
constexpr QPoint storedPixel(Orientation o, int x, int y, QSize stored) {
    const Turn t = turnOf(o);
    const int u = t.transpose ? y : x, v = t.transpose ? x : y;
    return {t.flipX ? stored.width() - 1 - u : u, t.flipY ? stored.height() - 1 - v : v};
}

// Where stored pixel (x, y) of a picture of `stored` size shows, turned by `o`.
constexpr QPoint shownPixel(Orientation o, int x, int y, QSize stored) {
    return storedPixel(inverse(o), x, y, swapsSides(o) ? stored.transposed() : stored);
}

// Within a block turned by `o`, as it shows once its rows and columns have swapped places where
// the turn transposes: whether its columns are then mirrored, and its rows.
constexpr bool mirrorsShownColumns(Orientation o) {
    const Turn t = turnOf(o);
    return t.transpose ? t.flipY : t.flipX;
}
constexpr bool mirrorsShownRows(Orientation o) {
    const Turn t = turnOf(o);
    return t.transpose ? t.flipX : t.flipY;
}

} // namespace picture
