#include "picture.h"

#include "picturefile.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QList>
#include <QMessageLogContext>
#include <QRect>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

namespace platform {

namespace {

// Qt's decoders hand back a partly decoded picture for truncated or corrupt data and only say so
// in a logged warning. While a decode runs, those warnings are caught on the decoding thread and
// turned into a failure instead of reaching the log.
class DecoderWarnings {
public:
    DecoderWarnings()
        : m_outer(t_active) {
        t_active = this;
        std::lock_guard lock(s_mutex);
        if (s_users++ == 0)
            s_previous.store(qInstallMessageHandler(&handler));
    }
    ~DecoderWarnings() {
        t_active = m_outer;
        std::lock_guard lock(s_mutex);
        if (--s_users == 0) {
            const QtMessageHandler current = qInstallMessageHandler(s_previous.load());
            if (current != &handler) // someone installed a handler of their own meanwhile
                qInstallMessageHandler(current);
        }
    }
    DecoderWarnings(const DecoderWarnings&) = delete;
    DecoderWarnings& operator=(const DecoderWarnings&) = delete;

    bool any() const { return !m_first.isEmpty(); }
    const QString& first() const { return m_first; }

private:
    static bool fromDecoder(QtMsgType type, const QMessageLogContext& context) {
        if (type != QtWarningMsg && type != QtCriticalMsg)
            return false;
        const char* category = context.category ? context.category : "default";
        // Plugins log on qt.gui.imageio.*; some messages of the JPEG library arrive uncategorised.
        return std::strncmp(category, "qt.gui.imageio", 14) == 0 ||
               std::strcmp(category, "default") == 0;
    }

    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (DecoderWarnings* self = t_active; self && fromDecoder(type, context)) {
            if (self->m_first.isEmpty())
                self->m_first = text.trimmed();
            return;
        }
        if (QtMessageHandler previous = s_previous.load())
            previous(type, context, text);
        else
            std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
    }

    DecoderWarnings* m_outer;
    QString m_first;

    static inline thread_local DecoderWarnings* t_active = nullptr;
    static inline std::mutex s_mutex;
    static inline int s_users = 0;
    static inline std::atomic<QtMessageHandler> s_previous{nullptr};
};

constexpr qint64 kAllocationLimitBytes = qint64(kAllocationLimitMB) * 1024 * 1024;

bool fitsLimit(qint64 width, qint64 height) {
    return width > 0 && height > 0 && width * height * 4 <= kAllocationLimitBytes;
}

QString tooLarge(qint64 width, qint64 height) {
    return QStringLiteral("it is %1 x %2 pixels, more than can be decoded").arg(width).arg(height);
}

quint16 le16(const QByteArray& b, qsizetype at) {
    return quint16(quint8(b[at]) | (quint8(b[at + 1]) << 8));
}

// Walks a GIF up to the end of its first frame, which is all that is decoded. Qt's GIF decoder
// neither reports a frame cut short nor checks the screen size against the allocation limit, so
// both are looked at here. Empty when the first frame is complete, else what is wrong; `frame`
// gets where the first frame lies on the screen.
QString checkGif(const QByteArray& b, QRect& frame) {
    const QString truncated = QStringLiteral("the file ends before the picture does");
    if (b.size() < 13)
        return truncated;
    const quint16 screenW = le16(b, 6), screenH = le16(b, 8);
    if (screenW && screenH && !fitsLimit(screenW, screenH))
        return tooLarge(screenW, screenH);
    qsizetype at = 13;
    const quint8 flags = quint8(b[10]);
    if (flags & 0x80)
        at += 3 * (qsizetype(2) << (flags & 7));
    auto skipSubBlocks = [&]() -> bool {
        while (at < b.size()) {
            const quint8 len = quint8(b[at]);
            at += 1 + len;
            if (len == 0)
                return at <= b.size();
        }
        return false;
    };
    while (at < b.size()) {
        const quint8 introducer = quint8(b[at++]);
        if (introducer == 0x21) { // extension: label, then sub-blocks
            if (at >= b.size())
                return truncated;
            ++at;
            if (!skipSubBlocks())
                return truncated;
        } else if (introducer == 0x2C) { // image descriptor
            if (at + 9 > b.size())
                return truncated;
            const quint16 w = le16(b, at + 4), h = le16(b, at + 6);
            frame = QRect(le16(b, at), le16(b, at + 2), w, h);
            if (!fitsLimit(w, h))
                return w && h ? tooLarge(w, h) : QStringLiteral("the picture has no pixels");
            const quint8 imageFlags = quint8(b[at + 8]);
            at += 9;
            if (imageFlags & 0x80)
                at += 3 * (qsizetype(2) << (imageFlags & 7));
            if (at >= b.size()) // LZW minimum code size
                return truncated;
            ++at;
            return skipSubBlocks() ? QString() : truncated;
        } else if (introducer == 0x3B) {
            return QStringLiteral("the file holds no picture");
        } else {
            return QStringLiteral("the data is damaged");
        }
    }
    return truncated;
}

// Qt's JPEG reader makes up an end marker where the data runs out, silently. Cut inside a scan,
// the decoder then warns; cut between two scans, nothing warns and a progressive picture comes
// back coarse, a sequential one without some of its colour components. So a file without its end
// marker is walked here scan by scan: the picture is whole only if every coefficient of every
// component has reached its last bit (progressive) or every component had its scan (sequential).
// Empty when whole, else what is wrong.
QString checkJpegScans(const QByteArray& b) {
    const QString truncated = QStringLiteral("the file ends before the picture does");
    if (b.endsWith(QByteArray("\xFF\xD9", 2)))
        return {};
    const auto u8 = [&b](qsizetype at) { return quint8(b[at]); };
    bool progressive = false;
    QList<int> ids;                    // component ids from the frame header
    QList<std::array<int, 64>> lowest; // per component and coefficient: lowest bit sent, -1: none
    qsizetype at = 2;
    while (at + 1 < b.size()) {
        if (u8(at) != 0xFF)
            return QStringLiteral("the data is damaged");
        while (at + 1 < b.size() && u8(at + 1) == 0xFF) // fill bytes
            ++at;
        if (at + 1 >= b.size())
            break;
        const quint8 kind = u8(at + 1);
        at += 2;
        if (kind == 0xD9)
            return {};
        if (kind == 0x01 || (kind >= 0xD0 && kind <= 0xD7))
            continue;
        if (at + 2 > b.size())
            break;
        const int length = (u8(at) << 8) | u8(at + 1);
        if (length < 2 || at + length > b.size())
            break;
        const bool frameHeader =
            kind >= 0xC0 && kind <= 0xCF && kind != 0xC4 && kind != 0xC8 && kind != 0xCC;
        if (frameHeader && length >= 8) {
            progressive = kind == 0xC2 || kind == 0xC6 || kind == 0xCA || kind == 0xCE;
            const int count = u8(at + 7);
            ids.clear();
            for (int i = 0; i < count && 8 + 3 * i < length; ++i)
                ids << u8(at + 8 + 3 * i);
            std::array<int, 64> none;
            none.fill(-1);
            lowest = QList<std::array<int, 64>>(ids.size(), none);
        } else if (kind == 0xDA && length >= 3) {
            const int count = u8(at + 2);
            if (3 + 2 * count + 3 > length)
                return QStringLiteral("the data is damaged");
            const qsizetype tail = at + 3 + 2 * count;
            const int first = progressive ? u8(tail) : 0;
            const int last = progressive ? std::min<int>(u8(tail + 1), 63) : 63;
            const int bit = progressive ? (u8(tail + 2) & 0x0F) : 0;
            for (int i = 0; i < count; ++i)
                if (const qsizetype c = ids.indexOf(u8(at + 3 + 2 * i)); c >= 0)
                    for (int k = first; k <= last; ++k)
                        lowest[c][k] = bit;
            // The coded data runs to the next marker that is not a stuffed byte or a restart.
            at += length;
            while (at + 1 < b.size() && !(u8(at) == 0xFF && u8(at + 1) != 0x00 &&
                                          (u8(at + 1) < 0xD0 || u8(at + 1) > 0xD7)))
                ++at;
            continue;
        }
        at += length;
    }
    // The data ran out. A scan cut in its middle is the decoder's to report; what is looked at
    // here is whether every scan that the picture needs had begun.
    if (lowest.isEmpty())
        return truncated;
    for (const auto& component : lowest)
        for (int bit : component)
            if (bit != 0)
                return truncated;
    return {};
}

DecodedPicture failure(const QString& path, const QString& reason) {
    return {QImage(), QStringLiteral("Could not read the picture %1: %2")
                          .arg(QDir::toNativeSeparators(path), reason)};
}

DecodedPicture decode(const PictureFile& file) {
    const QString& path = file.path();
    const QByteArray bytes = file.read(0, file.size());
    if (bytes.size() != file.size())
        return failure(path, QStringLiteral("the file could not be read to its end"));

    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);

    // The limit is process-wide; set once so that decodes on other threads never race on it.
    static std::once_flag limitSet;
    std::call_once(limitSet, [] { QImageReader::setAllocationLimit(kAllocationLimitMB); });
    QImage image;
    QString reason;
    QRect gifFrame;
    {
        DecoderWarnings warnings;
        QImageReader reader(&buffer);
        reader.setDecideFormatFromContent(true);
        reader.setAutoTransform(true);
        const QByteArray format = reader.format();
        if (format != "jpeg" && format != "gif")
            return failure(path, QStringLiteral("it is not a JPEG or GIF picture"));
        if (format == "gif")
            reason = checkGif(bytes, gifFrame);
        else
            reason = checkJpegScans(bytes);
        if (reason.isEmpty()) {
            const QSize size = reader.size();
            if (size.isValid() && !fitsLimit(size.width(), size.height()))
                reason = tooLarge(size.width(), size.height());
        }
        if (reason.isEmpty()) {
            image = reader.read();
            if (image.isNull())
                reason = warnings.any() ? warnings.first() : reader.errorString();
            else if (warnings.any())
                reason = warnings.first();
        }
    }
    if (!reason.isEmpty())
        return failure(path, reason);

    // Viewers show the part of a GIF's screen that its first frame does not cover as nothing
    // (transparent), whatever background colour the file names; Qt paints it in that colour.
    if (gifFrame.isValid() && image.size() == QSize(le16(bytes, 6), le16(bytes, 8)) &&
        !gifFrame.contains(image.rect())) {
        image = image.convertToFormat(QImage::Format_ARGB32);
        if (image.isNull())
            return failure(path, QStringLiteral("not enough memory"));
        const QRect inside = gifFrame.intersected(image.rect());
        for (int y = 0; y < image.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            if (y < inside.top() || y > inside.bottom()) {
                std::fill_n(line, image.width(), QRgb(0));
                continue;
            }
            std::fill(line, line + inside.left(), QRgb(0));
            std::fill(line + inside.right() + 1, line + image.width(), QRgb(0));
        }
    }

    const QImage::Format target =
        image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32;
    if (image.format() != target)
        image = image.convertToFormat(target);
    if (image.isNull())
        return failure(path, QStringLiteral("not enough memory"));
    return {image, QString()};
}

} // namespace

DecodedPicture openAsPicture(const PictureFile& file) {
    try {
        return decode(file);
    } catch (const std::bad_alloc&) {
        return failure(file.path(), QStringLiteral("not enough memory"));
    }
}

DecodedPicture openAsPicture(const QString& path) {
    QString error;
    const auto file = PictureFile::open(path, error);
    if (!file)
        return failure(path, error);
    return openAsPicture(*file);
}

bool writeJpeg(const QImage& image, QIODevice& out, QString* error) {
    auto fail = [&](const QString& reason) {
        if (error)
            *error = reason;
        return false;
    };
    if (image.isNull())
        return fail(QStringLiteral("there is no picture to write"));
    bool written = false;
    QString why;
    {
        DecoderWarnings warnings;
        QImageWriter writer(&out, "jpeg");
        written = writer.write(image);
        if (!written)
            why = warnings.any() ? warnings.first() : writer.errorString();
    }
    if (!written)
        return fail(why);
    if (auto* fileDevice = qobject_cast<QFileDevice*>(&out);
        fileDevice && fileDevice->error() != QFileDevice::NoError)
        return fail(fileDevice->errorString());
    return true;
}

} // namespace platform
