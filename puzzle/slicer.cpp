// SPDX-License-Identifier: MIT
// The slicing pass. The calling thread decodes the picture a few dozen rows at a time into a small
// ring of buffers; two workers feed those rows to one JPEG encoder per column of pieces, so that
// encoding overlaps decoding and a band of pieces is never held whole. Finished pieces come back
// to the calling thread, which hands them on in the order they are cut and shows them in index
// order. Memory stays at the ring, the encoders and the encoded bytes of about one row of pieces,
// whatever the picture's size, for a source that decodes band by band; a turned picture adds one
// row of its cells. How a worker makes pieces out of a slot is its road's (slicework.h).
#include "puzzle/slicer.h"

#include "folder/interrupt.h"
#include "picture/messages.h"
#include "puzzle/slicework.h"

#include <QPainter>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
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
namespace slicing {

QString noMemoryFor(QSize piece) {
    return QStringLiteral("Not enough memory for a piece of %1x%2.")
        .arg(piece.width())
        .arg(piece.height());
}

} // namespace slicing

namespace {

using namespace slicing;

constexpr int kWorkers = 2;
constexpr int kSlots = 6;
// A turned JPEG's columns encode their pieces all at once, when their cells are whole: more slots
// let the decoding thread read on meanwhile.
constexpr int kTurnedSlots = 10;
constexpr qsizetype kSlotBytes = 2 * 1024 * 1024; // RGB32 rows
constexpr qsizetype kPlaneSlotBytes = 1024 * 1024;

const QString kInterrupted = QStringLiteral("Interrupted before anything was written.");

// What the roads need to know, and which road fits the picture.
Setup setUp(picture::Source& source, Grid grid, QSize piece, const SliceCallbacks& callbacks) {
    Setup s;
    s.grid = grid;
    s.pw = piece.width();
    s.ph = piece.height();
    s.orientation = source.orientation();
    s.stored = storedSize(s.orientation, source.size());
    s.cells = picture::swapsSides(s.orientation) ? Grid{grid.rows, grid.columns} : grid;
    if (!isUpright(s.orientation))
        s.plan = CellPlan(grid, piece, s.orientation, s.stored);
    s.previews = bool(callbacks.preview);
    s.preview = callbacks.previewSize.isEmpty() ? piece : piece.boundedTo(callbacks.previewSize);
    s.noMemory = noMemoryFor(piece);
    s.planes = dynamic_cast<picture::JpegPlanes*>(&source);
    if (s.planes && !s.planes->canReadPlanes())
        s.planes = nullptr;
    if (s.planes) {
        s.layout = s.planes->planeLayout();
        s.deferred = s.planes->deferInverseDct();
        // A turned picture's blocks are turned as they are transformed. A single-scan picture
        // whose blocks cannot be had is read in RGB rows instead; a multi-scan one, decoded for
        // planes when it was opened, then fails to give its rows, with the cause.
        if (!isUpright(s.orientation) && !s.deferred)
            s.planes = nullptr;
    }
    return s;
}

std::unique_ptr<Road> roadFor(const Setup& s) {
    if (isUpright(s.orientation))
        return uprightRoad(s);
    return s.planes ? turnedBlocksRoad(s) : turnedRowsRoad(s);
}

class Pass {
public:
    Pass(picture::Source& source, Grid grid, QSize piece, PieceSink& out,
         const SliceCallbacks& callbacks)
        : m_source(source)
        , m_setup(setUp(source, grid, piece, callbacks))
        , m_road(roadFor(m_setup))
        , m_out(out)
        , m_callbacks(callbacks)
        , m_columns(std::size_t(m_setup.cells.columns)) {
        planSlots();
        // Upright, pieces are cut in index order; turned, by rows of stored cells.
        if (!isUpright(m_setup.orientation)) {
            m_ring = kTurnedSlots;
            m_cutOrder = m_setup.plan.pieces();
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
                slot.pending = m_setup.cells.columns;
                m_published = t + 1;
            }
            m_toWorkers.notify_all();
        }
        const int pieces = m_setup.grid.pieces();
        if (QString error = waitAndStage([this, pieces] { return m_staged == pieces; });
            !error.isEmpty())
            return error;
        stopWorkers();
        return {};
    }

private:
    // How many rows a slot holds, and its bytes.
    void planSlots() {
        const Setup& s = m_setup;
        if (s.planes) {
            // Coefficients take two bytes a sample.
            const qsizetype perRow =
                (s.layout.lumaStride + 2 * s.layout.chromaStride / s.layout.vy) *
                (s.deferred ? 2 : 1);
            // Slots hold whole reads and whole rows of MCUs as the pieces' encoder takes them:
            // grey is read eight rows at a time but fed as 4:2:0.
            const int step = std::lcm(s.layout.rowsPerRead, 8 * s.layout.vy);
            const int steps = int(
                std::clamp<qsizetype>(kPlaneSlotBytes / perRow / step, 1, kMaxChunkRows / step));
            m_chunkRows = steps * step;
            m_slotBytes = perRow * m_chunkRows;
        } else {
            // Turned, the rows go into windows at once: the slots are there for the decoding
            // thread to read on, and more, smaller ones serve it as well.
            const qsizetype slotBytes = isUpright(s.orientation) ? kSlotBytes : kSlotBytes / 4;
            const qsizetype rowBytes = qsizetype(s.stored.width()) * 4;
            m_chunkRows =
                int(std::clamp<qsizetype>(slotBytes / rowBytes / 16 * 16, 16, kMaxChunkRows));
            m_slotBytes = rowBytes * m_chunkRows;
        }
        m_chunks = (s.stored.height() + m_chunkRows - 1) / m_chunkRows;
    }

    QString decode(int t, Slot& slot) {
        slot.top = t * m_chunkRows;
        slot.rows = std::min(m_chunkRows, m_setup.stored.height() - slot.top);
        if (!slot.memory) {
            constexpr std::size_t kAlign = 64;
            slot.memory.reset(new (std::nothrow) uchar[std::size_t(m_slotBytes) + kAlign]);
            if (!slot.memory)
                return picture::noMemoryForRows(m_chunkRows);
            const auto at = reinterpret_cast<std::uintptr_t>(slot.memory.get());
            slot.base = slot.memory.get() + (kAlign - at % kAlign) % kAlign;
        }
        return m_setup.planes ? decodePlanes(slot) : decodeRows(slot);
    }

    QString decodePlanes(Slot& slot) {
        const picture::PlaneLayout& layout = m_setup.layout;
        // Deferred, the planes hold coefficients: twice the bytes a row.
        const qsizetype lumaStride = layout.lumaStride * (m_setup.deferred ? 2 : 1);
        const qsizetype chromaStride = layout.chromaStride * (m_setup.deferred ? 2 : 1);
        uchar* y = slot.base;
        uchar* cb = y + lumaStride * m_chunkRows;
        uchar* cr = cb + chromaStride * (m_chunkRows / layout.vy);
        slot.planes[0] = y;
        slot.planes[1] = cb;
        slot.planes[2] = cr;
        const int chromaRows = layout.rowsPerRead / layout.vy;
        QString error;
        for (int read = 0, i = 0; read < slot.rows; ++i) {
            int rows = 0;
            if (!m_setup.planes->nextPlanes(y + lumaStride * layout.rowsPerRead * i,
                                            cb + chromaStride * chromaRows * i,
                                            cr + chromaStride * chromaRows * i, rows, error))
                return error;
            read += rows;
        }
        return {};
    }

    QString decodeRows(Slot& slot) {
        const int width = m_setup.stored.width();
        const qsizetype stride = qsizetype(width) * 4;
        slot.image = QImage(slot.base, width, slot.rows, stride, QImage::Format_RGB32);
        QString error;
        if (!m_source.nextRows(slot.rows, slot.image, error))
            return error;
        if (slot.image.hasAlphaChannel()) {
            // Every piece starts all white and the picture is drawn over it.
            QImage white(slot.base, width, slot.rows, stride, QImage::Format_RGB32);
            white.fill(Qt::white);
            QPainter(&white).drawImage(0, 0, slot.image);
            slot.image = white;
        } else if (slot.image.format() != QImage::Format_RGB32) {
            slot.image = slot.image.convertToFormat(QImage::Format_RGB32);
        }
        if (slot.image.isNull() || slot.image.width() != width || slot.image.height() != slot.rows)
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
        const int columns = m_setup.grid.columns;
        if (k % columns == columns - 1)
            yield();
    }

    void yield() {
        if (m_callbacks.yield)
            m_callbacks.yield();
    }

    // A worker's whole life. Nothing it meets may end the process: a failure, memory running out
    // included, ends the pass through m_failure, with a message made before the work began.
    void work(bool helper) noexcept {
        try {
            workOn(helper);
        } catch (...) {
            std::lock_guard lock(m_mutex);
            failLocked(m_setup.noMemory);
        }
    }

    void workOn(bool helper) {
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (m_stop)
                return;
            int c = -1;
            bool allDone = true;
            Column* column = nextColumn(helper, c, allDone);
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
            QString error = m_road->encode(*column, c, slot, finished);

            lock.lock();
            column->busy = false;
            ++column->next;
            if (!error.isEmpty()) {
                failLocked(error);
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

    // The column furthest behind goes first, so that ring slots free up in order. A helper takes
    // work only when the first worker falls more than a chunk behind, and for the last rows: on
    // two cores, a second encoder running beside the first would take its time from the decoder,
    // which nothing can share. Null when no column can go on; `allDone` when none ever will.
    Column* nextColumn(bool helper, int& c, bool& allDone) {
        Column* column = nullptr;
        int waiting = 0;
        const int columns = m_setup.cells.columns;
        for (int i = 0; i < columns; ++i) {
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
        // Upright, the helper comes in when the first worker falls behind by more than a chunk.
        // A turned picture's pieces are encoded all at once when their cells are whole, so it
        // comes in at half a chunk, and when the decoding thread waits for a slot.
        const bool needed =
            m_published == m_chunks ||
            (isUpright(m_setup.orientation) ? waiting > columns
                                            : waiting > columns / 2 || m_decodingWaits);
        return column && helper && !needed ? nullptr : column;
    }

    // With the lock held: the pass fails with `error` (the first failure's stands).
    void failLocked(const QString& error) noexcept {
        if (m_failure.isEmpty())
            m_failure = error;
        m_stop = true;
        m_toMain.notify_all();
        m_toWorkers.notify_all();
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

    picture::Source& m_source;
    const Setup m_setup;
    const std::unique_ptr<Road> m_road;
    PieceSink& m_out;
    const SliceCallbacks& m_callbacks;
    int m_ring = kSlots;
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
            return failed(slicing::noMemoryFor(QSize(pw, ph)));
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
