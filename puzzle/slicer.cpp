// SPDX-License-Identifier: MIT
// The slicing pass. The calling thread decodes the picture a few dozen rows at a time into a small
// ring of buffers; two workers feed those rows to one JPEG encoder per column of pieces, so that
// encoding overlaps decoding and a band of pieces is never held whole. Finished pieces come back
// to the calling thread, which hands them on in the order they are cut and shows them in index
// order. Memory stays at the ring, the encoders and the encoded bytes of about one row of pieces,
// whatever the picture's size, for a source that decodes band by band; a turned picture adds one
// row of its cells.
//
// A single-scan YCbCr JPEG is taken as it is stored: its planes go to the encoders as raw 4:2:0
// blocks, with neither the decoder's chroma upsampling and colour conversion nor the encoder's
// conversion back; its blocks even come undone, and each worker transforms the blocks under its
// columns into samples, which leaves the decoding thread, the one that cannot be shared, only the
// entropy decoding. A turned JPEG takes the same road, its blocks transformed turned, and chroma
// stored at full size made at half size by the decoder's reduced transform. Where a piece lines up
// with the chroma it is given, its chroma is copied; elsewhere it is the 2x2 average the encoder
// would have taken of the pixels, or of the chroma samples nearest to them.
#include "puzzle/slicer.h"

#include "folder/interrupt.h"
#include "picture/jpegencode.h"
#include "picture/jpegsource.h"
#include "picture/picturefile.h"
#include "puzzle/planefeed.h"

#include <QIODevice>
#include <QPainter>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <numeric>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace puzzle {
namespace {

constexpr int kWorkers = 2;
constexpr int kSlots = 6;
// A turned JPEG's columns encode their pieces all at once, when their cells are whole: more slots
// let the decoding thread read on meanwhile.
constexpr int kTurnedSlots = 10;
constexpr qsizetype kSlotBytes = 2 * 1024 * 1024; // RGB32 rows
constexpr qsizetype kPlaneSlotBytes = 1024 * 1024;
constexpr int kMaxChunkRows = 256;

QString pieceName(int k) {
    return QStringLiteral("Image%1.jpg").arg(k);
}

const QString kInterrupted = QStringLiteral("Interrupted before anything was written.");

QString noMemory(int pw, int ph) {
    return QStringLiteral("Not enough memory for a piece of %1x%2.").arg(pw).arg(ph);
}

struct Slot {
    std::unique_ptr<uchar[]> memory;
    uchar* base = nullptr; // memory, aligned for coefficient planes
    QImage image;          // RGB32 feed: the rows, opaque, full width
    uchar* planes[3] = {}; // plane feed: Y, Cb, Cr
    int top = 0;           // the first row held
    int rows = 0;
    int pending = 0; // columns that have yet to read it
};

struct Column {
    picture::JpegEncoder encoder;
    int next = 0; // the chunk it reads next
    bool busy = false;
    QImage preview;                  // the piece being made, when previews are wanted
    std::unique_ptr<PlaneFeed> feed; // the plane feed's state for the piece being made
    // Samples transformed from a slot's blocks: upright, the column's part of the slot; turned,
    // its cell's region as it is shown. A turned picture read in RGB rows: its cell's piece as
    // 4:2:0 planes.
    std::unique_ptr<uchar[]> window;
    std::size_t windowBytes = 0;
    // A turned picture read in RGB rows: the chroma sums of the row just read and of the one
    // before, which its chroma pairs it with when it has come (pendingPair; -1 when none waits).
    std::vector<quint16> sums;
    int pendingPair = -1;

    // The window, at least `bytes` long. What it held is not kept: a larger window is only asked
    // for when a new region begins. Allocated to the byte, not doubled as a vector grows, since a
    // turned picture's windows hold a whole row of its cells.
    uchar* windowOf(qsizetype bytes) {
        if (windowBytes < std::size_t(bytes)) {
            window.reset();
            windowBytes = 0;
            window.reset(new uchar[std::size_t(bytes)]);
            windowBytes = std::size_t(bytes);
        }
        return window.get();
    }
};

struct Finished {
    int k = 0;
    QByteArray file;
    QImage preview;
};

class Pass {
public:
    Pass(picture::Source& source, Grid grid, QSize piece, PieceSink& out,
         const SliceCallbacks& callbacks)
        : m_source(source)
        , m_planes(dynamic_cast<picture::JpegPlanes*>(&source))
        , m_grid(grid)
        , m_pw(piece.width())
        , m_ph(piece.height())
        , m_orientation(source.orientation())
        , m_width(shownSize(m_orientation, source.size()).width())
        , m_height(shownSize(m_orientation, source.size()).height())
        , m_cells(picture::swapsSides(m_orientation) ? Grid{grid.rows, grid.columns} : grid)
        , m_out(out)
        , m_callbacks(callbacks)
        , m_preview(callbacks.previewSize.isEmpty() ? piece
                                                    : piece.boundedTo(callbacks.previewSize))
        , m_columns(std::size_t(m_cells.columns)) {
        if (m_planes && !m_planes->canReadPlanes())
            m_planes = nullptr;
        if (m_planes) {
            m_layout = m_planes->planeLayout();
            m_deferred = m_planes->deferInverseDct();
            // A turned picture's blocks are turned as they are transformed. A single-scan picture
            // whose blocks cannot be had is read in RGB rows instead; a multi-scan one, decoded
            // for planes when it was opened, then fails to give its rows, with the cause.
            if (!isUpright(m_orientation) && !m_deferred)
                m_planes = nullptr;
        }
        if (m_planes) {
            // Coefficients take two bytes a sample.
            const qsizetype perRow =
                (m_layout.lumaStride + 2 * m_layout.chromaStride / m_layout.vy) *
                (m_deferred ? 2 : 1);
            // Slots hold whole reads and whole rows of MCUs as the pieces' encoder takes them:
            // grey is read eight rows at a time but fed as 4:2:0.
            const int step = std::lcm(m_layout.rowsPerRead, 8 * m_layout.vy);
            const int steps = int(
                std::clamp<qsizetype>(kPlaneSlotBytes / perRow / step, 1, kMaxChunkRows / step));
            m_chunkRows = steps * step;
            m_slotBytes = perRow * m_chunkRows;
        } else {
            // Turned, the rows go into windows at once: the slots are there for the decoding
            // thread to read on, and more, smaller ones serve it as well.
            const qsizetype slotBytes = isUpright(m_orientation) ? kSlotBytes : kSlotBytes / 4;
            const qsizetype rowBytes = qsizetype(m_width) * 4;
            m_chunkRows =
                int(std::clamp<qsizetype>(slotBytes / rowBytes / 16 * 16, 16, kMaxChunkRows));
            m_slotBytes = rowBytes * m_chunkRows;
        }
        m_chunks = (m_height + m_chunkRows - 1) / m_chunkRows;
        // Upright, pieces are cut in index order; turned, by rows of stored cells.
        if (!isUpright(m_orientation)) {
            planCells();
            m_ring = kTurnedSlots;
            m_cutOrder = m_cellPiece;
        } else {
            m_cutOrder.resize(std::size_t(grid.pieces()));
            std::iota(m_cutOrder.begin(), m_cutOrder.end(), 0);
        }
    }

    ~Pass() { stopWorkers(); }
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;

    QString run() {
        try {
            for (int i = 0; i < kWorkers; ++i)
                m_workers.emplace_back([this, i] { work(i > 0); });
        } catch (const std::system_error&) {
            // Without memory for a thread's stack: the workers already started are stopped by
            // the destructor.
            return QStringLiteral("Not enough memory to start the encoders.");
        }

        for (int t = 0; t < m_chunks; ++t) {
            if (folder::interrupted())
                return kInterrupted;
            Slot& slot = m_slots[std::size_t(t % m_ring)];
            if (QString error = waitAndStage([&slot] { return slot.pending == 0; }, true);
                !error.isEmpty())
                return error;
            if (QString error = decode(t, slot); !error.isEmpty())
                return error;
            {
                std::lock_guard lock(m_mutex);
                // Rows outside the pieces are read only so that damage there is found; every
                // column still passes over them, as over any slot, before it comes free.
                slot.pending = m_cells.columns;
                m_published = t + 1;
            }
            m_toWorkers.notify_all();
        }
        const int pieces = m_grid.pieces();
        if (QString error = waitAndStage([this, pieces] { return m_staged == pieces; });
            !error.isEmpty())
            return error;
        stopWorkers();
        return {};
    }

private:
    QString decode(int t, Slot& slot) {
        slot.top = t * m_chunkRows;
        slot.rows = std::min(m_chunkRows, m_height - slot.top);
        if (!slot.memory) {
            constexpr std::size_t kAlign = 64;
            slot.memory.reset(new (std::nothrow) uchar[std::size_t(m_slotBytes) + kAlign]);
            if (!slot.memory)
                return picture::noMemoryForRows(m_chunkRows);
            const auto at = reinterpret_cast<std::uintptr_t>(slot.memory.get());
            slot.base = slot.memory.get() + (kAlign - at % kAlign) % kAlign;
        }
        QString error;
        if (m_planes) {
            // Deferred, the planes hold coefficients: twice the bytes a row.
            const qsizetype lumaStride = m_layout.lumaStride * (m_deferred ? 2 : 1);
            const qsizetype chromaStride = m_layout.chromaStride * (m_deferred ? 2 : 1);
            uchar* y = slot.base;
            uchar* cb = y + lumaStride * m_chunkRows;
            uchar* cr = cb + chromaStride * (m_chunkRows / m_layout.vy);
            slot.planes[0] = y;
            slot.planes[1] = cb;
            slot.planes[2] = cr;
            const int chromaRows = m_layout.rowsPerRead / m_layout.vy;
            for (int read = 0, i = 0; read < slot.rows; ++i) {
                int rows = 0;
                if (!m_planes->nextPlanes(y + lumaStride * m_layout.rowsPerRead * i,
                                          cb + chromaStride * chromaRows * i,
                                          cr + chromaStride * chromaRows * i, rows, error))
                    return error;
                read += rows;
            }
            return {};
        }
        const qsizetype stride = qsizetype(m_width) * 4;
        slot.image = QImage(slot.base, m_width, slot.rows, stride, QImage::Format_RGB32);
        if (!m_source.nextRows(slot.rows, slot.image, error))
            return error;
        if (slot.image.hasAlphaChannel()) {
            // Every piece starts all white and the picture is drawn over it.
            QImage white(slot.base, m_width, slot.rows, stride, QImage::Format_RGB32);
            white.fill(Qt::white);
            QPainter(&white).drawImage(0, 0, slot.image);
            slot.image = white;
        } else if (slot.image.format() != QImage::Format_RGB32) {
            slot.image = slot.image.convertToFormat(QImage::Format_RGB32);
        }
        if (slot.image.isNull() || slot.image.width() != m_width ||
            slot.image.height() != slot.rows)
            return picture::noMemoryForRows(slot.rows);
        return {};
    }

    // Stages finished pieces in the order they are cut and shows them in index order, until
    // `done` holds or a worker failed. A turned picture's first pieces are cut last: its files are
    // not held back for them, only the previews are. `decodingWaits`: the decoding thread waits
    // for a slot, which calls in the helper.
    template <typename Done>
    QString waitAndStage(Done done, bool decodingWaits = false) {
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (!m_failure.isEmpty())
                return m_failure;
            if (folder::interrupted())
                return kInterrupted;
            if (auto it = m_staging < m_cutOrder.size() ? m_unstaged.find(m_cutOrder[m_staging])
                                                        : m_unstaged.end();
                it != m_unstaged.end()) {
                Finished piece = std::move(it->second);
                m_unstaged.erase(it);
                ++m_staging;
                lock.unlock();
                if (!m_out.put(pieceName(piece.k), piece.file))
                    return m_out.errorString();
                lock.lock();
                m_shown.emplace(piece.k, std::move(piece.preview));
                continue;
            }
            if (auto it = m_shown.find(m_staged); it != m_shown.end()) {
                const QImage preview = std::move(it->second);
                m_shown.erase(it);
                const int k = m_staged++;
                lock.unlock();
                show(k, preview);
                lock.lock();
                continue;
            }
            if (done())
                return {};
            // Every slot cut and no piece on its way: what is missing will never come.
            if (m_idleWorkers == kWorkers)
                return QStringLiteral("The pieces could not all be cut.");
            // Woken by the workers; the timeout lets an interruption through while they work.
            if (decodingWaits && !m_decodingWaits) {
                m_decodingWaits = true;
                m_toWorkers.notify_all();
            }
            m_toMain.wait_for(lock, std::chrono::milliseconds(50));
            m_decodingWaits = false;
        }
    }

    void show(int k, const QImage& preview) {
        if (m_callbacks.preview)
            m_callbacks.preview(k, preview);
        yield();
        if (k % m_grid.columns == m_grid.columns - 1)
            yield();
    }

    void yield() {
        if (m_callbacks.yield)
            m_callbacks.yield();
    }

    // A helper takes work only when the first worker falls more than a chunk behind, and for the
    // last rows: on two cores, a second encoder running beside the first would take its time from
    // the decoder, which nothing can share.
    void work(bool helper) {
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (m_stop)
                return;
            // The column furthest behind goes first, so that ring slots free up in order.
            Column* column = nullptr;
            int c = -1;
            bool allDone = true;
            int waiting = 0;
            for (int i = 0; i < m_cells.columns; ++i) {
                Column& candidate = m_columns[std::size_t(i)];
                if (candidate.next < m_chunks)
                    allDone = false;
                waiting += std::max(0, m_published - candidate.next);
                if (!candidate.busy && candidate.next < m_published &&
                    (!column || candidate.next < column->next)) {
                    column = &candidate;
                    c = i;
                }
            }
            // Upright, the helper comes in when the first worker falls behind by more than a
            // chunk. A turned picture's pieces are encoded all at once when their cells are whole,
            // so it comes in at half a chunk, and when the decoding thread waits for a slot.
            const bool needed =
                m_published == m_chunks ||
                (isUpright(m_orientation) ? waiting > m_cells.columns
                                          : waiting > m_cells.columns / 2 || m_decodingWaits);
            if (column && helper && !needed)
                column = nullptr;
            if (!column) {
                if (allDone) {
                    ++m_idleWorkers;
                    m_toMain.notify_all();
                    return;
                }
                m_toWorkers.wait(lock);
                continue;
            }
            column->busy = true;
            Slot& slot = m_slots[std::size_t(column->next % m_ring)];
            lock.unlock();

            std::vector<Finished> finished;
            QString error;
            try {
                error = encode(*column, c, slot, finished);
            } catch (const std::bad_alloc&) {
                error = noMemory(m_pw, m_ph);
            }

            lock.lock();
            column->busy = false;
            ++column->next;
            if (!error.isEmpty()) {
                if (m_failure.isEmpty())
                    m_failure = error;
                m_stop = true;
                m_toMain.notify_all();
                m_toWorkers.notify_all();
                return;
            }
            bool wake = --slot.pending == 0;
            for (Finished& piece : finished) {
                const int k = piece.k;
                m_unstaged.emplace(k, std::move(piece));
                wake = true;
            }
            if (wake)
                m_toMain.notify_one();
        }
    }

    // Feeds the slot's part of column `c` to the column's encoder, starting and finishing pieces
    // where bands begin and end. Runs on a worker, without the lock: the column and the slot are
    // this worker's until it reports back.
    QString encode(Column& column, int c, const Slot& slot, std::vector<Finished>& finished) {
        if (!isUpright(m_orientation) && m_planes)
            return encodeTurnedStream(column, c, slot, finished);
        if (!isUpright(m_orientation))
            return encodeTurnedRows(column, c, slot, finished);
        const int end = std::min(slot.top + slot.rows, m_grid.rows * m_ph);
        PlaneRows rows;
        if (m_planes && end > slot.top)
            rows = m_deferred ? transformColumn(column, c, slot, end) : slotRows(slot);
        for (int y = slot.top; y < end;) {
            const int r = y / m_ph, k = r * m_grid.columns + c;
            const int pieceTop = y - r * m_ph;
            const int count = std::min(end, (r + 1) * m_ph) - y;
            if (pieceTop == 0) {
                if (QString error = startPiece(column, k,
                                               m_planes ? picture::JpegEncoder::Input::Planes
                                                        : picture::JpegEncoder::Input::Rgb32);
                    !error.isEmpty())
                    return error;
            }
            if (QString error = feed(column, c, slot, rows, y, count, pieceTop); !error.isEmpty())
                return cannotEncode(k, error);
            y += count;
            if (pieceTop + count < m_ph)
                continue;
            if (QString error = finishPiece(column, k, finished); !error.isEmpty())
                return error;
        }
        return {};
    }

    // Piece k begins in the column's encoder, and its preview when previews are wanted.
    QString startPiece(Column& column, int k, picture::JpegEncoder::Input input) {
        if (!column.encoder.begin(m_pw, m_ph, input))
            return cannotEncode(k, column.encoder.error());
        if (m_callbacks.preview) {
            column.preview = QImage(m_preview, QImage::Format_RGB32);
            if (column.preview.isNull())
                return noMemory(m_pw, m_ph);
        }
        return {};
    }

    // Piece k is whole: its file and preview go to `finished`.
    QString finishPiece(Column& column, int k, std::vector<Finished>& finished) {
        Finished piece;
        piece.k = k;
        if (!column.encoder.end(piece.file))
            return cannotEncode(k, column.encoder.error());
        piece.preview = std::move(column.preview);
        column.preview = QImage();
        finished.push_back(std::move(piece));
        return {};
    }

    // The slot's part of stored cell column c of a turned picture. Each cell's region, the whole
    // MCUs around it, is transformed into the column's window as the slot's rows come, each block
    // turned as the picture turns, so that the window holds the region as it is shown; once the
    // region's last row is in, the piece comes out of the window upright and takes the upright
    // road to the encoder.
    QString encodeTurnedStream(Column& column, int c, const Slot& slot,
                               std::vector<Finished>& finished) {
        constexpr int kBlock = 8;
        const int hx = m_layout.hx, vy = m_layout.vy;
        const int mcuWidth = hx * kBlock, mcuHeight = vy * kBlock;
        const int left = m_cellLeft + c * m_cellW;
        const int mcuLeft = left / mcuWidth;
        const int mcus = (left + m_cellW - 1) / mcuWidth + 1 - mcuLeft;
        const int across = mcus * hx;
        // Blocks past the picture's right edge are not stored; the window's part for them is
        // never read.
        const int lumaCount = std::min(across, int(m_layout.lumaStride / kBlock) - mcuLeft * hx);
        const int chromaCount = std::min(mcus, int(m_layout.chromaStride / kBlock) - mcuLeft);
        // The slot starts a row of MCUs; its block rows as stored, fewer at the picture's bottom.
        const int slotMcu = slot.top / mcuHeight;
        const int slotMcus = (slot.rows + mcuHeight - 1) / mcuHeight;
        const int slotLuma = (slot.rows + kBlock - 1) / kBlock;
        const int slotChroma = ((slot.rows + vy - 1) / vy + kBlock - 1) / kBlock;
        const bool transposed = picture::swapsSides(m_orientation);
        // Chroma stored at full size is made at half size each way as it is transformed, by the
        // decoder's own 1/2 scaling: the window then holds what a 4:2:0 picture's would, half the
        // bytes, and the pieces' encoder takes half size anyway.
        const bool halve = halvesChroma();
        const int chromaBlock = halve ? kBlock / 2 : kBlock;
        for (int r = 0; r < m_cells.rows; ++r) {
            const int top = m_cellTop + r * m_cellH;
            const int mcuTop = top / mcuHeight;
            const int mcuRows = (top + m_cellH - 1) / mcuHeight + 1 - mcuTop;
            const int from = std::max(mcuTop, slotMcu);
            const int to = std::min(mcuTop + mcuRows, slotMcu + slotMcus);
            if (from >= to)
                continue;
            const int down = mcuRows * vy;
            const qsizetype lumaWidth = qsizetype(transposed ? down : across) * kBlock;
            const qsizetype chromaWidth = qsizetype(transposed ? mcuRows : mcus) * chromaBlock;
            const qsizetype lumaBytes = qsizetype(across) * down * kBlock * kBlock;
            const qsizetype chromaBytes = qsizetype(mcus) * mcuRows * chromaBlock * chromaBlock;
            uchar* const whole = column.windowOf(lumaBytes + 2 * chromaBytes);
            uchar* window[3] = {whole, whole + lumaBytes, whole + lumaBytes + chromaBytes};
            const int inSlot = from - slotMcu;
            m_planes->inverseDctTurned(
                0, slot.planes[0] + qsizetype(inSlot) * mcuHeight * 2 * m_layout.lumaStride,
                2 * m_layout.lumaStride, std::min((to - from) * vy, slotLuma - inSlot * vy),
                mcuLeft * hx, lumaCount, m_orientation, across, down, (from - mcuTop) * vy,
                window[0], lumaWidth, false);
            for (int plane = 1; plane <= 2; ++plane)
                m_planes->inverseDctTurned(
                    plane,
                    slot.planes[plane] + qsizetype(inSlot) * kBlock * 2 * m_layout.chromaStride,
                    2 * m_layout.chromaStride, std::min(to - from, slotChroma - inSlot), mcuLeft,
                    chromaCount, m_orientation, mcus, mcuRows, from - mcuTop, window[plane],
                    chromaWidth, halve);
            if (to < mcuTop + mcuRows)
                continue;

            // The region is whole: where the piece's top left corner lands in it as shown.
            const int k = cellPiece(r, c);
            const QPoint a = stored(pieceOrigin(k));
            const QPoint corner =
                shownPixel(m_orientation, a.x() - mcuLeft * mcuWidth, a.y() - mcuTop * mcuHeight,
                           QSize(across * kBlock, down * kBlock));
            PlaneRows rows;
            for (int plane = 0; plane < 3; ++plane)
                rows.planes[plane] = window[plane];
            rows.lumaStride = lumaWidth;
            rows.chromaStride = chromaWidth;
            if (QString error = encodeShown(column, k, rows, corner.x(), corner.y(), finished);
                !error.isEmpty())
                return error;
        }
        return {};
    }

    // Piece k from `rows`, an upright picture of the turned layout in which the piece's top left
    // corner is at (x, y).
    QString encodeShown(Column& column, int k, const PlaneRows& rows, int x, int y,
                        std::vector<Finished>& finished) {
        if (!column.feed) {
            picture::PlaneLayout shown = m_layout;
            if (picture::swapsSides(m_orientation))
                std::swap(shown.hx, shown.vy);
            // Windows filled from RGB rows hold 4:2:0 planes too.
            if (!m_planes || halvesChroma())
                shown.hx = shown.vy = 2;
            column.feed = std::make_unique<PlaneFeed>(shown, m_pw, m_ph);
        }
        column.feed->startAt(x);
        if (QString error = startPiece(column, k, picture::JpegEncoder::Input::Planes);
            !error.isEmpty())
            return error;
        QImage* preview = m_callbacks.preview ? &column.preview : nullptr;
        for (int row = 0; row < m_ph; ++row)
            if (QString error = column.feed->addRow(rows, y + row, row, column.encoder, preview);
                !error.isEmpty())
                return cannotEncode(k, error);
        return finishPiece(column, k, finished);
    }

    // Whether a turned picture's windows hold its chroma at half size: where it is stored at full.
    bool halvesChroma() const { return m_planes && m_layout.hx == 1 && m_layout.vy == 1; }

    // The slot's planes as they are.
    PlaneRows slotRows(const Slot& slot) const {
        PlaneRows rows;
        for (int i = 0; i < 3; ++i)
            rows.planes[i] = slot.planes[i];
        rows.lumaStride = m_layout.lumaStride;
        rows.chromaStride = m_layout.chromaStride;
        rows.top = slot.top;
        return rows;
    }

    // The blocks under column c from the slot's coefficient planes, down to row `end`, made into
    // samples in the column's window. The blocks on a boundary between two columns are made by
    // both, which keeps the columns independent.
    PlaneRows transformColumn(Column& column, int c, const Slot& slot, int end) {
        constexpr int kBlock = 8;
        const int hx = m_layout.hx, vy = m_layout.vy;
        const qsizetype x0 = qsizetype(c) * m_pw, x1 = x0 + m_pw;
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
        m_planes->inverseDct(0, slot.planes[0], 2 * m_layout.lumaStride, lumaBlockRows, lumaFirst,
                             lumaEnd - lumaFirst, y, lumaWidth);
        m_planes->inverseDct(1, slot.planes[1], 2 * m_layout.chromaStride, chromaBlockRows,
                             chromaFirst, chromaEnd - chromaFirst, cb, chromaWidth);
        m_planes->inverseDct(2, slot.planes[2], 2 * m_layout.chromaStride, chromaBlockRows,
                             chromaFirst, chromaEnd - chromaFirst, cr, chromaWidth);
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
                 int pieceTop) {
        if (!m_planes) {
            const uchar* lines[kMaxChunkRows];
            const qsizetype left = qsizetype(c) * m_pw;
            for (int i = 0; i < count; ++i)
                lines[i] = slot.image.constScanLine(y - slot.top + i) + left * 4;
            if (!column.encoder.write(lines, count))
                return column.encoder.error();
            if (m_callbacks.preview)
                for (int i = 0; i < count && pieceTop + i < m_preview.height(); ++i)
                    std::memcpy(column.preview.scanLine(pieceTop + i), lines[i],
                                std::size_t(m_preview.width()) * 4);
            return {};
        }
        if (!column.feed)
            column.feed = std::make_unique<PlaneFeed>(m_layout, m_pw, m_ph);
        if (pieceTop == 0)
            column.feed->start(c);
        QImage* preview = m_callbacks.preview ? &column.preview : nullptr;
        for (int i = 0; i < count; ++i)
            if (QString error =
                    column.feed->addRow(rows, y + i, pieceTop + i, column.encoder, preview);
                !error.isEmpty())
                return error;
        return {};
    }

    static QString cannotEncode(int k, const QString& why) {
        return QStringLiteral("Could not encode %1: %2").arg(pieceName(k), why);
    }

    void stopWorkers() {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_toWorkers.notify_all();
        for (std::thread& worker : m_workers)
            worker.join();
        m_workers.clear();
    }

    // Where each shown piece lies in the stored picture: cells of m_cellW by m_cellH stored pixels
    // from (m_cellLeft, m_cellTop), and which shown piece each cell holds.
    void planCells() {
        const bool turned = picture::swapsSides(m_orientation);
        m_cellW = turned ? m_ph : m_pw;
        m_cellH = turned ? m_pw : m_ph;
        // The shown pieces cover the shown picture's top left; in stored rows that is a corner
        // that depends on the turn.
        const QPoint corner = stored({0, 0}),
                     far = stored({m_grid.columns * m_pw - 1, m_grid.rows * m_ph - 1});
        m_cellLeft = std::min(corner.x(), far.x());
        m_cellTop = std::min(corner.y(), far.y());
        m_cellPiece.assign(std::size_t(m_grid.pieces()), -1);
        for (int k = 0; k < m_grid.pieces(); ++k) {
            const QPoint origin = pieceOrigin(k);
            const QPoint a = stored(origin), b = stored(origin + QPoint(m_pw - 1, m_ph - 1));
            const int row = (std::min(a.y(), b.y()) - m_cellTop) / m_cellH;
            const int col = (std::min(a.x(), b.x()) - m_cellLeft) / m_cellW;
            m_cellPiece[std::size_t(row) * std::size_t(m_cells.columns) + std::size_t(col)] = k;
        }
    }

    // The shown piece that stored cell (r, c) of a turned picture holds.
    int cellPiece(int r, int c) const {
        return m_cellPiece[std::size_t(r) * std::size_t(m_cells.columns) + std::size_t(c)];
    }

    // Piece k's top left corner in the shown picture.
    QPoint pieceOrigin(int k) const {
        return {(k % m_grid.columns) * m_pw, (k / m_grid.columns) * m_ph};
    }

    // The stored pixel that shows at `p`.
    QPoint stored(QPoint p) const {
        return storedPixel(m_orientation, p.x(), p.y(), QSize(m_width, m_height));
    }

    // Where stored pixel (x, y) shows.
    QPoint shown(int x, int y) const {
        return shownPixel(m_orientation, x, y, QSize(m_width, m_height));
    }

    // The slot's rows of stored cell column c of a turned picture read in RGB rows (one that has
    // no planes: CMYK, a scaled one). Each pixel goes to the column's window where it shows, in
    // the 4:2:0 planes the pieces' encoder takes: its luma at once, its chroma once the rows on
    // both sides of it have come, as the 2x2 average the encoder would have taken. Once a cell's
    // last row is in, its piece takes the plane road out of the window.
    QString encodeTurnedRows(Column& column, int c, const Slot& slot,
                             std::vector<Finished>& finished) {
        const bool transposed = picture::swapsSides(m_orientation);
        const int chromaWidth = (m_pw + 1) / 2, chromaHeight = (m_ph + 1) / 2;
        const qsizetype lumaBytes = qsizetype(m_pw) * m_ph;
        const qsizetype chromaBytes = qsizetype(chromaWidth) * chromaHeight;
        uchar* const whole = column.windowOf(lumaBytes + 2 * chromaBytes);
        uchar* const window[3] = {whole, whole + lumaBytes, whole + lumaBytes + chromaBytes};
        // A stored row shows as a column of the piece, turned, or as a row: its pixels pair up
        // along it, and it pairs up with the next row across it.
        const int along = transposed ? m_ph : m_pw, across = transposed ? m_pw : m_ph;
        const int pairs = (along + 1) / 2;
        // The sums of a row waiting for its pair are kept from slot to slot.
        if (column.sums.size() != 4 * std::size_t(pairs))
            column.sums.assign(4 * std::size_t(pairs), 0);
        quint16* const cb = column.sums.data();
        quint16* const cr = cb + pairs;
        quint16* const pendingCb = cr + pairs;
        quint16* const pendingCr = pendingCb + pairs;
        const int left = m_cellLeft + c * m_cellW;
        const int first = std::max(slot.top, m_cellTop);
        const int end = std::min(slot.top + slot.rows, m_cellTop + m_cells.rows * m_cellH);
        for (int y = first; y < end; ++y) {
            const int r = (y - m_cellTop) / m_cellH;
            if (y == m_cellTop + r * m_cellH)
                column.pendingPair = -1;
            const int k = cellPiece(r, c);
            const QPoint origin = pieceOrigin(k);
            const QPoint a = shown(left, y) - origin, b = shown(left + 1, y) - origin;
            const int fixed = transposed ? a.x() : a.y();
            const int start = transposed ? a.y() : a.x();
            const int step = transposed ? b.y() - a.y() : b.x() - a.x();
            const qsizetype lumaStep = transposed ? qsizetype(step) * m_pw : step;
            uchar* luma = window[0] + (transposed ? qsizetype(start) * m_pw + fixed
                                                  : qsizetype(fixed) * m_pw + start);
            std::fill(cb, cb + 2 * pairs, quint16(0));
            const auto* pixel =
                reinterpret_cast<const QRgb*>(slot.image.constScanLine(y - slot.top)) + left;
            for (int i = 0, v = start; i < m_cellW; ++i, v += step, luma += lumaStep) {
                const YCbCr ycc = yCbCrOfRgb(pixel[i]);
                *luma = uchar(ycc.y);
                cb[v / 2] = quint16(cb[v / 2] + ycc.cb);
                cr[v / 2] = quint16(cr[v / 2] + ycc.cr);
            }
            // The encoder widens a piece of odd size by repeating its last pixel, and its last
            // row, which the sums do by counting them twice.
            if (along % 2) {
                cb[pairs - 1] = quint16(2 * cb[pairs - 1]);
                cr[pairs - 1] = quint16(2 * cr[pairs - 1]);
            }
            const int pair = fixed / 2;
            if (2 * pair + 1 >= across) {
                for (int g = 0; g < pairs; ++g) {
                    cb[g] = quint16(2 * cb[g]);
                    cr[g] = quint16(2 * cr[g]);
                }
            } else if (column.pendingPair != pair) {
                std::copy(cb, cb + 2 * pairs, pendingCb);
                column.pendingPair = pair;
                continue;
            } else {
                for (int g = 0; g < pairs; ++g) {
                    cb[g] = quint16(cb[g] + pendingCb[g]);
                    cr[g] = quint16(cr[g] + pendingCr[g]);
                }
                column.pendingPair = -1;
            }
            // The encoder rounds its averages alternately down and up, along each chroma row.
            for (int g = 0; g < pairs; ++g) {
                const int x = transposed ? pair : g, row = transposed ? g : pair;
                const int bias = x % 2 ? 2 : 1;
                const qsizetype at = qsizetype(row) * chromaWidth + x;
                window[1][at] = uchar((cb[g] + bias) >> 2);
                window[2][at] = uchar((cr[g] + bias) >> 2);
            }
            if (y < m_cellTop + (r + 1) * m_cellH - 1)
                continue;
            PlaneRows rows;
            for (int plane = 0; plane < 3; ++plane)
                rows.planes[plane] = window[plane];
            rows.lumaStride = m_pw;
            rows.chromaStride = chromaWidth;
            if (QString error = encodeShown(column, k, rows, 0, 0, finished); !error.isEmpty())
                return error;
        }
        return {};
    }

    picture::Source& m_source;
    picture::JpegPlanes* m_planes; // null: RGB32 rows
    picture::PlaneLayout m_layout;
    const Grid m_grid; // as shown
    const int m_pw, m_ph;
    const picture::Orientation m_orientation;
    const int m_width, m_height;  // of the rows as they are read: as stored
    const Grid m_cells;           // the grid as stored: its columns are the workers' columns
    std::vector<int> m_cellPiece; // the shown piece of each stored cell, row by row
    int m_cellLeft = 0, m_cellTop = 0, m_cellW = 0, m_cellH = 0; // turned: the cells, stored
    int m_ring = kSlots;
    bool m_deferred = false; // the slots hold coefficients, which the workers transform
    PieceSink& m_out;
    const SliceCallbacks& m_callbacks;
    const QSize m_preview; // the corner of each piece that the preview shows
    int m_chunkRows = 16;
    qsizetype m_slotBytes = 0;
    int m_chunks = 0;

    std::vector<Column> m_columns;
    Slot m_slots[kTurnedSlots];

    std::mutex m_mutex;
    std::condition_variable m_toWorkers, m_toMain;
    int m_published = 0; // chunks decoded so far
    int m_staged = 0;    // pieces shown so far, all staged
    bool m_stop = false;
    bool m_decodingWaits = false; // for a slot to come free
    int m_idleWorkers = 0;        // workers that found every slot cut and stopped
    QString m_failure;
    std::vector<int> m_cutOrder;        // the pieces in the order they are cut
    std::size_t m_staging = 0;          // the next of them to stage
    std::map<int, Finished> m_unstaged; // finished pieces on their way to the folder
    std::map<int, QImage> m_shown;      // staged pieces' previews, waiting for their turn
    std::vector<std::thread> m_workers;
};

SliceOutcome failed(QString error) {
    SliceOutcome outcome;
    outcome.error = std::move(error);
    return outcome;
}

} // namespace

SliceOutcome slice(picture::Source& source, Grid grid, PieceSink& out,
                   const SliceCallbacks& callbacks) {
    const QSize size = source.size();
    const int pw = grid.columns > 0 ? size.width() / grid.columns : 0;
    const int ph = grid.rows > 0 ? size.height() / grid.rows : 0;
    if (pw < 1 || ph < 1)
        return failed(QStringLiteral("The picture is %1x%2 pixels, too small for a %3x%4 puzzle.")
                          .arg(size.width())
                          .arg(size.height())
                          .arg(grid.columns)
                          .arg(grid.rows));

    {
        Pass pass(source, grid, QSize(pw, ph), out, callbacks);
        if (QString error = pass.run(); !error.isEmpty())
            return failed(error);
    }

    QByteArray white;
    QString error;
    if (!picture::encodeWhite(pw, ph, white, error))
        return failed(QStringLiteral("Could not encode white.jpg: %1").arg(error));
    if (callbacks.preview) {
        const QSize shown = callbacks.previewSize.isEmpty()
                                ? QSize(pw, ph)
                                : QSize(pw, ph).boundedTo(callbacks.previewSize);
        QImage blank(shown, QImage::Format_RGB32);
        if (blank.isNull())
            return failed(noMemory(pw, ph));
        blank.fill(Qt::white);
        callbacks.preview(-1, blank);
    }
    if (!out.put(QStringLiteral("white.jpg"), white))
        return failed(out.errorString());

    SliceOutcome outcome;
    outcome.ok = true;
    outcome.pieceSize = QSize(pw, ph);
    return outcome;
}

} // namespace puzzle
