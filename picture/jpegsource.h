// SPDX-License-Identifier: MIT
#pragma once

#include "picture/picturesource.h"

#include <QString>

#include <cstddef>
#include <memory>

namespace picture {

class PictureFile;

// The rows of a JPEG as it stores them, before its chroma is upsampled and its colours converted:
// Y at full size, Cb and Cr at one sample for hx by vy pixels.
struct PlaneLayout {
    // Luma samples for one chroma sample: 1, 2 or 4 across, 1 or 2 down (as stored; a consumer
    // that transposes the picture swaps them).
    int hx = 1, vy = 1;
    bool grey = false;        // no chroma stored: the chroma planes come filled with 128
    int rowsPerRead = 8;      // luma rows one read delivers; chroma rows: rowsPerRead / vy
    qsizetype lumaStride = 0; // bytes from one plane row to the next, padding included
    qsizetype chromaStride = 0;
};

// What a banded JPEG source offers beyond Source: its planes, for an encoder that takes YCbCr as
// it is. A source gives either planes or RGB32 bands, whichever is asked for first.
class JpegPlanes {
public:
    virtual ~JpegPlanes() = default;
    // Whether planes can still be had: a YCbCr or grey JPEG whose rows have not been asked for.
    virtual bool canReadPlanes() const = 0;
    virtual PlaneLayout planeLayout() const = 0;
    // The next rowsPerRead luma rows and their chroma rows into planes laid out as planeLayout()
    // says; `rows` tells how many of them belong to the picture (fewer at its bottom).
    virtual bool nextPlanes(uchar* y, uchar* cb, uchar* cr, int& rows, QString& error) = 0;

    // Leaves the inverse DCT to whoever takes the planes, so that the thread that reads the file
    // does only the entropy decoding, which cannot be shared. Asked before the first
    // nextPlanes(); true when taken. nextPlanes() then fills coefficient planes: twice the stride
    // of the sample planes, the same rows, each 8x8 block standing as its 64 two-byte
    // coefficients (128 bytes) at block column bx of block row by at by * 8 * stride + bx * 128.
    // The buffers must be aligned to 64 bytes.
    virtual bool deferInverseDct() = 0;
    // Samples from coefficient planes that nextPlanes() filled: `blockRows` block rows of
    // component `component` (0 luma, 1 Cb, 2 Cr), block columns first to first + count - 1, from
    // `coefficients` (`stride` bytes a row) to `out` (8 rows a block row, `outStride` apart; block
    // column `first` at out[0]). Any thread may call it at any time, also once the file is read.
    virtual void inverseDct(int component, const uchar* coefficients, qsizetype stride,
                            int blockRows, int first, int count, uchar* out,
                            qsizetype outStride) const = 0;
    // The same, turned as EXIF `orientation` turns a picture, within a region of `across` by
    // `down` blocks from block column `first`: `out` holds the region as it is shown, `down`
    // blocks across for orientations 5 to 8. `coefficients` starts at the region's block row
    // `top`; the first `count` block columns and `blockRows` block rows from there are
    // transformed. A transposed block may differ from the transposed samples in the last bit.
    virtual void inverseDctTurned(int component, const uchar* coefficients, qsizetype stride,
                                  int blockRows, int first, int count, Orientation orientation,
                                  int across, int down, int top, uchar* out,
                                  qsizetype outStride) const = 0;
};

// How a file should be read for slicing.
enum class JpegVerdict {
    Banded,       // JPEG content decoded band by band: `source` is set
    WholePicture, // not JPEG content: another decoder's to read
    Failed,       // a JPEG that cannot be made into a puzzle: `error` says why
};

struct JpegOpening {
    JpegVerdict verdict = JpegVerdict::WholePicture;
    std::unique_ptr<Source> source;
    QString error;
    Orientation orientation = Orientation::Upright; // how the stored rows are turned for showing
};

// Opens `file` for banded decoding when its content is a JPEG: 8-bit grey, YCbCr, RGB, CMYK or
// YCCK; the rows come as stored, and `orientation` says how a viewer turns them. Checked here: the
// header, the size against kMaxPixels, every scan of a multi-scan file (read whole when decoding
// starts) and every scan line's data of a single-scan one when the file does not end in an end
// marker or `checkEveryRow` asks for it (one entropy-decoding pass). Otherwise corrupt data in the
// middle of the file shows when its rows are read. What counts as damage is jpeg::acceptedWarning's
// to say: a damaged picture is never cut.
//
// The source's bands are Format_RGB32. When the band handed to nextRows() already is a writable
// RGB32 image of the full width and of the rows asked for (for instance one over memory of the
// caller's), the rows are decoded straight into it.
// A file of several scans is decoded when it is opened, for rows or, with `planesFirst`, for
// planes where it has them; a single-scan file gives whichever is asked for first.
JpegOpening openJpegSource(const std::shared_ptr<const picture::PictureFile>& file,
                           bool checkEveryRow = false, bool planesFirst = false);
// The same, opening `path` first.
JpegOpening openJpegSource(const QString& path, bool checkEveryRow = false);

// From now on, `source` decodes at 1/denom of its size (2, 4 or 8) through libjpeg's DCT scaling,
// and size() says the new size. False, and nothing changes, when `source` is no JPEG opened by
// openJpegSource() or has started decoding (a multi-scan file does when it is opened).
bool decodeJpegScaled(Source& source, int denom);

// The orientation that an APP1 "Exif\0\0" segment gives the picture: 0 when it has none, 1 to 8
// when it has a valid one, -1 when the segment is damaged or the orientation is malformed. Only
// the first image file directory counts, as with viewers: the next one is the thumbnail's.
int exifOrientation(const unsigned char* segment, std::size_t size);

} // namespace picture
