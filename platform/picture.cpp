#include "picture.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QList>
#include <QMessageLogContext>

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

// Opens `path` for reading; false with `reason` set when it cannot be.
bool openFile(QFile& file, const QString& path, QString& reason) {
    if (QFileInfo(path).isDir()) {
        reason = QStringLiteral("it is a folder");
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        reason = file.errorString();
        return false;
    }
    // No picture that fits the allocation limit takes more than that much compressed.
    if (file.size() > kAllocationLimitBytes) {
        reason = QStringLiteral("the file is too large to be a picture");
        return false;
    }
    return true;
}

bool isGif(QFile& file) {
    const QByteArray signature = file.peek(6);
    return signature == "GIF87a" || signature == "GIF89a";
}

OpenedGif readGif(QFile& file, const QString& path) {
    OpenedGif opened;
    opened.isGif = true;
    auto gif = std::make_unique<GifDecoder>();
    if (!gif->read(file, kAllocationLimitBytes)) {
        opened.error = failure(path, gif->error()).error;
        return opened;
    }
    opened.gif = std::move(gif);
    return opened;
}

DecodedPicture wholeGif(QFile& file, const QString& path) {
    const OpenedGif opened = readGif(file, path);
    if (!opened.gif)
        return {QImage(), opened.error};
    const GifDecoder& gif = *opened.gif;
    QImage image(gif.size(), gif.hasAlpha() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (image.isNull())
        return failure(path, QStringLiteral("not enough memory"));
    gif.renderRows(0, image.height(), image.bits(), image.bytesPerLine());
    return {image, QString()};
}

DecodedPicture decode(const QString& path) {
    QFile file(path);
    QString reason;
    if (!openFile(file, path, reason))
        return failure(path, reason);
    if (isGif(file))
        return wholeGif(file, path);
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return failure(path, file.errorString());
    file.close();
    if (bytes.isEmpty())
        return failure(path, QStringLiteral("the file is empty"));

    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);

    // The limit is process-wide; set once so that decodes on other threads never race on it.
    static std::once_flag limitSet;
    std::call_once(limitSet, [] { QImageReader::setAllocationLimit(kAllocationLimitMB); });
    QImage image;
    {
        DecoderWarnings warnings;
        QImageReader reader(&buffer);
        reader.setDecideFormatFromContent(true);
        reader.setAutoTransform(true);
        if (reader.format() != "jpeg")
            return failure(path, QStringLiteral("it is not a JPEG or GIF picture"));
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

    const QImage::Format target =
        image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32;
    if (image.format() != target)
        image = image.convertToFormat(target);
    if (image.isNull())
        return failure(path, QStringLiteral("not enough memory"));
    return {image, QString()};
}

} // namespace

DecodedPicture openAsPicture(const QString& path) {
    try {
        return decode(path);
    } catch (const std::bad_alloc&) {
        return failure(path, QStringLiteral("not enough memory"));
    }
}

OpenedGif openGif(const QString& path) {
    try {
        QFile file(path);
        QString reason;
        if (!openFile(file, path, reason) || !isGif(file))
            return {};
        return readGif(file, path);
    } catch (const std::bad_alloc&) {
        OpenedGif opened;
        opened.isGif = true;
        opened.error = failure(path, QStringLiteral("not enough memory")).error;
        return opened;
    }
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
