// SPDX-License-Identifier: MIT
#include "picture/picturefile.h"

#include <QFile>
#include <QIODevice>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace picture {

namespace {

class Device final : public QIODevice {
public:
    explicit Device(const PictureFile& file)
        : m_file(file) {
        QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    qint64 size() const override { return m_file.size(); }

protected:
    qint64 readData(char* data, qint64 length) override {
        QString error;
        const qint64 got = m_file.read(pos(), data, length, &error);
        if (got < 0)
            setErrorString(error);
        return got;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    const PictureFile& m_file;
};

QString typeProblem(mode_t mode) {
    switch (mode & S_IFMT) {
    case S_IFDIR:
        return QStringLiteral("it is a folder");
    case S_IFIFO:
        return QStringLiteral("it is a pipe, not a file");
    case S_IFCHR:
    case S_IFBLK:
        return QStringLiteral("it is a device, not a file");
    case S_IFSOCK:
        return QStringLiteral("it is a socket, not a file");
    default:
        return QStringLiteral("it is not a regular file");
    }
}

} // namespace

std::shared_ptr<const PictureFile> PictureFile::open(const QString& path, QString& error) {
    if (path.isEmpty()) {
        error = QStringLiteral("no file was given");
        return nullptr;
    }
    // Looked at before it is opened: opening some devices does something (a tape rewinds).
    struct stat before {};
    if (stat(QFile::encodeName(path).constData(), &before) == 0 && !S_ISREG(before.st_mode)) {
        error = typeProblem(before.st_mode);
        return nullptr;
    }
    // Non-blocking, so that opening a FIFO without a writer returns at once and can be refused.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        // A name handed over as text (by a dialog) whose bytes were not valid UTF-8 has lost them.
        error = errno == ENOENT && path.contains(QChar::ReplacementCharacter)
                    ? QStringLiteral("its name is not valid in the system's encoding (UTF-8)")
                    : QString::fromLocal8Bit(std::strerror(errno));
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        error = typeProblem(st.st_mode);
        ::close(fd);
        return nullptr;
    }
    if (st.st_size == 0) {
        error = QStringLiteral("the file is empty");
        ::close(fd);
        return nullptr;
    }
    if (st.st_size > kMaxPictureFileBytes) {
        error = QStringLiteral("the file is %1 MB, too large for a picture of at most %2 "
                               "megapixels")
                    .arg(st.st_size / 1'000'000)
                    .arg(kMaxPixels / 1'000'000);
        ::close(fd);
        return nullptr;
    }
    return std::shared_ptr<const PictureFile>(new PictureFile(path, fd, st.st_size));
}

PictureFile::PictureFile(QString path, int fd, qint64 size)
    : m_path(std::move(path))
    , m_fd(fd)
    , m_size(size) {}

PictureFile::~PictureFile() {
    ::close(m_fd);
}

qint64 PictureFile::read(qint64 offset, char* data, qint64 length, QString* error) const {
    if (offset < 0 || length < 0)
        return -1;
    length = std::min(length, std::max<qint64>(0, m_size - offset));
    qint64 done = 0;
    while (done < length) {
        const ssize_t got =
            pread(m_fd, data + done, std::size_t(length - done), off_t(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            if (error)
                *error = QString::fromLocal8Bit(std::strerror(errno));
            return -1;
        }
        if (got == 0)
            break; // the file shrank meanwhile
        done += got;
    }
    return done;
}

QByteArray PictureFile::read(qint64 offset, qint64 length) const {
    QByteArray bytes(qsizetype(std::max<qint64>(0, std::min(length, m_size - offset))),
                     Qt::Uninitialized);
    const qint64 got = read(offset, bytes.data(), bytes.size());
    bytes.truncate(qsizetype(std::max<qint64>(0, got)));
    return bytes;
}

std::unique_ptr<QIODevice> PictureFile::device() const {
    return std::make_unique<Device>(*this);
}

} // namespace picture
