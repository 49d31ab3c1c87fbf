// SPDX-License-Identifier: MIT
// The upright road: a picture shown as it is stored is cut as its rows come. A single-scan YCbCr
// JPEG's planes go to the encoders as raw 4:2:0 blocks, with neither the decoder's chroma
// upsampling and colour conversion nor the encoder's conversion back; where its blocks come
// undone, each worker transforms the blocks under its column into samples, which leaves the
// decoding thread only the entropy decoding. Where a piece lines up with the chroma it is given,
// its chroma is copied; elsewhere it is the 2x2 average the encoder would have taken.
#include "puzzle/slicework.h"

#include <algorithm>
#include <cstring>

namespace puzzle::slicing {
namespace {

constexpr int kBlock = 8;

class UprightRoad final : public Road {
public:
    explicit UprightRoad(const Setup& setup)
        : m_setup(setup) {}

    QString encode(Column& column, int c, const Slot& slot,
                   std::vector<Finished>& finished) override {
        const Setup& s = m_setup;
        const int end = std::min(slot.top + slot.rows, s.grid.rows * s.ph);
        PlaneRows rows;
        if (s.planes && end > slot.top)
            rows = s.deferred ? transformColumn(column, c, slot, end) : slotRows(slot);
        const auto input =
            s.planes ? picture::JpegEncoder::Input::Planes : picture::JpegEncoder::Input::Rgb32;
        for (int y = slot.top; y < end;) {
            const int r = y / s.ph, k = r * s.grid.columns + c;
            const int pieceTop = y - r * s.ph;
            const int count = std::min(end, (r + 1) * s.ph) - y;
            if (pieceTop == 0)
                if (QString error = startPiece(s, column, k, input); !error.isEmpty())
                    return error;
            if (QString error = feed(column, c, slot, rows, y, count, pieceTop); !error.isEmpty())
                return cannotEncode(k, error);
            y += count;
            if (pieceTop + count < s.ph)
                continue;
            if (QString error = finishPiece(column, k, finished); !error.isEmpty())
                return error;
        }
        return {};
    }

private:
    // The slot's planes as they are.
    PlaneRows slotRows(const Slot& slot) const {
        PlaneRows rows;
        for (int i = 0; i < 3; ++i)
            rows.planes[i] = slot.planes[i];
        rows.lumaStride = m_setup.layout.lumaStride;
        rows.chromaStride = m_setup.layout.chromaStride;
        rows.top = slot.top;
        return rows;
    }

    // The blocks under column c from the slot's coefficient planes, down to row `end`, made into
    // samples in the column's window. The blocks on a boundary between two columns are made by
    // both, which keeps the columns independent.
    PlaneRows transformColumn(Column& column, int c, const Slot& slot, int end) const {
        const picture::PlaneLayout& layout = m_setup.layout;
        const int hx = layout.hx, vy = layout.vy;
        const qsizetype x0 = qsizetype(c) * m_setup.pw, x1 = x0 + m_setup.pw;
        const int lumaFirst = int(x0 / kBlock), lumaEnd = int((x1 + kBlock - 1) / kBlock);
        const int chromaFirst = int(x0 / hx / kBlock);
        const int chromaEnd = int(((x1 - 1) / hx + kBlock) / kBlock);
        const int rows = end - slot.top;
        const int lumaBlockRows = (rows + kBlock - 1) / kBlock;
        const int chromaBlockRows = ((rows + vy - 1) / vy + kBlock - 1) / kBlock;
        const qsizetype lumaWidth = qsizetype(lumaEnd - lumaFirst) * kBlock;
        const qsizetype chromaWidth = qsizetype(chromaEnd - chromaFirst) * kBlock;
        const qsizetype lumaBytes = lumaWidth * lumaBlockRows * kBlock;
        const qsizetype chromaBytes = chromaWidth * chromaBlockRows * kBlock;
        uchar* y = column.windowOf(lumaBytes + 2 * chromaBytes);
        uchar* cb = y + lumaBytes;
        uchar* cr = cb + chromaBytes;
        const picture::JpegPlanes& planes = *m_setup.planes;
        planes.inverseDct(0, slot.planes[0], 2 * layout.lumaStride, lumaBlockRows, lumaFirst,
                          lumaEnd - lumaFirst, y, lumaWidth);
        planes.inverseDct(1, slot.planes[1], 2 * layout.chromaStride, chromaBlockRows, chromaFirst,
                          chromaEnd - chromaFirst, cb, chromaWidth);
        planes.inverseDct(2, slot.planes[2], 2 * layout.chromaStride, chromaBlockRows, chromaFirst,
                          chromaEnd - chromaFirst, cr, chromaWidth);
        PlaneRows window;
        window.planes[0] = y;
        window.planes[1] = cb;
        window.planes[2] = cr;
        window.lumaStride = lumaWidth;
        window.chromaStride = chromaWidth;
        window.lumaLeft = qsizetype(lumaFirst) * kBlock;
        window.chromaLeft = qsizetype(chromaFirst) * kBlock;
        window.top = slot.top;
        return window;
    }

    // Rows y to y + count - 1 of column c, which are rows pieceTop... of their piece; `rows` are
    // the slot's planes, when it holds planes.
    QString feed(Column& column, int c, const Slot& slot, const PlaneRows& rows, int y, int count,
                 int pieceTop) const {
        const Setup& s = m_setup;
        if (!s.planes) {
            const uchar* lines[kMaxChunkRows];
            const qsizetype left = qsizetype(c) * s.pw;
            for (int i = 0; i < count; ++i)
                lines[i] = slot.image.constScanLine(y - slot.top + i) + left * 4;
            if (!column.encoder.write(lines, count))
                return column.encoder.error();
            if (s.previews)
                for (int i = 0; i < count && pieceTop + i < s.preview.height(); ++i)
                    std::memcpy(column.preview.scanLine(pieceTop + i), lines[i],
                                std::size_t(s.preview.width()) * 4);
            return {};
        }
        if (!column.feed)
            column.feed = std::make_unique<PlaneFeed>(s.layout, s.pw, s.ph);
        if (pieceTop == 0)
            column.feed->start(c);
        QImage* preview = s.previews ? &column.preview : nullptr;
        for (int i = 0; i < count; ++i)
            if (QString error =
                    column.feed->addRow(rows, y + i, pieceTop + i, column.encoder, preview);
                !error.isEmpty())
                return error;
        return {};
    }

    const Setup& m_setup;
};

} // namespace

std::unique_ptr<Road> uprightRoad(const Setup& setup) {
    return std::make_unique<UprightRoad>(setup);
}

} // namespace puzzle::slicing
