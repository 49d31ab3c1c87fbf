// SPDX-License-Identifier: MIT
#include "picture/fitsource.h"

#include "picture/jpegsource.h"
#include "picture/messages.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace picture {
namespace {

// How one output sample draws on the input samples [first, first + weights.size()): each
// weight is the length the two share, in units where an input sample is `outLength` long and an
// output sample `inLength`; the weights of a sample add up to inLength.
struct Span {
    int first = 0;
    std::vector<float> weights;
};

std::vector<Span> spans(int inLength, int outLength) {
    std::vector<Span> result(static_cast<std::size_t>(outLength));
    for (int j = 0; j < outLength; ++j) {
        const qint64 begin = qint64(j) * inLength, end = begin + inLength;
        Span& span = result[std::size_t(j)];
        span.first = int(begin / outLength);
        for (qint64 i = span.first; i * outLength < end; ++i) {
            const qint64 from = std::max(begin, i * outLength);
            const qint64 to = std::min(end, (i + 1) * outLength);
            span.weights.push_back(float(to - from));
        }
    }
    return result;
}

// Reads another source's bands on a thread of its own, a few bands ahead of the one who takes
// them: decoding, the bulk of the work, then runs beside the averaging instead of before it. The
// source is only ever touched from that thread once reading has begun.
class ReadAhead {
public:
    ReadAhead(Source& source, int bandRows)
        : m_source(source)
        , m_bandRows(bandRows) {}
    ~ReadAhead() {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The next band, in order; false with `error` set once the source has failed.
    bool take(QImage& band, QString& error) {
        std::unique_lock lock(m_mutex);
        if (!m_thread.joinable())
            m_thread = std::thread([this] { read(); });
        m_changed.wait(lock, [this] { return !m_ready.empty() || !m_error.isEmpty(); });
        if (m_ready.empty()) {
            error = m_error;
            return false;
        }
        band = std::move(m_ready.front());
        m_ready.pop_front();
        m_changed.notify_all();
        return true;
    }

private:
    // The thread's whole life. Nothing it meets may end the process: a failure, memory running
    // out included, reaches the reader through m_error, with a message that needs no memory.
    void read() noexcept {
        try {
            readBands();
        } catch (...) {
            std::lock_guard lock(m_mutex);
            m_error = QStringLiteral("Not enough memory for the picture's rows.");
            m_changed.notify_all();
        }
    }

    void readBands() {
        // Rows come as stored: a turned picture's are as many as it is shown wide.
        const int height = storedSize(m_source.orientation(), m_source.size()).height();
        for (int top = 0; top < height; top += m_bandRows) {
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [this] { return m_stop || int(m_ready.size()) < kAhead; });
            if (m_stop)
                return;
            lock.unlock();
            QImage band;
            QString error;
            const bool read = m_source.nextRows(std::min(m_bandRows, height - top), band, error);
            lock.lock();
            if (!read) {
                m_error =
                    error.isEmpty() ? QStringLiteral("The picture could not be read.") : error;
                m_changed.notify_all();
                return;
            }
            m_ready.push_back(std::move(band));
            m_changed.notify_all();
        }
    }

    static constexpr int kAhead = 4;

    Source& m_source;
    const int m_bandRows;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<QImage> m_ready;
    QString m_error;
    bool m_stop = false;
};

// Each output pixel is the mean of the input area it covers (a box filter over exact fractional
// areas): every input pixel counts once, so a fine pattern averages out instead of aliasing.
class AreaScaledSource final : public Source {
public:
    AreaScaledSource(std::unique_ptr<Source> in, QSize size)
        : m_in(std::move(in))
        , m_orientation(m_in->orientation())
        , m_inSize(stored(m_in->size()))
        , m_shown(size)
        , m_size(stored(size))
        , m_columns(spans(m_inSize.width(), m_size.width()))
        , m_rows(spans(m_inSize.height(), m_size.height()))
        , m_line(std::size_t(m_size.width()) * 3)
        , m_sum(std::size_t(m_size.width()) * 3) {}

    // A turned picture is scaled as it is stored and turned when it is cut, as it would have been.
    QSize size() const override { return m_shown; }
    Orientation orientation() const override { return m_orientation; }

    bool nextRows(int rows, QImage& band, QString& error) override {
        if (rows < 0 || m_next + rows > m_size.height()) {
            error = fewerRows();
            return false;
        }
        if (rows == 0) {
            band = QImage();
            return true;
        }
        if (!shapeBand(band, m_size.width(), rows, QImage::Format_RGB32, error))
            return false;
        const float scale = 1.0f / (float(m_inSize.width()) * float(m_inSize.height()));
        for (int r = 0; r < rows; ++r, ++m_next) {
            const Span& span = m_rows[std::size_t(m_next)];
            std::fill(m_sum.begin(), m_sum.end(), 0.0f);
            for (std::size_t i = 0; i < span.weights.size(); ++i) {
                if (!reduceRow(span.first + int(i), error))
                    return false;
                const float w = span.weights[i];
                for (std::size_t x = 0; x < m_sum.size(); ++x)
                    m_sum[x] += w * m_line[x];
            }
            auto* out = reinterpret_cast<QRgb*>(band.scanLine(r));
            for (int x = 0; x < m_size.width(); ++x) {
                const float* s = &m_sum[std::size_t(x) * 3];
                out[x] = qRgb(level(s[0] * scale), level(s[1] * scale), level(s[2] * scale));
            }
        }
        return true;
    }

private:
    // Sums of levels are never negative: adding a half and truncating rounds them, at a fifth of
    // the cost of a library call.
    static int level(float v) {
        return std::min(int(v + 0.5f), 255); // NOLINT(bugprone-incorrect-roundings): v >= 0
    }

    // Input row y, summed across into m_line (each sample weighed by the width it covers).
    bool reduceRow(int y, QString& error) {
        if (y == m_lineRow)
            return true;
        if (y < m_bandTop || y >= m_bandTop + m_band.height()) {
            const int rows = std::min(kBandRows, m_inSize.height() - m_read);
            if (y != m_read || rows <= 0 || !m_ahead.take(m_band, error)) {
                if (error.isEmpty())
                    error = fewerRows();
                return false;
            }
            m_bandTop = m_read;
            m_read += rows;
        }
        const auto* in = reinterpret_cast<const QRgb*>(m_band.constScanLine(y - m_bandTop));
        const bool alpha = m_band.hasAlphaChannel();
        for (int x = 0; x < m_size.width(); ++x) {
            const Span& span = m_columns[std::size_t(x)];
            float r = 0, g = 0, b = 0;
            for (std::size_t i = 0; i < span.weights.size(); ++i) {
                QRgb p = in[span.first + int(i)];
                if (alpha) {
                    // On white, as the pieces are.
                    const int a = qAlpha(p), white = 255 * (255 - a);
                    p = qRgb((qRed(p) * a + white) / 255, (qGreen(p) * a + white) / 255,
                             (qBlue(p) * a + white) / 255);
                }
                const float w = span.weights[i];
                r += w * float(qRed(p));
                g += w * float(qGreen(p));
                b += w * float(qBlue(p));
            }
            float* line = &m_line[std::size_t(x) * 3];
            line[0] = r;
            line[1] = g;
            line[2] = b;
        }
        m_lineRow = y;
        return true;
    }

    static constexpr int kBandRows = 16;

    std::unique_ptr<Source> m_in;
    QSize stored(QSize shown) const { return storedSize(m_orientation, shown); }

    const Orientation m_orientation;
    QSize m_inSize, m_shown, m_size; // m_inSize and m_size as stored
    std::vector<Span> m_columns, m_rows;
    std::vector<float> m_line, m_sum;
    QImage m_band;
    int m_bandTop = 0, m_read = 0, m_lineRow = -1, m_next = 0;
    ReadAhead m_ahead{*m_in, kBandRows}; // last: stops reading before the rest goes
};

} // namespace

QSize fittedSize(QSize size, QSize box) {
    if (size.isEmpty() || box.isEmpty() ||
        (size.width() <= box.width() && size.height() <= box.height()))
        return size;
    const qint64 w = size.width(), h = size.height(), bw = box.width(), bh = box.height();
    if (w * bh >= h * bw) // the width decides
        return {int(bw), int(std::clamp<qint64>((h * bw * 2 + w) / (w * 2), 1, bh))};
    return {int(std::clamp<qint64>((w * bh * 2 + h) / (h * 2), 1, bw)), int(bh)};
}

std::unique_ptr<Source> scaledDown(std::unique_ptr<Source> source, QSize size) {
    return std::make_unique<AreaScaledSource>(std::move(source), size);
}

std::unique_ptr<Source> fitWithin(std::unique_ptr<Source> source, QSize box) {
    const QSize size = source->size();
    const QSize target = fittedSize(size, box);
    if (target == size)
        return source;
    // The largest reduction the decoder can make without going below the target; libjpeg rounds
    // the scaled size up.
    for (const int denom : {8, 4, 2}) {
        const auto scaled = [&](int length) { return (length + denom - 1) / denom; };
        if (scaled(size.width()) >= target.width() && scaled(size.height()) >= target.height() &&
            decodeJpegScaled(*source, denom))
            break;
    }
    if (source->size() == target)
        return source;
    return scaledDown(std::move(source), target);
}

} // namespace picture
