#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class QIODevice;

namespace platform {

// The largest picture that is read, in pixels, whatever its format.
inline constexpr qint64 kMaxPixels = 250'000'000;
// No JPEG or GIF of kMaxPixels needs four bytes a pixel, data after its end included; a file
// larger than that is not read at all.
inline constexpr qint64 kMaxPictureFileBytes = kMaxPixels * 4;

// The messages of every picture reader, in one place.
inline QString unreadablePicture(const QString& path, const QString& reason) {
    return QStringLiteral("Could not read the picture %1: %2").arg(path, reason);
}
inline QString endsEarly() {
    return QStringLiteral("the file ends before the picture does");
}
inline QString notEnoughMemory() {
    return QStringLiteral("not enough memory");
}
inline QString noMemoryForRows(int rows) {
    return QStringLiteral("Not enough memory for %1 rows of the picture.").arg(rows);
}

// Why a picture of `width` by `height` is not read, whatever its format.
inline QString tooManyPixels(qint64 width, qint64 height) {
    return QStringLiteral("it is %1 x %2 pixels, more than the %3 megapixels that can be read")
        .arg(width)
        .arg(height)
        .arg(kMaxPixels / 1'000'000);
}

// A picture file, opened once and read only through this: a regular file, at most
// kMaxPictureFileBytes, read no further than the size it had when it was opened. Anything else
// (a folder, a device, a pipe or FIFO, a socket) is refused at once, before a byte is read, so
// that endless or blocking input never reaches a decoder. Reads at given offsets may come from
// several readers at a time.
class PictureFile {
public:
    // Nullptr with `error` set to one short line (the reason, without the path) when refused.
    static std::shared_ptr<const PictureFile> open(const QString& path, QString& error);
    ~PictureFile();
    PictureFile(const PictureFile&) = delete;
    PictureFile& operator=(const PictureFile&) = delete;

    const QString& path() const { return m_path; }
    qint64 size() const { return m_size; }
    // Up to `length` bytes from `offset`; fewer at the end, -1 with `error` set when reading fails.
    qint64 read(qint64 offset, char* data, qint64 length, QString* error = nullptr) const;
    QByteArray read(qint64 offset, qint64 length) const;
    // A read-only device over the whole file, with a position of its own.
    std::unique_ptr<QIODevice> device() const;

private:
    PictureFile(QString path, int fd, qint64 size);

    QString m_path;
    int m_fd;
    qint64 m_size;
};

} // namespace platform
