// The slicing pass. The calling thread decodes the picture a few dozen rows at a time into a small
// ring of buffers; two workers feed those rows to one JPEG encoder per column of pieces, so that
// encoding overlaps decoding and a band of pieces is never held whole. Finished pieces come back
// to the calling thread, which shows and hands them on strictly in index order. Memory stays at the
// ring, the encoders and the encoded bytes of about one row of pieces, whatever the picture's
// size, for a source that decodes band by band.
//
// A single-scan YCbCr JPEG is taken as it is stored: its planes go to the encoders as raw 4:2:0
// blocks, with neither the decoder's chroma upsampling and colour conversion nor the encoder's
// conversion back, which leaves the decoding thread, the one that cannot be shared, only the
// entropy decoding and the inverse DCT. Where a piece lines up with the stored chroma, its chroma
// is copied; elsewhere it is the 2x2 average the encoder would have taken of the pixels.
#include "puzzle/slicer.h"

#include "platform/interrupt.h"
#include "platform/jpegencode.h"
#include "platform/jpegsource.h"
#include "platform/picturefile.h"
#include "puzzle/planefeed.h"

#include <QIODevice>
#include <QPainter>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace puzzle {
namespace {

constexpr int kWorkers = 2;
constexpr int kSlots = 6;
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
    QImage image;          // RGB32 feed: the rows, opaque, full width
    uchar* planes[3] = {}; // plane feed: Y, Cb, Cr
    int top = 0;           // the first row held
    int rows = 0;
    int pending = 0; // columns that have yet to read it
};

struct Column {
    platform::JpegEncoder encoder;
    int next = 0; // the chunk it reads next
    bool busy = false;
    QImage preview;                  // the piece being made, when previews are wanted
    std::unique_ptr<PlaneFeed> feed; // the plane feed's state for the piece being made
};

struct Finished {
    int k = 0;
    QByteArray file;
    QImage preview;
};

class Pass {
public:
    Pass(platform::Source& source, int n, QSize piece, PieceSink& out,
         const SliceCallbacks& callbacks)
        : m_source(source)
        , m_planes(dynamic_cast<platform::JpegPlanes*>(&source))
        , m_n(n)
        , m_pw(piece.width())
        , m_ph(piece.height())
        , m_width(source.size().width())
        , m_height(source.size().height())
        , m_out(out)
        , m_callbacks(callbacks)
        , m_columns(std::size_t(n)) {
        if (m_planes && !m_planes->canReadPlanes())
            m_planes = nullptr;
        if (m_planes) {
            m_layout = m_planes->planeLayout();
            const qsizetype perRow = m_layout.lumaStride + 2 * m_layout.chromaStride / m_layout.vy;
            const int reads =
                int(std::clamp<qsizetype>(kPlaneSlotBytes / perRow / m_layout.rowsPerRead, 1,
                                          kMaxChunkRows / m_layout.rowsPerRead));
            m_chunkRows = reads * m_layout.rowsPerRead;
            m_slotBytes =
                (m_layout.lumaStride + 2 * m_layout.chromaStride / m_layout.vy) * m_chunkRows;
        } else {
            const qsizetype rowBytes = qsizetype(m_width) * 4;
            m_chunkRows =
                int(std::clamp<qsizetype>(kSlotBytes / rowBytes / 16 * 16, 16, kMaxChunkRows));
            m_slotBytes = rowBytes * m_chunkRows;
        }
        m_chunks = (m_height + m_chunkRows - 1) / m_chunkRows;
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
            if (platform::interrupted())
                return kInterrupted;
            Slot& slot = m_slots[std::size_t(t % kSlots)];
            if (QString error = waitAndStage([&slot] { return slot.pending == 0; });
                !error.isEmpty())
                return error;
            if (QString error = decode(t, slot); !error.isEmpty())
                return error;
            {
                std::lock_guard lock(m_mutex);
                // Rows below the last band are read only so that damage there is found.
                slot.pending = slot.top < m_n * m_ph ? m_n : 0;
                m_published = t + 1;
            }
            m_toWorkers.notify_all();
        }
        const int pieces = m_n * m_n;
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
            slot.memory.reset(new (std::nothrow) uchar[std::size_t(m_slotBytes)]);
            if (!slot.memory)
                return platform::noMemoryForRows(m_chunkRows);
        }
        QString error;
        if (m_planes) {
            uchar* y = slot.memory.get();
            uchar* cb = y + m_layout.lumaStride * m_chunkRows;
            uchar* cr = cb + m_layout.chromaStride * (m_chunkRows / m_layout.vy);
            slot.planes[0] = y;
            slot.planes[1] = cb;
            slot.planes[2] = cr;
            const int chromaRows = m_layout.rowsPerRead / m_layout.vy;
            for (int read = 0, i = 0; read < slot.rows; ++i) {
                int rows = 0;
                if (!m_planes->nextPlanes(y + m_layout.lumaStride * m_layout.rowsPerRead * i,
                                          cb + m_layout.chromaStride * chromaRows * i,
                                          cr + m_layout.chromaStride * chromaRows * i, rows, error))
                    return error;
                read += rows;
            }
            return {};
        }
        const qsizetype stride = qsizetype(m_width) * 4;
        slot.image = QImage(slot.memory.get(), m_width, slot.rows, stride, QImage::Format_RGB32);
        if (!m_source.nextRows(slot.rows, slot.image, error))
            return error;
        if (slot.image.hasAlphaChannel()) {
            // Every piece starts all white and the picture is drawn over it.
            QImage white(slot.memory.get(), m_width, slot.rows, stride, QImage::Format_RGB32);
            white.fill(Qt::white);
            QPainter(&white).drawImage(0, 0, slot.image);
            slot.image = white;
        } else if (slot.image.format() != QImage::Format_RGB32) {
            slot.image = slot.image.convertToFormat(QImage::Format_RGB32);
        }
        if (slot.image.isNull() || slot.image.width() != m_width ||
            slot.image.height() != slot.rows)
            return platform::noMemoryForRows(slot.rows);
        return {};
    }

    // Shows and stages finished pieces in index order until `done` holds or a worker failed.
    template <typename Done>
    QString waitAndStage(Done done) {
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (!m_failure.isEmpty())
                return m_failure;
            if (platform::interrupted())
                return kInterrupted;
            if (auto it = m_finished.find(m_staged); it != m_finished.end()) {
                Finished piece = std::move(it->second);
                m_finished.erase(it);
                ++m_staged;
                lock.unlock();
                if (QString error = stage(piece); !error.isEmpty())
                    return error;
                lock.lock();
                continue;
            }
            if (done())
                return {};
            // Woken by the workers; the timeout lets an interruption through while they work.
            m_toMain.wait_for(lock, std::chrono::milliseconds(50));
        }
    }

    QString stage(const Finished& piece) {
        if (m_callbacks.preview)
            m_callbacks.preview(piece.k, piece.preview);
        const QString name = pieceName(piece.k);
        if (!m_out.put(name, piece.file))
            return m_out.errorString();
        yield();
        if (piece.k % m_n == m_n - 1)
            yield();
        return {};
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
            for (int i = 0; i < m_n; ++i) {
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
            if (column && helper && waiting <= m_n && m_published < m_chunks)
                column = nullptr;
            if (!column) {
                if (allDone)
                    return;
                m_toWorkers.wait(lock);
                continue;
            }
            column->busy = true;
            Slot& slot = m_slots[std::size_t(column->next % kSlots)];
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
                m_finished.emplace(k, std::move(piece));
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
        const int end = std::min(slot.top + slot.rows, m_n * m_ph);
        for (int y = slot.top; y < end;) {
            const int r = y / m_ph, k = r * m_n + c;
            const int pieceTop = y - r * m_ph;
            const int count = std::min(end, (r + 1) * m_ph) - y;
            if (pieceTop == 0) {
                if (!column.encoder.begin(m_pw, m_ph,
                                          m_planes ? platform::JpegEncoder::Input::Planes
                                                   : platform::JpegEncoder::Input::Rgb32))
                    return cannotEncode(k, column.encoder.error());
                if (m_callbacks.preview) {
                    column.preview = QImage(m_pw, m_ph, QImage::Format_RGB32);
                    if (column.preview.isNull())
                        return noMemory(m_pw, m_ph);
                }
            }
            if (QString error = feed(column, c, slot, y, count, pieceTop); !error.isEmpty())
                return cannotEncode(k, error);
            y += count;
            if (pieceTop + count < m_ph)
                continue;
            Finished piece;
            piece.k = k;
            if (!column.encoder.end(piece.file))
                return cannotEncode(k, column.encoder.error());
            piece.preview = std::move(column.preview);
            column.preview = QImage();
            finished.push_back(std::move(piece));
        }
        return {};
    }

    // Rows y to y + count - 1 of column c, which are rows pieceTop... of their piece.
    QString feed(Column& column, int c, const Slot& slot, int y, int count, int pieceTop) {
        const uchar* rows[kMaxChunkRows];
        const qsizetype left = qsizetype(c) * m_pw;
        if (!m_planes) {
            for (int i = 0; i < count; ++i)
                rows[i] = slot.image.constScanLine(y - slot.top + i) + left * 4;
            if (!column.encoder.write(rows, count))
                return column.encoder.error();
            if (m_callbacks.preview)
                for (int i = 0; i < count; ++i)
                    std::memcpy(column.preview.scanLine(pieceTop + i), rows[i],
                                std::size_t(m_pw) * 4);
            return {};
        }
        if (!column.feed)
            column.feed = std::make_unique<PlaneFeed>(m_layout, m_pw, m_ph);
        if (pieceTop == 0)
            column.feed->start(c);
        QImage* preview = m_callbacks.preview ? &column.preview : nullptr;
        for (int i = 0; i < count; ++i)
            if (QString error = column.feed->addRow(slot.planes, slot.top, y + i, pieceTop + i,
                                                    column.encoder, preview);
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

    platform::Source& m_source;
    platform::JpegPlanes* m_planes; // null: RGB32 rows
    platform::PlaneLayout m_layout;
    const int m_n, m_pw, m_ph, m_width, m_height;
    PieceSink& m_out;
    const SliceCallbacks& m_callbacks;
    int m_chunkRows = 16;
    qsizetype m_slotBytes = 0;
    int m_chunks = 0;

    std::vector<Column> m_columns;
    Slot m_slots[kSlots];

    std::mutex m_mutex;
    std::condition_variable m_toWorkers, m_toMain;
    int m_published = 0; // chunks decoded so far
    int m_staged = 0;    // pieces shown and staged so far
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

SliceOutcome slice(platform::Source& source, int n, PieceSink& out,
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
    if (!platform::encodeWhite(pw, ph, white, error))
        return failed(QStringLiteral("Could not encode white.jpg: %1").arg(error));
    if (callbacks.preview) {
        QImage blank(pw, ph, QImage::Format_RGB32);
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
