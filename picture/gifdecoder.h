// SPDX-License-Identifier: MIT
#pragma once

#include <QList>
#include <QRect>
#include <QRgb>
#include <QSize>
#include <QString>

#include <memory>
#include <vector>

class QIODevice;

namespace picture {

class PictureFile;

// The first frame of a GIF, kept as one colour index a pixel and drawn on request, band by band,
// so that a large picture never needs four bytes a pixel at once.
class GifDecoder {
public:
    // Reads `device` from where it stands, never seeking and never more than `byteCap` bytes, up
    // to the end of the first frame's data. False with error() set when the picture cannot be
    // shown whole.
    bool read(QIODevice& device, qint64 byteCap);
    const QString& error() const { return m_error; }

    // The picture: the logical screen, or where the screen names no size in a direction, as far
    // as the frame reaches in it.
    QSize size() const { return m_size; }
    QSize screenSize() const { return m_screen; }
    QRect frameRect() const { return m_frame; } // as the file places it, possibly off the screen
    const QList<QRgb>& palette() const { return m_palette; } // local, else global; may be empty
    int transparentIndex() const { return m_transparent; }   // -1: none
    bool interlaced() const { return m_interlaced; }
    // The frame's colour index at (x, y) of the frame.
    uchar index(int x, int y) const { return row(y)[x]; }

    // Whether any pixel of the picture can be transparent: the frame names a transparent colour,
    // or it leaves part of the screen uncovered.
    bool hasAlpha() const;
    // Rows [firstRow, firstRow + count) of the picture as ARGB32 (premultiplication is moot:
    // every alpha is 0 or 255), one row each `stride` bytes from `out`.
    void renderRows(int firstRow, int count, uchar* out, qsizetype stride) const;

private:
    class Input;
    class FrameData;
    class PixelWriter;
    bool fail(const QString& reason);
    static bool readTable(Input& in, int flags, QList<QRgb>& table);
    bool readHeader(Input& in, QList<QRgb>& global);
    bool readExtension(Input& in);
    bool readDescriptor(Input& in, const QList<QRgb>& global, int& codeSize);
    bool readFrame(Input& in, int codeSize);
    // The LZW codes into `pixels` until the frame is whole, the data ends or its end code comes
    // (`sawEnd`); false for a code the table does not hold.
    static bool decodeCodes(FrameData& data, int codeSize, PixelWriter& pixels, bool& sawEnd);
    const uchar* row(int y) const;
    uchar* writableRow(int y);
    QRgb colour(int index) const;

    QString m_error;
    QSize m_screen;
    QSize m_size;
    QRect m_frame;
    QList<QRgb> m_palette;
    bool m_noPalette = false;
    int m_transparent = -1;
    bool m_transparencyFlag = false;
    bool m_interlaced = false;
    // Frame rows in chunks of m_chunkRows, each allocated when the data first reaches it, so
    // that memory follows the data actually present rather than the size a header claims.
    std::vector<std::unique_ptr<uchar[]>> m_chunks;
    int m_chunkRows = 1;
};

// A GIF's first frame decoded to colour indices, for callers that take the picture in bands.
struct OpenedGif {
    bool isGif = false;              // false: not a GIF
    std::unique_ptr<GifDecoder> gif; // null when decoding failed
    QString error;                   // the whole message, path and cause, when decoding failed
};

// Opens `file` as a GIF when its content is one.
OpenedGif openGif(const PictureFile& file);

} // namespace picture
