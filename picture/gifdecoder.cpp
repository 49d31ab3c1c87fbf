// SPDX-License-Identifier: MIT
#include "picture/gifdecoder.h"

#include "picture/memoryneed.h"
#include "picture/picturefile.h"

#include <QDir>
#include <QIODevice>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

namespace picture {

// Damage policy: a GIF is refused when any pixel of its first frame would be missing, invented or
// garbled (data that stops short, a code size outside 1..11, a code the table does not hold yet,
// no frame at all), and accepted whenever a viewer would show that frame whole, whatever comes
// after the pixels it needs: surplus pixels or data, later frames, no trailer.

namespace {

const QString kDataEnds = QStringLiteral("the data ends before the picture does");
const QString kDamaged = QStringLiteral("the data is damaged");

QString tooLarge(qint64 width, qint64 height) {
    return tooManyPixels(width, height);
}

quint16 le16(const uchar* at) {
    return quint16(at[0] | (at[1] << 8));
}

// How long a sequential device may keep the decoder waiting for more data.
constexpr int kWaitMs = 30'000;

} // namespace

// Reads exactly what the walk through the file asks for, so that nothing past the first frame is
// taken from the device; the cap counts as the end of the data.
class GifDecoder::Input {
public:
    Input(QIODevice& device, qint64 cap)
        : m_device(device)
        , m_left(std::max<qint64>(cap, 0)) {}

    bool read(uchar* to, qint64 count) {
        while (count > 0) {
            if (m_at == m_end && !fill())
                return false;
            const qint64 n = std::min<qint64>(count, m_end - m_at);
            std::memcpy(to, m_buffer.data() + m_at, std::size_t(n));
            m_at += n;
            to += n;
            count -= n;
        }
        return true;
    }

    bool byte(uchar& b) {
        if (m_at == m_end && !fill())
            return false;
        b = m_buffer[std::size_t(m_at++)];
        return true;
    }

    // Past a chain of sub-blocks and its terminator.
    bool skipSubBlocks() {
        std::array<uchar, 255> block;
        for (uchar length = 0;;) {
            if (!byte(length))
                return false;
            if (length == 0)
                return true;
            if (!read(block.data(), length))
                return false;
        }
    }

    // Why the data stopped.
    QString ended() const { return m_failed ? m_device.errorString() : endsEarly(); }

private:
    // The next block of data, never past the cap: one read of the device for many bytes.
    bool fill() {
        m_at = m_end = 0;
        while (m_left > 0) {
            const qint64 got = m_device.read(reinterpret_cast<char*>(m_buffer.data()),
                                             std::min<qint64>(m_left, qint64(m_buffer.size())));
            if (got < 0) {
                m_failed = true;
                return false;
            }
            if (got > 0) {
                m_end = got;
                m_left -= got;
                return true;
            }
            if (!m_device.isSequential() || !m_device.waitForReadyRead(kWaitMs))
                return false;
        }
        return false;
    }

    QIODevice& m_device;
    qint64 m_left;
    bool m_failed = false;
    std::array<uchar, 64 * 1024> m_buffer;
    qint64 m_at = 0, m_end = 0;
};

bool GifDecoder::fail(const QString& reason) {
    m_error = reason;
    m_chunks.clear();
    return false;
}

bool GifDecoder::read(QIODevice& device, qint64 byteCap) {
    m_error.clear();
    m_chunks.clear();
    m_palette.clear();
    m_transparent = -1;
    m_transparencyFlag = false;
    try {
        Input in(device, byteCap);
        std::array<uchar, 13> header;
        if (!in.read(header.data(), 13))
            return fail(in.ended());
        if (std::memcmp(header.data(), "GIF87a", 6) != 0 &&
            std::memcmp(header.data(), "GIF89a", 6) != 0)
            return fail(QStringLiteral("it is not a GIF picture"));
        m_screen = QSize(le16(&header[6]), le16(&header[8]));
        if (!m_screen.isEmpty() && qint64(m_screen.width()) * m_screen.height() > kMaxPixels)
            return fail(tooLarge(m_screen.width(), m_screen.height()));

        auto readTable = [&](int flags, QList<QRgb>& table) {
            const int entries = 2 << (flags & 7);
            std::array<uchar, 3 * 256> rgb;
            if (!in.read(rgb.data(), 3 * entries))
                return false;
            table.resize(entries);
            for (int i = 0; i < entries; ++i)
                table[i] = qRgb(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
            return true;
        };
        QList<QRgb> global;
        if ((header[10] & 0x80) && !readTable(header[10], global))
            return fail(in.ended());

        for (;;) {
            uchar introducer = 0;
            if (!in.byte(introducer))
                return fail(in.ended());
            if (introducer == 0x3B)
                return fail(QStringLiteral("the file holds no picture"));
            if (introducer == 0x21) {
                uchar label = 0;
                if (!in.byte(label))
                    return fail(in.ended());
                if (label == 0xF9) {
                    // The last graphic control before the frame is the one that applies to it.
                    uchar length = 0;
                    if (!in.byte(length))
                        return fail(in.ended());
                    std::array<uchar, 255> block;
                    if (!in.read(block.data(), length))
                        return fail(in.ended());
                    if (length >= 4) {
                        m_transparencyFlag = block[0] & 1;
                        m_transparent = m_transparencyFlag ? block[3] : -1;
                    }
                    if (length != 0 && !in.skipSubBlocks())
                        return fail(in.ended());
                } else if (!in.skipSubBlocks()) {
                    return fail(in.ended());
                }
                continue;
            }
            if (introducer != 0x2C)
                return fail(kDamaged);

            std::array<uchar, 9> descriptor;
            if (!in.read(descriptor.data(), 9))
                return fail(in.ended());
            m_frame = QRect(le16(&descriptor[0]), le16(&descriptor[2]), le16(&descriptor[4]),
                            le16(&descriptor[6]));
            if (m_frame.isEmpty())
                return fail(noPixels());
            if (qint64(m_frame.width()) * m_frame.height() > kMaxPixels)
                return fail(tooLarge(m_frame.width(), m_frame.height()));
            // A screen without a size in a direction takes the frame's far edge there.
            m_size = QSize(m_screen.width() ? m_screen.width() : m_frame.x() + m_frame.width(),
                           m_screen.height() ? m_screen.height() : m_frame.y() + m_frame.height());
            if (qint64(m_size.width()) * m_size.height() > kMaxPixels)
                return fail(tooLarge(m_size.width(), m_size.height()));
            // A colour index a pixel of the frame, all of it once the data is whole.
            if (QString why = memoryShortfall(qint64(m_frame.width()) * m_frame.height());
                !why.isEmpty())
                return fail(why);
            m_interlaced = descriptor[8] & 0x40;
            QList<QRgb> local;
            if ((descriptor[8] & 0x80) && !readTable(descriptor[8], local))
                return fail(in.ended());
            m_palette = local.isEmpty() ? global : local;
            m_noPalette = m_palette.isEmpty();

            uchar codeSize = 0;
            if (!in.byte(codeSize))
                return fail(in.ended());
            // Browsers read minimum code sizes up to 11, whose first codes are 12 bits wide. At 1,
            // decoders disagree once the table grows; here codes stay two bits wide, as in Pillow.
            if (codeSize < 1 || codeSize > 11)
                return fail(QStringLiteral("the data is damaged: its code size %1 is not 1 to 11")
                                .arg(codeSize));
            return readFrame(in, codeSize);
        }
    } catch (const std::bad_alloc&) {
        return fail(notEnoughMemory());
    }
}

bool GifDecoder::readFrame(Input& in, int codeSize) {
    const int width = m_frame.width(), height = m_frame.height();
    m_chunkRows = std::max(1, 65536 / width);
    m_chunks.resize((height + m_chunkRows - 1) / m_chunkRows);

    // Where the next pixel goes: rows in stored order, through the four passes if interlaced.
    static constexpr int kPassStart[] = {0, 4, 2, 1}, kPassStep[] = {8, 8, 4, 2};
    int pass = 0, y = 0, x = 0, rowsDone = 0;
    uchar* line = writableRow(0);
    auto put = [&](const uchar* from, int count) {
        while (count > 0 && rowsDone < height) {
            const int n = std::min(count, width - x);
            std::memcpy(line + x, from, size_t(n));
            from += n;
            count -= n;
            x += n;
            if (x < width)
                continue;
            x = 0;
            if (++rowsDone == height)
                break;
            if (!m_interlaced) {
                ++y;
            } else {
                y += kPassStep[pass];
                while (y >= height)
                    y = kPassStart[++pass];
            }
            line = writableRow(y);
        }
    };

    // The data, sub-block by sub-block; `terminated` once the empty block that closes it is read.
    int blockLeft = 0;
    bool terminated = false;
    auto dataByte = [&](uchar& b) {
        while (blockLeft == 0) {
            uchar length = 0;
            if (!in.byte(length))
                return false;
            if (length == 0) {
                terminated = true;
                return false;
            }
            blockLeft = length;
        }
        --blockLeft;
        return in.byte(b);
    };

    struct Table {
        std::array<quint16, 4096> prefix;
        std::array<uchar, 4096> suffix;
        std::array<uchar, 4096> first;
        std::array<uchar, 4096> stack;
    };
    const auto table = std::make_unique<Table>();
    const int clear = 1 << codeSize, end = clear + 1;
    // Past code size 8, a code names an index beyond 255: it wraps to a byte, as in browsers.
    for (int c = 0; c < clear; ++c) {
        table->suffix[c] = uchar(c);
        table->first[c] = uchar(c);
    }
    int next = clear + 2, codeWidth = codeSize + 1, previous = -1;
    quint32 bits = 0;
    int bitCount = 0;
    bool sawEnd = false;
    while (rowsDone < height) {
        while (bitCount < codeWidth) {
            uchar b = 0;
            if (!dataByte(b))
                break;
            bits |= quint32(b) << bitCount;
            bitCount += 8;
        }
        if (bitCount < codeWidth)
            break;
        const int code = int(bits & ((1u << codeWidth) - 1));
        bits >>= codeWidth;
        bitCount -= codeWidth;

        if (code == clear) {
            next = clear + 2;
            codeWidth = codeSize + 1;
            previous = -1;
            continue;
        }
        if (code == end) {
            sawEnd = true;
            break;
        }
        // Only the code being defined right now may be used before it exists (KwKwK), and only
        // when there is a string before it to define it from.
        if (code > next || (code == next && previous < 0))
            return fail(kDamaged);
        int top = int(table->stack.size());
        int walk = code;
        if (code == next) {
            table->stack[--top] = table->first[previous];
            walk = previous;
        }
        while (walk >= clear) {
            table->stack[--top] = table->suffix[walk];
            walk = table->prefix[walk];
        }
        table->stack[--top] = uchar(walk);
        put(&table->stack[top], int(table->stack.size()) - top);
        if (previous >= 0 && next < 4096) {
            table->prefix[next] = quint16(previous);
            table->suffix[next] = uchar(walk);
            table->first[next] = table->first[previous];
            if (++next == (1 << codeWidth) && codeWidth < 12)
                ++codeWidth;
        }
        previous = code;
    }
    if (rowsDone < height)
        return fail(terminated || sawEnd ? kDataEnds : in.ended());
    // Whatever the frame's data holds past its last pixel is not looked at, only skipped.
    if (!terminated) {
        for (;;) {
            if (blockLeft > 0) {
                std::array<uchar, 255> rest;
                if (!in.read(rest.data(), blockLeft))
                    return fail(in.ended());
                blockLeft = 0;
            }
            uchar length = 0;
            if (!in.byte(length))
                return fail(in.ended());
            if (length == 0)
                break;
            blockLeft = length;
        }
    }
    return true;
}

uchar* GifDecoder::writableRow(int y) {
    auto& chunk = m_chunks[size_t(y / m_chunkRows)];
    if (!chunk) {
        const int rows = std::min(m_chunkRows, m_frame.height() - y / m_chunkRows * m_chunkRows);
        chunk = std::make_unique_for_overwrite<uchar[]>(size_t(rows) * size_t(m_frame.width()));
    }
    return chunk.get() + size_t(y % m_chunkRows) * size_t(m_frame.width());
}

const uchar* GifDecoder::row(int y) const {
    return m_chunks[size_t(y / m_chunkRows)].get() +
           size_t(y % m_chunkRows) * size_t(m_frame.width());
}

bool GifDecoder::hasAlpha() const {
    return m_transparencyFlag || !m_frame.contains(QRect(QPoint(0, 0), m_size));
}

// The colours Qt's reader gave, which the program has shown so far: an index past the palette is
// white, and a file without any palette has three black entries. Where the frame names a
// transparent colour, those made-up colours are transparent as well as the named one.
QRgb GifDecoder::colour(int index) const {
    QRgb c;
    bool made = false;
    if (index < m_palette.size()) {
        c = m_palette[index];
    } else {
        made = true;
        c = m_noPalette && index < 3 ? qRgb(0, 0, 0) : qRgb(255, 255, 255);
    }
    if (m_transparencyFlag && (made || index == m_transparent))
        c &= 0x00FFFFFF;
    return c;
}

void GifDecoder::renderRows(int firstRow, int count, uchar* out, qsizetype stride) const {
    std::array<QRgb, 256> colours;
    for (int i = 0; i < 256; ++i)
        colours[size_t(i)] = colour(i);
    // Viewers show what the first frame leaves of the screen as nothing, whatever background
    // colour the file names.
    const QRect shown = m_frame.intersected(QRect(QPoint(0, 0), m_size));
    for (int y = firstRow; y < firstRow + count; ++y, out += stride) {
        auto* line = reinterpret_cast<QRgb*>(out);
        if (shown.isEmpty() || y < shown.top() || y > shown.bottom()) {
            std::fill_n(line, m_size.width(), QRgb(0));
            continue;
        }
        std::fill(line, line + shown.left(), QRgb(0));
        const uchar* indices = row(y - m_frame.top()) + (shown.left() - m_frame.left());
        for (int x = shown.left(); x <= shown.right(); ++x)
            line[x] = colours[*indices++];
        std::fill(line + shown.right() + 1, line + m_size.width(), QRgb(0));
    }
}

namespace {

bool isGif(const PictureFile& file) {
    const QByteArray signature = file.read(0, 6);
    return signature == "GIF87a" || signature == "GIF89a";
}

OpenedGif readGif(const PictureFile& file) {
    OpenedGif opened;
    opened.isGif = true;
    auto gif = std::make_unique<GifDecoder>();
    const std::unique_ptr<QIODevice> device = file.device();
    if (!gif->read(*device, file.size())) {
        opened.error = unreadablePicture(QDir::toNativeSeparators(file.path()), gif->error());
        return opened;
    }
    opened.gif = std::move(gif);
    return opened;
}

} // namespace

OpenedGif openGif(const PictureFile& file) {
    try {
        if (!isGif(file))
            return {};
        return readGif(file);
    } catch (const std::bad_alloc&) {
        OpenedGif opened;
        opened.isGif = true;
        opened.error = unreadablePicture(QDir::toNativeSeparators(file.path()), notEnoughMemory());
        return opened;
    }
}

} // namespace picture
