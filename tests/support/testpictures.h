// SPDX-License-Identifier: MIT
#pragma once

#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

// Pictures for tests: smooth gradients, so JPEG loses little, yet every position has its own
// colour, so a piece cut from the wrong place shows at once.
namespace testpictures {

inline QImage gradient(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x)
            line[x] = qRgb(w > 1 ? 255 * x / (w - 1) : 0, h > 1 ? 255 * y / (h - 1) : 0,
                           128 + int(60 * std::sin((x + y) / 40.0)));
    }
    return image;
}

inline QString saveJpeg(const QImage& image, const QString& path, int quality = 95) {
    if (!image.save(path, "JPEG", quality))
        return {};
    return path;
}

inline QImage read(const QString& path) {
    QImageReader reader(path);
    reader.setAutoTransform(true);
    return reader.read().convertToFormat(QImage::Format_RGB32);
}

// Mean absolute difference per channel between `a` and the region of `b` at `origin`.
inline double meanError(const QImage& a, const QImage& b, QPoint origin = {}) {
    if (a.isNull() || origin.x() + a.width() > b.width() || origin.y() + a.height() > b.height())
        return 1e9;
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(origin.x() + x, origin.y() + y);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                   std::abs(qBlue(p) - qBlue(q));
        }
    return sum / (3.0 * a.width() * a.height());
}

// The largest difference of any channel of any pixel between two pictures of one size.
inline int maxDifference(const QImage& a, const QImage& b) {
    int worst = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            worst = std::max({worst, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                              std::abs(qBlue(p) - qBlue(q))});
        }
    return worst;
}

inline bool allNearly(const QImage& image, QColor colour, int tolerance = 3) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (std::abs(qRed(p) - colour.red()) > tolerance ||
                std::abs(qGreen(p) - colour.green()) > tolerance ||
                std::abs(qBlue(p) - colour.blue()) > tolerance)
                return false;
        }
    return true;
}

// Sets or clears the folder attribute that lets files be made but never moved or removed; false
// when the file system or the user cannot.
inline bool setAppendOnly(const QString& folder, bool on) {
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL;
    done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0)
        ::close(fd);
    return done;
}

inline QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Every entry of `dir`, hidden ones included, sorted by name.
inline QStringList entries(const QString& dir) {
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace testpictures
