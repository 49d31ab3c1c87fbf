#include "picture.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QMessageLogContext>

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
// both are looked at here. Empty when the first frame is complete, else what is wrong.
QString checkGif(const QByteArray& b) {
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

DecodedPicture failure(const QString& path, const QString& reason) {
    return {QImage(), QStringLiteral("Could not read the picture %1: %2")
                          .arg(QDir::toNativeSeparators(path), reason)};
}

DecodedPicture decode(const QString& path) {
    QFile file(path);
    if (QFileInfo(path).isDir())
        return failure(path, QStringLiteral("it is a folder"));
    if (!file.open(QIODevice::ReadOnly))
        return failure(path, file.errorString());
    // No picture that fits the allocation limit takes more than that much compressed.
    if (file.size() > kAllocationLimitBytes)
        return failure(path, QStringLiteral("the file is too large to be a picture"));
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
    QString reason;
    {
        DecoderWarnings warnings;
        QImageReader reader(&buffer);
        reader.setDecideFormatFromContent(true);
        reader.setAutoTransform(true);
        const QByteArray format = reader.format();
        if (format != "jpeg" && format != "gif")
            return failure(path, QStringLiteral("it is not a JPEG or GIF picture"));
        if (format == "gif")
            reason = checkGif(bytes);
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
