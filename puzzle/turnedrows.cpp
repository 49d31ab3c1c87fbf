// SPDX-License-Identifier: MIT
// The turned rows road, for a turned picture that gives no planes (CMYK, a scaled one): the slot's
// rows of each stored cell column go to the column's window where they show, in the 4:2:0 planes
// the pieces' encoder takes. A pixel's luma goes in at once; its chroma once the rows on both sides
// of it have come, as the 2x2 average the encoder would have taken. Once a cell's last row is in,
// its piece takes the plane road out of the window.
#include "puzzle/slicework.h"

#include <algorithm>

namespace puzzle::slicing {
namespace {

class TurnedRowsRoad final : public Road {
public:
    explicit TurnedRowsRoad(const Setup& setup)
        : m_setup(setup)
        , m_transposed(picture::swapsSides(setup.orientation))
        , m_chromaWidth((setup.pw + 1) / 2)
        , m_along(m_transposed ? setup.ph : setup.pw)
        , m_across(m_transposed ? setup.pw : setup.ph)
        , m_pairs((m_along + 1) / 2) {
        m_layout.hx = m_layout.vy = 2;
    }

    QString encode(Column& column, int c, const Slot& slot,
                   std::vector<Finished>& finished) override {
        const Setup& s = m_setup;
        const qsizetype lumaBytes = qsizetype(s.pw) * s.ph;
        const qsizetype chromaBytes = qsizetype(m_chromaWidth) * ((s.ph + 1) / 2);
        uchar* const whole = column.windowOf(lumaBytes + 2 * chromaBytes);
        uchar* const window[3] = {whole, whole + lumaBytes, whole + lumaBytes + chromaBytes};
        // The sums of a row waiting for its pair are kept from slot to slot.
        if (column.sums.size() != 4 * std::size_t(m_pairs))
            column.sums.assign(4 * std::size_t(m_pairs), 0);
        const QPoint origin = s.plan.origin();
        const QSize cell = s.plan.cellSize();
        const int first = std::max(slot.top, origin.y());
        const int end = std::min(slot.top + slot.rows, origin.y() + s.cells.rows * cell.height());
        for (int y = first; y < end; ++y) {
            const int r = (y - origin.y()) / cell.height();
            if (y == origin.y() + r * cell.height())
                column.pendingPair = -1;
            const int k = s.plan.piece(r, c);
            if (!takeRow(column, c, slot, y, k, window))
                continue;
            if (y < origin.y() + (r + 1) * cell.height() - 1)
                continue;
            PlaneRows rows;
            for (int plane = 0; plane < 3; ++plane)
                rows.planes[plane] = window[plane];
            rows.lumaStride = s.pw;
            rows.chromaStride = m_chromaWidth;
            if (QString error = encodeShown(s, m_layout, column, k, rows, {0, 0}, finished);
                !error.isEmpty())
                return error;
        }
        return {};
    }

private:
    // Stored row y of cell column c, which shows in piece k: its luma into the window, its chroma
    // summed pairwise along it. False while the row waits for the one it pairs with across.
    bool takeRow(Column& column, int c, const Slot& slot, int y, int k,
                 uchar* const window[3]) const {
        const Setup& s = m_setup;
        quint16* const cb = column.sums.data();
        quint16* const cr = cb + m_pairs;
        const int left = s.plan.origin().x() + c * s.plan.cellSize().width();
        const QPoint origin = s.plan.pieceOrigin(k);
        const QPoint a = s.plan.shown({left, y}) - origin, b = s.plan.shown({left + 1, y}) - origin;
        // A stored row shows as a column of the piece, turned, or as a row: its pixels pair up
        // along it, and it pairs up with the next row across it.
        const int fixed = m_transposed ? a.x() : a.y();
        const int start = m_transposed ? a.y() : a.x();
        const int step = m_transposed ? b.y() - a.y() : b.x() - a.x();
        const qsizetype lumaStep = m_transposed ? qsizetype(step) * s.pw : step;
        uchar* luma = window[0] + (m_transposed ? qsizetype(start) * s.pw + fixed
                                                : qsizetype(fixed) * s.pw + start);
        std::fill(cb, cb + 2 * m_pairs, quint16(0));
        const auto* pixel =
            reinterpret_cast<const QRgb*>(slot.image.constScanLine(y - slot.top)) + left;
        for (int i = 0, v = start; i < s.plan.cellSize().width();
             ++i, v += step, luma += lumaStep) {
            const YCbCr ycc = yCbCrOfRgb(pixel[i]);
            *luma = uchar(ycc.y);
            cb[v / 2] = quint16(cb[v / 2] + ycc.cb);
            cr[v / 2] = quint16(cr[v / 2] + ycc.cr);
        }
        // The encoder widens a piece of odd size by repeating its last pixel, and its last row,
        // which the sums do by counting them twice.
        if (m_along % 2) {
            cb[m_pairs - 1] = quint16(2 * cb[m_pairs - 1]);
            cr[m_pairs - 1] = quint16(2 * cr[m_pairs - 1]);
        }
        const int pair = fixed / 2;
        if (!pairAcross(column, pair))
            return false;
        writeChroma(cb, cr, pair, window);
        return true;
    }

    // Adds the sums of the row waiting for its pair across to the row just summed, or keeps the
    // row just summed waiting; a last row of odd count pairs with itself. False while it waits.
    bool pairAcross(Column& column, int pair) const {
        quint16* const cb = column.sums.data();
        quint16* const cr = cb + m_pairs;
        quint16* const pendingCb = cr + m_pairs;
        quint16* const pendingCr = pendingCb + m_pairs;
        if (2 * pair + 1 >= m_across) {
            for (int g = 0; g < m_pairs; ++g) {
                cb[g] = quint16(2 * cb[g]);
                cr[g] = quint16(2 * cr[g]);
            }
            return true;
        }
        if (column.pendingPair != pair) {
            std::copy(cb, cb + 2 * m_pairs, pendingCb);
            column.pendingPair = pair;
            return false;
        }
        for (int g = 0; g < m_pairs; ++g) {
            cb[g] = quint16(cb[g] + pendingCb[g]);
            cr[g] = quint16(cr[g] + pendingCr[g]);
        }
        column.pendingPair = -1;
        return true;
    }

    // The averages of four pixels' chroma into the window. The encoder rounds its averages
    // alternately down and up, along each chroma row.
    void writeChroma(const quint16* cb, const quint16* cr, int pair, uchar* const window[3]) const {
        for (int g = 0; g < m_pairs; ++g) {
            const int x = m_transposed ? pair : g, row = m_transposed ? g : pair;
            const int bias = x % 2 ? 2 : 1;
            const qsizetype at = qsizetype(row) * m_chromaWidth + x;
            window[1][at] = uchar((cb[g] + bias) >> 2);
            window[2][at] = uchar((cr[g] + bias) >> 2);
        }
    }

    const Setup& m_setup;
    const bool m_transposed;
    const int m_chromaWidth;
    const int m_along, m_across, m_pairs;
    picture::PlaneLayout m_layout; // the windows' planes: 4:2:0
};

} // namespace

std::unique_ptr<Road> turnedRowsRoad(const Setup& setup) {
    return std::make_unique<TurnedRowsRoad>(setup);
}

} // namespace puzzle::slicing
