// SPDX-License-Identifier: MIT
#include "picture/memoryneed.h"

#include <QFile>
#include <QList>

#include <algorithm>

namespace picture {

namespace {

constexpr qint64 kMegabyte = 1'000'000;

// MemAvailable in bytes; -1 when the text names none.
qint64 availableMemory(const QByteArray& meminfo) {
    for (const QByteArray& line : meminfo.split('\n')) {
        if (!line.startsWith("MemAvailable:"))
            continue;
        // "MemAvailable:   1234567 kB"
        const QList<QByteArray> fields = line.mid(13).simplified().split(' ');
        bool number = false;
        const qint64 kilobytes = fields.value(0).toLongLong(&number);
        if (!number || kilobytes < 0 || fields.value(1) != "kB")
            return -1;
        return kilobytes * 1024;
    }
    return -1;
}

} // namespace

QString memoryShortfall(qint64 needed, const QByteArray& meminfo) {
    const qint64 available = availableMemory(meminfo);
    if (available < 0 || needed <= available - kMemoryMargin)
        return {};
    const qint64 spare = std::max<qint64>(0, available - kMemoryMargin);
    return QStringLiteral("decoding it needs %1 MB of memory, but only %2 MB can be spared (%3 MB "
                          "available, less %4 MB for the rest of the run)")
        .arg((needed + kMegabyte - 1) / kMegabyte)
        .arg(spare / kMegabyte)
        .arg(available / kMegabyte)
        .arg(kMemoryMargin / kMegabyte);
}

QString memoryShortfall(qint64 needed) {
    QFile meminfo(QStringLiteral("/proc/meminfo"));
    if (!meminfo.open(QIODevice::ReadOnly))
        return {};
    return memoryShortfall(needed, meminfo.readAll());
}

} // namespace picture
