// SPDX-License-Identifier: MIT
#pragma once

#include "picture/messages.h"

#include <QByteArray>
#include <QString>

#include <memory>

class QIODevice;

namespace picture {

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

} // namespace picture
