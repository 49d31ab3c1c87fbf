// The slicing pass. The calling thread decodes the picture a few dozen rows at a time into a small
// ring of buffers; two workers feed those rows to one JPEG encoder per column of pieces, so that
// encoding overlaps decoding and a band of pieces is never held whole. Finished pieces come back
// to the calling thread, which shows and stages them strictly in index order. Memory stays at the
// ring, the encoders and the encoded bytes of about one row of pieces, whatever the picture's
// size, for a source that decodes band by band.
#include "project.h"

#include "jpegencode.h"
#include "stagedfolder.h"

#include <QIODevice>
#include <QPainter>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace puzzle {
namespace {

constexpr int kWorkers = 2;
constexpr int kSlots = 6;
constexpr qsizetype kSlotBytes = 2 * 1024 * 1024;
constexpr int kMaxChunkRows = 256;

QString pieceName(int k) {
    return QStringLiteral("Image%1.jpg").arg(k);
}

QString noMemory(int pw, int ph) {
    return QStringLiteral("Not enough memory for a piece of %1x%2.").arg(pw).arg(ph);
}

// A run of rows inside one band of pieces; band n stands for the trimmed rows below the last.
struct Chunk {
    int band;
    int top; // first row, counted from the top of the band
    int rows;
};

struct Slot {
    std::unique_ptr<uchar[]> memory;
    QImage rows;     // the chunk's rows, opaque RGB32, full width
    int pending = 0; // columns that have yet to read it
};

struct Column {
    JpegEncoder encoder;
    int next = 0; // the chunk it reads next
    bool busy = false;
    QImage preview; // the piece being made, when previews are wanted
};

struct Finished {
    QByteArray file;
    QImage preview;
};

class Pass {
public:
    Pass(Source& source, int n, QSize piece, platform::StagedFolder& out,
         const SliceCallbacks& callbacks)
        : m_source(source)
        , m_n(n)
        , m_pw(piece.width())
        , m_ph(piece.height())
        , m_width(source.size().width())
        , m_out(out)
        , m_callbacks(callbacks)
        , m_columns(std::size_t(n)) {
        const qsizetype rowBytes = qsizetype(m_width) * 4;
        m_chunkRows =
            int(std::clamp<qsizetype>(kSlotBytes / rowBytes / 16 * 16, 16, kMaxChunkRows));
        for (int r = 0; r < n; ++r)
            for (int top = 0; top < m_ph; top += m_chunkRows)
                m_chunks.push_back({r, top, std::min(m_chunkRows, m_ph - top)});
        m_bandChunks = int(m_chunks.size());
        // The trimmed rows are read too: a picture damaged there is still a damaged picture.
        const int trimmed = source.size().height() - n * m_ph;
        for (int top = 0; top < trimmed; top += m_chunkRows)
            m_chunks.push_back({n, top, std::min(m_chunkRows, trimmed - top)});
    }

    ~Pass() { stopWorkers(); }
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;

    QString run() {
        for (int i = 0; i < kWorkers; ++i)
            m_workers.emplace_back([this] { work(); });

        for (int t = 0; t < int(m_chunks.size()); ++t) {
            Slot& slot = m_slots[std::size_t(t % kSlots)];
            if (QString error = waitAndEmit([&slot] { return slot.pending == 0; });
                !error.isEmpty())
                return error;
            if (QString error = decode(m_chunks[std::size_t(t)], slot); !error.isEmpty())
                return error;
            {
                std::lock_guard lock(m_mutex);
                slot.pending = m_chunks[std::size_t(t)].band < m_n ? m_n : 0;
                m_published = t + 1;
            }
            m_toWorkers.notify_all();
        }
        const int pieces = m_n * m_n;
        if (QString error = waitAndEmit([this, pieces] { return m_emitted == pieces; });
            !error.isEmpty())
            return error;
        stopWorkers();
        return {};
    }

private:
    // Reads the chunk's rows into the slot, over its own memory when the source allows.
    QString decode(const Chunk& chunk, Slot& slot) {
        const qsizetype stride = qsizetype(m_width) * 4;
        if (!slot.memory) {
            slot.memory.reset(new (std::nothrow) uchar[std::size_t(stride) * m_chunkRows]);
            if (!slot.memory)
                return QStringLiteral("Not enough memory for %1 rows of the picture.")
                    .arg(m_chunkRows);
        }
        slot.rows = QImage(slot.memory.get(), m_width, chunk.rows, stride, QImage::Format_RGB32);
        QString error;
        if (!m_source.nextRows(chunk.rows, slot.rows, error))
            return error;
        if (slot.rows.hasAlphaChannel()) {
            // Every piece starts all white and the picture is drawn over it.
            QImage white(slot.memory.get(), m_width, chunk.rows, stride, QImage::Format_RGB32);
            white.fill(Qt::white);
            QPainter(&white).drawImage(0, 0, slot.rows);
            slot.rows = white;
        } else if (slot.rows.format() != QImage::Format_RGB32) {
            slot.rows = slot.rows.convertToFormat(QImage::Format_RGB32);
        }
        if (slot.rows.isNull() || slot.rows.width() != m_width || slot.rows.height() != chunk.rows)
            return QStringLiteral("Not enough memory for %1 rows of the picture.").arg(chunk.rows);
        return {};
    }

    // Shows and stages finished pieces in index order until `done` holds or a worker failed.
    template <typename Done>
    QString waitAndEmit(Done done) {
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (!m_failure.isEmpty())
                return m_failure;
            if (auto it = m_finished.find(m_emitted); it != m_finished.end()) {
                Finished piece = std::move(it->second);
                m_finished.erase(it);
                const int k = m_emitted++;
                lock.unlock();
                if (QString error = stage(k, piece); !error.isEmpty())
                    return error;
                lock.lock();
                continue;
            }
            if (done())
                return {};
            m_toMain.wait(lock);
        }
    }

    QString stage(int k, const Finished& piece) {
        if (m_callbacks.preview)
            m_callbacks.preview(k, piece.preview);
        const QString name = pieceName(k);
        QIODevice* device = m_out.open(name);
        if (!device)
            return m_out.errorString();
        if (device->write(piece.file) != piece.file.size())
            return QStringLiteral("Could not write %1: %2").arg(name, device->errorString());
        yield();
        if (k % m_n == m_n - 1)
            yield();
        return {};
    }

    void yield() {
        if (m_callbacks.yield)
            m_callbacks.yield();
    }

    void work() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (m_stop)
                return;
            // The column furthest behind goes first, so that ring slots free up in order.
            Column* column = nullptr;
            int c = -1;
            bool allDone = true;
            for (int i = 0; i < m_n; ++i) {
                Column& candidate = m_columns[std::size_t(i)];
                if (candidate.next < m_bandChunks)
                    allDone = false;
                if (!candidate.busy && candidate.next < m_published &&
                    candidate.next < m_bandChunks && (!column || candidate.next < column->next)) {
                    column = &candidate;
                    c = i;
                }
            }
            if (!column) {
                if (allDone)
                    return;
                m_toWorkers.wait(lock);
                continue;
            }
            column->busy = true;
            const int t = column->next;
            Slot& slot = m_slots[std::size_t(t % kSlots)];
            lock.unlock();

            Finished piece;
            bool finished = false;
            QString error;
            try {
                error = encode(*column, c, m_chunks[std::size_t(t)], slot, piece, finished);
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
            if (finished) {
                m_finished.emplace(m_chunks[std::size_t(t)].band * m_n + c, std::move(piece));
                wake = true;
            }
            if (wake)
                m_toMain.notify_one();
        }
    }

    // Feeds the chunk's part of column `c` to the column's encoder. Runs on a worker, without the
    // lock: the column and the slot are this worker's until it reports back.
    QString encode(Column& column, int c, const Chunk& chunk, const Slot& slot, Finished& piece,
                   bool& finished) {
        if (chunk.top == 0) {
            if (!column.encoder.begin(m_pw, m_ph))
                return QStringLiteral("Could not encode %1: %2")
                    .arg(pieceName(chunk.band * m_n + c), column.encoder.error());
            if (m_callbacks.preview) {
                column.preview = QImage(m_pw, m_ph, QImage::Format_RGB32);
                if (column.preview.isNull())
                    return noMemory(m_pw, m_ph);
            }
        }
        const uchar* rows[kMaxChunkRows];
        const qsizetype left = qsizetype(c) * m_pw * 4;
        for (int i = 0; i < chunk.rows; ++i)
            rows[i] = slot.rows.constScanLine(i) + left;
        if (!column.encoder.write(rows, chunk.rows))
            return QStringLiteral("Could not encode %1: %2")
                .arg(pieceName(chunk.band * m_n + c), column.encoder.error());
        if (m_callbacks.preview)
            for (int i = 0; i < chunk.rows; ++i)
                std::memcpy(column.preview.scanLine(chunk.top + i), rows[i], std::size_t(m_pw) * 4);
        if (chunk.top + chunk.rows < m_ph)
            return {};
        if (!column.encoder.end(piece.file))
            return QStringLiteral("Could not encode %1: %2")
                .arg(pieceName(chunk.band * m_n + c), column.encoder.error());
        piece.preview = std::move(column.preview);
        column.preview = QImage();
        finished = true;
        return {};
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

    Source& m_source;
    const int m_n, m_pw, m_ph, m_width;
    platform::StagedFolder& m_out;
    const SliceCallbacks& m_callbacks;
    int m_chunkRows = 16;
    std::vector<Chunk> m_chunks;
    int m_bandChunks = 0;

    std::vector<Column> m_columns;
    Slot m_slots[kSlots];

    std::mutex m_mutex;
    std::condition_variable m_toWorkers, m_toMain;
    int m_published = 0; // chunks decoded so far
    int m_emitted = 0;   // pieces shown and staged so far
    bool m_stop = false;
    QString m_failure;
    std::map<int, Finished> m_finished;
    std::vector<std::thread> m_workers;
};

SliceOutcome failed(QString error) {
    SliceOutcome outcome;
    outcome.error = std::move(error);
    return outcome;
}

} // namespace

SliceOutcome slice(Source& source, int n, platform::StagedFolder& out,
                   const SliceCallbacks& callbacks) {
    const QSize size = source.size();
    const int pw = n > 0 ? size.width() / n : 0;
    const int ph = n > 0 ? size.height() / n : 0;
    if (pw < 1 || ph < 1)
        return failed(QStringLiteral("The picture is %1x%2 pixels, too small for a %3x%3 puzzle.")
                          .arg(size.width())
                          .arg(size.height())
                          .arg(n));

    {
        Pass pass(source, n, QSize(pw, ph), out, callbacks);
        if (QString error = pass.run(); !error.isEmpty())
            return failed(error);
    }

    QByteArray white;
    QString error;
    if (!encodeWhite(pw, ph, white, error))
        return failed(QStringLiteral("Could not encode white.jpg: %1").arg(error));
    if (callbacks.preview) {
        QImage blank(pw, ph, QImage::Format_RGB32);
        if (blank.isNull())
            return failed(noMemory(pw, ph));
        blank.fill(Qt::white);
        callbacks.preview(-1, blank);
    }
    if (!out.write(QStringLiteral("white.jpg"), white))
        return failed(out.errorString());

    SliceOutcome outcome;
    outcome.ok = true;
    outcome.pieceSize = QSize(pw, ph);
    return outcome;
}

} // namespace puzzle
