// SPDX-License-Identifier: MIT
// The turned blocks road: a turned JPEG is read as an upright one is, in small chunks, and each
// worker transforms the blocks under its column of stored cells turned, so that a window holds
// each cell's region as it is shown. Once a region's last row is in, its piece comes out of the
// window upright and takes the plane road to the encoder.
#include "puzzle/slicework.h"

#include <algorithm>
#include <utility>

namespace puzzle::slicing {
namespace {

constexpr int kBlock = 8;

class TurnedBlocksRoad final : public Road {
public:
    explicit TurnedBlocksRoad(const Setup& setup)
        : m_setup(setup)
        , m_shown(shownLayout(setup)) {}

    QString encode(Column& column, int c, const Slot& slot,
                   std::vector<Finished>& finished) override {
        for (int r = 0; r < m_setup.cells.rows; ++r)
            if (QString error = encodeCell(column, r, c, slot, finished); !error.isEmpty())
                return error;
        return {};
    }

private:
    // The MCUs around one stored cell, and how many of them the slot holds.
    struct Region {
        int mcuLeft = 0, mcus = 0;   // across
        int mcuTop = 0, mcuRows = 0; // down
        int from = 0, to = 0;        // the MCU rows of the region in the slot
    };

    // How a window's planes are laid out: the stored layout, turned. Chroma stored at full size
    // stays at full size: the plane feed then averages it as the encoder would, from the pixels
    // where the piece starts, odd or even.
    static picture::PlaneLayout shownLayout(const Setup& setup) {
        picture::PlaneLayout shown = setup.layout;
        if (picture::swapsSides(setup.orientation))
            std::swap(shown.hx, shown.vy);
        return shown;
    }

    Region regionOf(int r, int c, const Slot& slot) const {
        const Setup& s = m_setup;
        const int mcuWidth = s.layout.hx * kBlock, mcuHeight = s.layout.vy * kBlock;
        const QPoint cell =
            s.plan.origin() + QPoint(c * s.plan.cellSize().width(), r * s.plan.cellSize().height());
        Region region;
        region.mcuLeft = cell.x() / mcuWidth;
        region.mcus = (cell.x() + s.plan.cellSize().width() - 1) / mcuWidth + 1 - region.mcuLeft;
        region.mcuTop = cell.y() / mcuHeight;
        region.mcuRows =
            (cell.y() + s.plan.cellSize().height() - 1) / mcuHeight + 1 - region.mcuTop;
        // The slot starts a row of MCUs.
        const int slotMcu = slot.top / mcuHeight;
        const int slotMcus = (slot.rows + mcuHeight - 1) / mcuHeight;
        region.from = std::max(region.mcuTop, slotMcu);
        region.to = std::min(region.mcuTop + region.mcuRows, slotMcu + slotMcus);
        return region;
    }

    // The slot's part of stored cell (r, c); once the cell's region is whole, its piece.
    QString encodeCell(Column& column, int r, int c, const Slot& slot,
                       std::vector<Finished>& finished) {
        const Setup& s = m_setup;
        const Region region = regionOf(r, c, slot);
        if (region.from >= region.to)
            return {};
        const int hx = s.layout.hx, vy = s.layout.vy;
        const bool transposed = picture::swapsSides(s.orientation);
        const int across = region.mcus * hx, down = region.mcuRows * vy;
        const qsizetype lumaWidth = qsizetype(transposed ? down : across) * kBlock;
        const qsizetype chromaWidth = qsizetype(transposed ? region.mcuRows : region.mcus) * kBlock;
        const qsizetype lumaBytes = qsizetype(across) * down * kBlock * kBlock;
        const qsizetype chromaBytes = qsizetype(region.mcus) * region.mcuRows * kBlock * kBlock;
        uchar* const whole = column.windowOf(lumaBytes + 2 * chromaBytes);
        uchar* window[3] = {whole, whole + lumaBytes, whole + lumaBytes + chromaBytes};
        transformRegion(region, slot, window, lumaWidth, chromaWidth);
        if (region.to < region.mcuTop + region.mcuRows)
            return {};

        // The region is whole: where the piece's top left corner lands in it as shown.
        const int k = s.plan.piece(r, c);
        const QPoint a = s.plan.stored(s.plan.pieceOrigin(k));
        const QPoint corner =
            shownPixel(s.orientation, a.x() - region.mcuLeft * hx * kBlock,
                       a.y() - region.mcuTop * vy * kBlock, QSize(across * kBlock, down * kBlock));
        PlaneRows rows;
        for (int plane = 0; plane < 3; ++plane)
            rows.planes[plane] = window[plane];
        rows.lumaStride = lumaWidth;
        rows.chromaStride = chromaWidth;
        return encodeShown(s, m_shown, column, k, rows, corner, finished);
    }

    // The region's blocks that the slot holds, transformed turned into the window.
    void transformRegion(const Region& region, const Slot& slot, uchar* const window[3],
                         qsizetype lumaWidth, qsizetype chromaWidth) const {
        const Setup& s = m_setup;
        const int hx = s.layout.hx, vy = s.layout.vy;
        const int mcuHeight = vy * kBlock;
        // Blocks past the picture's right edge are not stored; the window's part for them is
        // never read.
        const int across = region.mcus * hx, down = region.mcuRows * vy;
        const int lumaCount =
            std::min(across, int(s.layout.lumaStride / kBlock) - region.mcuLeft * hx);
        const int chromaCount =
            std::min(region.mcus, int(s.layout.chromaStride / kBlock) - region.mcuLeft);
        // The slot's block rows as stored, fewer at the picture's bottom.
        const int slotLuma = (slot.rows + kBlock - 1) / kBlock;
        const int slotChroma = ((slot.rows + vy - 1) / vy + kBlock - 1) / kBlock;
        const int inSlot = region.from - slot.top / mcuHeight;
        const int mcusHere = region.to - region.from;
        s.planes->inverseDctTurned(
            0, slot.planes[0] + qsizetype(inSlot) * mcuHeight * 2 * s.layout.lumaStride,
            2 * s.layout.lumaStride, std::min(mcusHere * vy, slotLuma - inSlot * vy),
            region.mcuLeft * hx, lumaCount, s.orientation, across, down,
            (region.from - region.mcuTop) * vy, window[0], lumaWidth);
        for (int plane = 1; plane <= 2; ++plane)
            s.planes->inverseDctTurned(
                plane, slot.planes[plane] + qsizetype(inSlot) * kBlock * 2 * s.layout.chromaStride,
                2 * s.layout.chromaStride, std::min(mcusHere, slotChroma - inSlot), region.mcuLeft,
                chromaCount, s.orientation, region.mcus, region.mcuRows,
                region.from - region.mcuTop, window[plane], chromaWidth);
    }

    const Setup& m_setup;
    const picture::PlaneLayout m_shown;
};

} // namespace

std::unique_ptr<Road> turnedBlocksRoad(const Setup& setup) {
    return std::make_unique<TurnedBlocksRoad>(setup);
}

} // namespace puzzle::slicing
