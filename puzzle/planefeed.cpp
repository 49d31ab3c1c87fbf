// SPDX-License-Identifier: MIT
#include "puzzle/planefeed.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace puzzle {

namespace {

constexpr int kRows = picture::JpegEncoder::kPlaneRows;

} // namespace

QRgb rgbOfYCbCr(int y, int cb, int cr) {
    const double b = cb - 128.0, r = cr - 128.0;
    const auto channel = [](double v) { return int(std::clamp(std::lround(v), 0L, 255L)); };
    return qRgb(channel(y + 1.402 * r), channel(y - 0.344136 * b - 0.714136 * r),
                channel(y + 1.772 * b));
}

void mergeChroma(const ChromaMap& map, const uchar* even, const uchar* odd, uchar* out) {
    const int samples = int(map.near.size());
    if (map.aligned && even == odd) {
        std::memcpy(out, even, std::size_t(samples));
    } else if (map.aligned) {
        for (int i = 0; i < samples; ++i) // (2a + 2b + bias) >> 2, bias going 1, 2, 1, ...
            out[i] = uchar((even[i] + odd[i] + (i & 1)) >> 1);
    } else if (map.pairs) {
        // Full-width chroma (4:4:4, 4:4:0): each sample averages two neighbours, a loop the
        // compiler can run on vectors.
        for (int i = 0; i < samples - 1; ++i)
            out[i] = uchar(
                (even[2 * i] + even[2 * i + 1] + odd[2 * i] + odd[2 * i + 1] + 1 + (i & 1)) >> 2);
        const int i = samples - 1, a = map.near[std::size_t(i)], b = map.far[std::size_t(i)];
        out[i] = uchar((even[a] + even[b] + odd[a] + odd[b] + 1 + (i & 1)) >> 2);
    } else {
        int bias = 1;
        for (int i = 0; i < samples; ++i) {
            const int a = map.near[std::size_t(i)], b = map.far[std::size_t(i)];
            out[i] = uchar((even[a] + even[b] + odd[a] + odd[b] + bias) >> 2);
            bias ^= 3;
        }
    }
    std::memset(out + samples, out[samples - 1], std::size_t(map.outWidth - samples));
}

ChromaMap chromaMap(qsizetype x0, int width, int hx) {
    ChromaMap map;
    map.outWidth = picture::JpegEncoder::chromaWidth(width);
    const qsizetype first = x0 / hx;
    const int samples = (width + 1) / 2;
    map.near.resize(std::size_t(samples));
    map.far.resize(std::size_t(samples));
    map.aligned = true;
    map.pairs = true;
    for (int i = 0; i < samples; ++i) {
        const int nearOne = int((x0 + 2 * i) / hx - first);
        const int farOne = int((x0 + std::min(2 * i + 1, width - 1)) / hx - first);
        map.near[std::size_t(i)] = nearOne;
        map.far[std::size_t(i)] = farOne;
        map.aligned = map.aligned && nearOne == i && farOne == i;
        map.pairs = map.pairs && (i == samples - 1 || (nearOne == 2 * i && farOne == 2 * i + 1));
    }
    return map;
}

PlaneFeed::PlaneFeed(const picture::PlaneLayout& layout, int pieceWidth, int pieceHeight)
    : m_layout(layout)
    , m_pw(pieceWidth)
    , m_ph(pieceHeight) {}

void PlaneFeed::startAt(qsizetype x0) {
    const int hx = m_layout.hx;
    m_x0 = x0;
    m_lumaWidth = picture::JpegEncoder::planeWidth(m_pw);
    m_map = chromaMap(x0, m_pw, hx);
    m_y.resize(std::size_t(m_lumaWidth) * kRows);
    m_cb.resize(std::size_t(m_map.outWidth) * kRows / 2);
    m_cr.resize(m_cb.size());
    m_rows = 0;
    m_first = x0 / hx;
    m_count = int((x0 + m_pw - 1) / hx - m_first + 1);
    m_evenCb.resize(std::size_t(m_count));
    m_evenCr.resize(std::size_t(m_count));
    m_evenRow = -1;
}

QString PlaneFeed::addRow(const PlaneRows& rows, int y, int pieceRow, picture::JpegEncoder& encoder,
                          QImage* preview) {
    const int inSlot = y - rows.top;
    uchar* luma = m_y.data() + std::size_t(m_lumaWidth) * std::size_t(m_rows);
    std::memcpy(luma, rows.planes[0] + rows.lumaStride * inSlot + m_x0 - rows.lumaLeft,
                std::size_t(m_pw));
    std::memset(luma + m_pw, luma[m_pw - 1], std::size_t(m_lumaWidth - m_pw));

    const int chromaRow = y / m_layout.vy;
    const qsizetype chromaAt =
        rows.chromaStride * (inSlot / m_layout.vy) + m_first - rows.chromaLeft;
    const uchar* cb = rows.planes[1] + chromaAt;
    const uchar* cr = rows.planes[2] + chromaAt;
    const bool last = pieceRow == m_ph - 1;
    if (pieceRow % 2 == 0) {
        std::memcpy(m_evenCb.data(), cb, std::size_t(m_count));
        std::memcpy(m_evenCr.data(), cr, std::size_t(m_count));
        m_evenRow = chromaRow;
    }
    if (pieceRow % 2 == 1 || last) {
        // The piece's chroma row for its rows 2j and 2j + 1 (2j alone at an odd end).
        const int blockRow = m_rows - m_rows % 2;
        const std::size_t out = std::size_t(m_map.outWidth) * std::size_t(blockRow / 2);
        const bool sameRow = m_evenRow == chromaRow;
        mergeChroma(m_map, m_evenCb.data(), sameRow ? m_evenCb.data() : cb, m_cb.data() + out);
        mergeChroma(m_map, m_evenCr.data(), sameRow ? m_evenCr.data() : cr, m_cr.data() + out);
        if (preview)
            previewRows(*preview, pieceRow - m_rows % 2, blockRow, m_rows % 2 + 1);
    }
    ++m_rows;
    if (m_rows < kRows && !last)
        return {};

    // Below the piece's last row its last rows repeat, as the encoder does with pixels.
    const uchar* yRows[kRows];
    const uchar* cbRows[kRows / 2];
    const uchar* crRows[kRows / 2];
    for (int i = 0; i < kRows; ++i) {
        const int row = std::min(i, m_rows - 1);
        yRows[i] = m_y.data() + std::size_t(m_lumaWidth) * std::size_t(row);
        if (i % 2 == 0) {
            const std::size_t at = std::size_t(m_map.outWidth) * std::size_t(row / 2);
            cbRows[i / 2] = m_cb.data() + at;
            crRows[i / 2] = m_cr.data() + at;
        }
    }
    m_rows = 0;
    if (!encoder.writePlanes(yRows, cbRows, crRows))
        return encoder.error();
    return {};
}

// `count` rows of the preview, rows pieceRow... of the piece, from the block's row blockRow.
void PlaneFeed::previewRows(QImage& preview, int pieceRow, int blockRow, int count) const {
    const std::size_t chroma = std::size_t(m_map.outWidth) * std::size_t(blockRow / 2);
    const uchar* cb = m_cb.data() + chroma;
    const uchar* cr = m_cr.data() + chroma;
    // Only the corner that the preview holds: the rest is never seen.
    for (int i = 0; i < count && pieceRow + i < preview.height(); ++i) {
        const uchar* luma = m_y.data() + std::size_t(m_lumaWidth) * std::size_t(blockRow + i);
        auto* line = reinterpret_cast<QRgb*>(preview.scanLine(pieceRow + i));
        for (int x = 0; x < preview.width(); ++x)
            line[x] = rgbOfYCbCr(luma[x], cb[x / 2], cr[x / 2]);
    }
}

} // namespace puzzle
