// SPDX-License-Identifier: MIT
#pragma once

// Whether the machine can give what decoding a picture will take, known from its header before
// decoding starts: a picture that cannot be had is refused at once, in one line, rather than
// meeting the kernel's out-of-memory killer half-way. For every picture reader.

#include <QByteArray>
#include <QString>

namespace picture {

// Kept back from what the machine has, for everything else a run needs at the same time: the
// bands, the pieces and their encoders, the page.
inline constexpr qint64 kMemoryMargin = 64'000'000;

// Empty when decoding can have `needed` bytes; else why not, naming both amounts. `meminfo` is
// the text of /proc/meminfo: its MemAvailable, less kMemoryMargin, is what can be had. Without
// MemAvailable nothing is known and nothing is refused.
QString memoryShortfall(qint64 needed, const QByteArray& meminfo);
// The same with this machine's /proc/meminfo, read now.
QString memoryShortfall(qint64 needed);

} // namespace picture
