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
        QList<QRgb> global;
        if (!readHeader(in, global))
            return false;
        for (;;) {
            uchar introducer = 0;
            if (!in.byte(introducer))
                return fail(in.ended());
            if (introducer == 0x3B)
                return fail(QStringLiteral("the file holds no picture"));
            if (introducer == 0x21) {
                if (!readExtension(in))
                    return false;
                continue;
            }
            if (introducer != 0x2C)
                return fail(kDamaged);
            int codeSize = 0;
            return readDescriptor(in, global, codeSize) && readFrame(in, codeSize);
        }
    } catch (const std::bad_alloc&) {
        return fail(notEnoughMemory());
    }
}

bool GifDecoder::readTable(Input& in, int flags, QList<QRgb>& table) {
    const int entries = 2 << (flags & 7);
    std::array<uchar, 3 * 256> rgb;
    if (!in.read(rgb.data(), 3 * entries))
        return false;
    table.resize(entries);
    for (int i = 0; i < entries; ++i)
        table[i] = qRgb(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
    return true;
}

bool GifDecoder::readHeader(Input& in, QList<QRgb>& global) {
    std::array<uchar, 13> header;
    if (!in.read(header.data(), 13))
        return fail(in.ended());
    if (std::memcmp(header.data(), "GIF87a", 6) != 0 &&
        std::memcmp(header.data(), "GIF89a", 6) != 0)
        return fail(QStringLiteral("it is not a GIF picture"));
    m_screen = QSize(le16(&header[6]), le16(&header[8]));
    if (!m_screen.isEmpty() && qint64(m_screen.width()) * m_screen.height() > kMaxPixels)
        return fail(tooLarge(m_screen.width(), m_screen.height()));
    if ((header[10] & 0x80) && !readTable(in, header[10], global))
        return fail(in.ended());
    return true;
}

bool GifDecoder::readExtension(Input& in) {
    uchar label = 0;
    if (!in.byte(label))
        return fail(in.ended());
    if (label != 0xF9)
        return in.skipSubBlocks() || fail(in.ended());
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
    return length == 0 || in.skipSubBlocks() || fail(in.ended());
}

bool GifDecoder::readDescriptor(Input& in, const QList<QRgb>& global, int& codeSize) {
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
    if (QString why = memoryShortfall(qint64(m_frame.width()) * m_frame.height()); !why.isEmpty())
        return fail(why);
    m_interlaced = descriptor[8] & 0x40;
    QList<QRgb> local;
    if ((descriptor[8] & 0x80) && !readTable(in, descriptor[8], local))
        return fail(in.ended());
    m_palette = local.isEmpty() ? global : local;
    m_noPalette = m_palette.isEmpty();

    uchar size = 0;
    if (!in.byte(size))
        return fail(in.ended());
    // Browsers read minimum code sizes up to 11, whose first codes are 12 bits wide. At 1,
    // decoders disagree once the table grows; here codes stay two bits wide, as in Pillow.
    if (size < 1 || size > 11)
        return fail(
            QStringLiteral("the data is damaged: its code size %1 is not 1 to 11").arg(size));
    codeSize = size;
    return true;
}

// Where the frame's pixels go as they are decoded: rows in stored order, through the four passes
// if interlaced.
class GifDecoder::PixelWriter {
public:
    explicit PixelWriter(GifDecoder& gif)
        : m_gif(gif)
        , m_width(gif.m_frame.width())
        , m_height(gif.m_frame.height())
        , m_interlaced(gif.m_interlaced)
        , m_line(gif.writableRow(0)) {}

    bool whole() const { return m_rowsDone >= m_height; }

    void put(const uchar* from, int count) {
        while (count > 0 && m_rowsDone < m_height) {
            const int n = std::min(count, m_width - m_x);
            std::memcpy(m_line + m_x, from, size_t(n));
            from += n;
            count -= n;
            m_x += n;
            if (m_x == m_width)
                nextRow();
        }
    }

private:
    void nextRow() {
        static constexpr int kPassStart[] = {0, 4, 2, 1}, kPassStep[] = {8, 8, 4, 2};
        m_x = 0;
        if (++m_rowsDone == m_height)
            return;
        if (!m_interlaced) {
            ++m_y;
        } else {
            m_y += kPassStep[m_pass];
            while (m_y >= m_height)
                m_y = kPassStart[++m_pass];
        }
        m_line = m_gif.writableRow(m_y);
    }

    GifDecoder& m_gif;
    const int m_width, m_height;
    const bool m_interlaced;
    uchar* m_line;
    int m_pass = 0, m_y = 0, m_x = 0, m_rowsDone = 0;
};

namespace {

// The LZW codes' string table.
struct Table {
    std::array<quint16, 4096> prefix;
    std::array<uchar, 4096> suffix;
    std::array<uchar, 4096> first;
    std::array<uchar, 4096> stack;

    // The string of `code` spelt into the stack's end; where it starts. `code` may be `next`, the
    // one being defined from `previous` right now. `root` is the code's first byte's code.
    int spell(int code, int next, int previous, int clear, int& root) {
        int top = int(stack.size());
        root = code;
        if (code == next) {
            stack[std::size_t(--top)] = first[std::size_t(previous)];
            root = previous;
        }
        while (root >= clear) {
            stack[std::size_t(--top)] = suffix[std::size_t(root)];
            root = prefix[std::size_t(root)];
        }
        stack[std::size_t(--top)] = uchar(root);
        return top;
    }
};

} // namespace

// The frame's data, sub-block by sub-block; `terminated` once the empty block that closes it is
// read.
class GifDecoder::FrameData {
public:
    explicit FrameData(Input& in)
        : m_in(in) {}

    bool byte(uchar& b) {
        while (m_blockLeft == 0) {
            uchar length = 0;
            if (!m_in.byte(length))
                return false;
            if (length == 0) {
                terminated = true;
                return false;
            }
            m_blockLeft = length;
        }
        --m_blockLeft;
        return m_in.byte(b);
    }

    // Past whatever the data holds after the frame's last pixel, unread.
    bool skipRest() {
        while (!terminated) {
            std::array<uchar, 255> rest;
            if (m_blockLeft > 0 && !m_in.read(rest.data(), m_blockLeft))
                return false;
            uchar length = 0;
            if (!m_in.byte(length))
                return false;
            m_blockLeft = length;
            terminated = length == 0;
        }
        return true;
    }

    bool terminated = false;

private:
    Input& m_in;
    int m_blockLeft = 0;
};

bool GifDecoder::readFrame(Input& in, int codeSize) {
    const int width = m_frame.width(), height = m_frame.height();
    m_chunkRows = std::max(1, 65536 / width);
    m_chunks.resize((height + m_chunkRows - 1) / m_chunkRows);
    PixelWriter pixels(*this);
    FrameData data(in);
    bool sawEnd = false;
    if (!decodeCodes(data, codeSize, pixels, sawEnd))
        return fail(kDamaged);
    if (!pixels.whole())
        return fail(data.terminated || sawEnd ? kDataEnds : in.ended());
    return data.skipRest() || fail(in.ended());
}

bool GifDecoder::decodeCodes(FrameData& data, int codeSize, PixelWriter& pixels, bool& sawEnd) {
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
    while (!pixels.whole()) {
        for (uchar b = 0; bitCount < codeWidth && data.byte(b); bitCount += 8)
            bits |= quint32(b) << bitCount;
        if (bitCount < codeWidth)
            return true;
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
            return true;
        }
        // Only the code being defined right now may be used before it exists (KwKwK), and only
        // when there is a string before it to define it from.
        if (code > next || (code == next && previous < 0))
            return false;
        int walk = 0;
        const int top = table->spell(code, next, previous, clear, walk);
        pixels.put(&table->stack[top], int(table->stack.size()) - top);
        if (previous >= 0 && next < 4096) {
            table->prefix[next] = quint16(previous);
            table->suffix[next] = uchar(walk);
            table->first[next] = table->first[previous];
            if (++next == (1 << codeWidth) && codeWidth < 12)
                ++codeWidth;
        }
        previous = code;
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
