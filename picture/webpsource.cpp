// SPDX-License-Identifier: MIT
#include "picture/webpsource.h"

#include "picture/memoryneed.h"
#include "picture/messages.h"
#include "picture/picturefile.h"

#include <QRect>
#include <QtEndian>

#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace picture {
namespace {

// How much of the frame's data each step of the incremental decoder is given: small enough that
// the first rows come early, large enough that the steps cost nothing.
constexpr std::size_t kStep = 64 * 1024;

struct DemuxerDelete {
    void operator()(WebPDemuxer* demuxer) const { WebPDemuxDelete(demuxer); }
};
struct DecoderDelete {
    void operator()(WebPIDecoder* decoder) const { WebPIDelete(decoder); }
};

QString statusText(VP8StatusCode status) {
    switch (status) {
    case VP8_STATUS_OUT_OF_MEMORY:
        return notEnoughMemory();
    case VP8_STATUS_NOT_ENOUGH_DATA:
    case VP8_STATUS_SUSPENDED:
        return endsEarly();
    case VP8_STATUS_UNSUPPORTED_FEATURE:
        return QStringLiteral("it uses a WebP feature that cannot be read");
    default:
        return damagedData(QStringLiteral("libwebp status %1").arg(int(status)));
    }
}

// Where the first frame lies on the canvas, and its data within the file.
struct Frame {
    QSize canvas;
    QRect rect;
    bool alpha = false;
    qsizetype offset = 0, size = 0;
};

class WebpSource final : public BandSource {
public:
    WebpSource(const QString& path, QByteArray data, const Frame& frame)
        : BandSource(path, frame.canvas, frame.alpha, Orientation::Upright)
        , m_data(std::move(data))
        , m_frame(frame)
        , m_pixel(frame.alpha ? 4 : 3)
        , m_stride(qsizetype(frame.rect.width()) * m_pixel) {}

    // Sets up the decoder; empty when it is ready, else why not.
    QString start() {
        const std::size_t bytes = std::size_t(m_stride) * std::size_t(m_frame.rect.height());
        if (QString why = memoryShortfall(qint64(bytes)); !why.isEmpty())
            return why;
        m_pixels.reset(new (std::nothrow) uchar[bytes]);
        if (!m_pixels || !WebPInitDecoderConfig(&m_config))
            return notEnoughMemory();
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
        m_config.output.colorspace = m_frame.alpha ? MODE_BGRA : MODE_BGR;
#else
        m_config.output.colorspace = m_frame.alpha ? MODE_ARGB : MODE_BGR;
#endif
        m_config.output.is_external_memory = 1;
        m_config.output.u.RGBA.rgba = m_pixels.get();
        m_config.output.u.RGBA.stride = int(m_stride);
        m_config.output.u.RGBA.size = bytes;
        m_config.options.use_threads = 1;
        m_decoder.reset(WebPIDecode(nullptr, 0, &m_config));
        return m_decoder ? QString() : notEnoughMemory();
    }

protected:
    bool readRows(uchar* out, qsizetype stride, int rows, QString& why) override {
        const QRect& f = m_frame.rect;
        if (!decodeUntil(std::min(m_row + rows, f.bottom() + 1) - f.top(), why))
            return false;
        for (int i = 0; i < rows; ++i, ++m_row) {
            uchar* line = out + stride * i;
            if (m_row < f.top() || m_row > f.bottom()) {
                std::memset(line, 0, std::size_t(m_frame.canvas.width()) * 4);
                continue;
            }
            if (f.width() < m_frame.canvas.width())
                std::memset(line, 0, std::size_t(m_frame.canvas.width()) * 4);
            const uchar* from = m_pixels.get() + m_stride * (m_row - f.top());
            uchar* to = line + qsizetype(f.left()) * 4;
            if (m_pixel == 4) {
                std::memcpy(to, from, std::size_t(m_stride));
                continue;
            }
            auto* pixel = reinterpret_cast<QRgb*>(to);
            for (int x = 0; x < f.width(); ++x, from += 3)
                pixel[x] = qRgb(from[2], from[1], from[0]);
        }
        return true;
    }

    bool finish(QString& why) override {
        return decodeUntil(m_frame.rect.height(), why);
    }

private:
    // Feeds the decoder until the frame's first `rows` rows are decoded.
    bool decodeUntil(int rows, QString& why) {
        const auto* frameData =
            reinterpret_cast<const uint8_t*>(m_data.constData()) + m_frame.offset;
        while (m_decoded < rows) {
            if (m_status != VP8_STATUS_SUSPENDED || m_fed == std::size_t(m_frame.size)) {
                why = m_status == VP8_STATUS_OK ? damagedData(QStringLiteral("rows are missing"))
                                                : statusText(m_status);
                return false;
            }
            m_fed = std::min(std::size_t(m_frame.size), m_fed + kStep);
            m_status = WebPIUpdate(m_decoder.get(), frameData, m_fed);
            int last = 0;
            if (m_status == VP8_STATUS_OK || m_status == VP8_STATUS_SUSPENDED)
                if (WebPIDecGetRGB(m_decoder.get(), &last, nullptr, nullptr, nullptr))
                    m_decoded = std::max(m_decoded, last);
        }
        return true;
    }

    QByteArray m_data; // the whole file, for the decoder to read from
    Frame m_frame;
    int m_pixel;        // bytes a decoded pixel
    qsizetype m_stride; // bytes a decoded row
    std::unique_ptr<uchar[]> m_pixels;
    WebPDecoderConfig m_config{}; // the decoder keeps pointers into it
    std::unique_ptr<WebPIDecoder, DecoderDelete> m_decoder;
    VP8StatusCode m_status = VP8_STATUS_SUSPENDED;
    std::size_t m_fed = 0; // bytes of the frame's data handed to the decoder
    int m_decoded = 0;     // rows of the frame decoded
    int m_row = 0;         // the next canvas row to hand out
};

// The first frame of a file read whole; `why` set when there is none to decode.
Frame firstFrame(const QByteArray& data, QString& why) {
    Frame frame;
    WebPData webp{reinterpret_cast<const uint8_t*>(data.constData()), std::size_t(data.size())};
    WebPDemuxState state = WEBP_DEMUX_PARSING_HEADER;
    const std::unique_ptr<WebPDemuxer, DemuxerDelete> demuxer(WebPDemuxPartial(&webp, &state));
    // Later frames may be cut off: only the first one has to be whole.
    if (!demuxer || state == WEBP_DEMUX_PARSE_ERROR) {
        why = state == WEBP_DEMUX_PARSE_ERROR ? damagedData(QStringLiteral("its chunks do not fit"))
                                              : endsEarly();
        return frame;
    }
    frame.canvas = QSize(int(WebPDemuxGetI(demuxer.get(), WEBP_FF_CANVAS_WIDTH)),
                         int(WebPDemuxGetI(demuxer.get(), WEBP_FF_CANVAS_HEIGHT)));
    if (qint64(frame.canvas.width()) * frame.canvas.height() > kMaxPixels) {
        why = tooManyPixels(frame.canvas.width(), frame.canvas.height());
        return frame;
    }
    WebPIterator it{};
    if (!WebPDemuxGetFrame(demuxer.get(), 1, &it)) {
        why = QStringLiteral("the file holds no picture");
        return frame;
    }
    frame.rect = QRect(it.x_offset, it.y_offset, it.width, it.height);
    frame.alpha = it.has_alpha || frame.rect.size() != frame.canvas;
    frame.offset = reinterpret_cast<const char*>(it.fragment.bytes) - data.constData();
    frame.size = qsizetype(it.fragment.size);
    const bool complete = it.complete != 0;
    WebPDemuxReleaseIterator(&it);
    if (!complete)
        why = endsEarly();
    else if (frame.rect.isEmpty() || !QRect(QPoint(0, 0), frame.canvas).contains(frame.rect))
        why = noPixels();
    return frame;
}

} // namespace

FormatOpening openWebp(const std::shared_ptr<const PictureFile>& file) {
    FormatOpening opening;
    const QByteArray header = file->read(0, 12);
    if (header.size() < 12 || !header.startsWith("RIFF") || header.mid(8, 4) != "WEBP")
        return opening;
    opening.recognised = true;
    // The RIFF size says where the picture ends; whatever follows is not read.
    const qint64 riff = qint64(qFromLittleEndian<quint32>(header.constData() + 4)) + 8;
    QByteArray data;
    try {
        data = file->read(0, std::min(riff + (riff & 1), file->size()));
    } catch (const std::bad_alloc&) {
        opening.error = notEnoughMemory();
        return opening;
    }
    const Frame frame = firstFrame(data, opening.error);
    if (!opening.error.isEmpty())
        return opening;
    auto source = std::make_unique<WebpSource>(file->path(), std::move(data), frame);
    opening.error = source->start();
    if (opening.error.isEmpty())
        opening.source = std::move(source);
    return opening;
}

} // namespace picture
