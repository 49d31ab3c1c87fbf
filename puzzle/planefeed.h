// SPDX-License-Identifier: MIT
#pragma once

#include "picture/jpegencode.h"
#include "picture/jpegsource.h"

#include <QImage>
#include <QString>

#include <vector>

namespace puzzle {

// The pixel that a luma and two chroma samples stand for, as the decoder would make it.
QRgb rgbOfYCbCr(int y, int cb, int cr);

// A pixel's luma and chroma as the encoder computes them from RGB (libjpeg's fixed-point sums).
struct YCbCr {
    int y, cb, cr;
};
inline YCbCr yCbCrOfRgb(QRgb pixel) {
    const int r = qRed(pixel), g = qGreen(pixel), b = qBlue(pixel);
    constexpr int kHalf = 1 << 15, kCentre = 128 << 16;
    return {(19595 * r + 38470 * g + 7471 * b + kHalf) >> 16,
            (-11059 * r - 21709 * g + 32768 * b + kCentre + kHalf - 1) >> 16,
            (32768 * r - 27439 * g - 5329 * b + kCentre + kHalf - 1) >> 16};
}

// Where a piece's chroma samples come from in the picture's stored chroma: the piece's sample i
// averages the picture's samples near[i] and far[i] of its two luma rows (the same one where the
// piece lines up with the stored chroma).
struct ChromaMap {
    std::vector<int> near, far;
    bool aligned = false;
    bool pairs = false; // near[i] is 2i and far[i] 2i + 1, but perhaps for the last sample
    int outWidth = 0;   // the encoder's padded chroma row
};

// One chroma row of a piece from the picture's chroma under its two luma rows (`even`, `odd`; the
// same row when the picture's chroma covers both): the 2x2 average the encoder would have taken of
// the pixels, a plain copy where the piece lines up with the stored chroma. Padded to outWidth.
void mergeChroma(const ChromaMap& map, const uchar* even, const uchar* odd, uchar* out);

// The map for a piece `width` wide whose left edge is picture column x0, of a picture whose
// chroma has one sample for `hx` luma columns.
ChromaMap chromaMap(qsizetype x0, int width, int hx);

// Rows of a JPEG's stored planes (Y, Cb, Cr) from picture row `top`, a whole chroma row, on; the
// planes' first bytes hold picture columns lumaLeft and chromaLeft.
struct PlaneRows {
    const uchar* planes[3] = {};
    qsizetype lumaStride = 0, chromaStride = 0;
    qsizetype lumaLeft = 0, chromaLeft = 0;
    int top = 0;
};

// Puts the pieces of one column together from a JPEG's stored planes, a block row (16 luma rows,
// 8 of each chroma) at a time, for an encoder that takes 4:2:0 planes. Owned by one worker at a
// time.
class PlaneFeed {
public:
    PlaneFeed(const picture::PlaneLayout& layout, int pieceWidth, int pieceHeight);

    // A new piece of column c begins.
    void start(int c) { startAt(qsizetype(c) * m_pw); }
    // A new piece begins whose left edge is picture column x0.
    void startAt(qsizetype x0);
    // Takes row y of the picture, row pieceRow of the piece, from `rows`, and hands the block to
    // `encoder` once it is full or the piece ends; rows of `preview`, when given, are filled as
    // they are made.
    QString addRow(const PlaneRows& rows, int y, int pieceRow, picture::JpegEncoder& encoder,
                   QImage* preview);

private:
    void previewRows(QImage& preview, int pieceRow, int blockRow, int count) const;

    picture::PlaneLayout m_layout;
    int m_pw, m_ph;
    qsizetype m_x0 = 0; // the piece's left edge in the picture
    int m_lumaWidth = 0;
    std::vector<uchar> m_y, m_cb, m_cr; // one block row, chroma at half size each way
    int m_rows = 0;                     // luma rows in it so far
    ChromaMap m_map;
    qsizetype m_first = 0; // the picture's first chroma sample under the column, and how many
    int m_count = 0;
    std::vector<uchar> m_evenCb, m_evenCr; // the picture's chroma under the last even piece row
    int m_evenRow = -1;                    // the picture's chroma row it came from
};

} // namespace puzzle
