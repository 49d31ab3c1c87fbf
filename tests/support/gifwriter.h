// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QHash>
#include <QImage>
#include <QList>

#include <algorithm>

// Qt reads GIF but does not write it, so test pictures are encoded here. By default: one local
// colour table of 256 entries per frame, 9-bit codes, and a clear code often enough that the code
// width never has to grow. The other fields make the files a decoder must cope with: other code
// sizes, real compression with growing codes, interlacing, and damage of chosen kinds.
struct GifFrame {
    QImage image;
    int transparentIndex = -1;
    int declaredWidth = 0; // 0: the image's own size; else what the frame header claims
    int declaredHeight = 0;
    int left = 0; // where the frame sits on the logical screen
    int top = 0;
    bool interlaced = false;
    int tableBits = 8; // the local colour table holds 2^tableBits entries; 0: no local table
    int codeSize = 8;  // LZW minimum code size the data is coded with, 1 to 11
    int declaredCodeSize = -1; // -1: codeSize; else what the frame header claims
    bool compress = false;     // real LZW, codes growing to 12 bits, instead of one code a pixel
    bool clearWhenFull = true; // when compressing: a clear code once the table is full, else none
    int codedPixels = -1;      // -1: all; else only this many, in the order they are stored
    int extraPixels = 0;       // pixels coded past the frame's last one
    int undefinedCodeAt = -1;  // stored pixel before which a code not yet defined is sent
    QByteArray afterEnd = {};  // data after the end-of-information code, in the same sub-blocks
    bool endCode = true;       // false: the data stops without an end-of-information code
    QList<int> codes = {};     // when set, sent as they are instead of the pixels' codes
};

// What the file holds besides its frames.
struct GifFile {
    QList<QRgb> globalTable = {}; // empty: no global colour table; else 2, 4, ..., 256 entries
    QByteArray beforeFrames = {}; // raw blocks after the screen descriptor, extensions for instance
    bool trailer = true;
};

namespace gifwriter {

inline void le16(QByteArray& b, int v) {
    b.append(char(v & 0xFF));
    b.append(char((v >> 8) & 0xFF));
}

inline void appendTable(QByteArray& b, QList<QRgb> table, int entries) {
    table.resize(entries, qRgb(0, 0, 0));
    for (QRgb c : table) {
        b.append(char(qRed(c)));
        b.append(char(qGreen(c)));
        b.append(char(qBlue(c)));
    }
}

inline int tableBitsFor(qsizetype entries) {
    int bits = 1;
    while ((qsizetype(1) << bits) < entries)
        ++bits;
    return bits;
}

// The rows of a frame in the order they are stored: top to bottom, or the four interlace passes.
inline QList<int> storedRows(int height, bool interlaced) {
    QList<int> rows;
    if (!interlaced) {
        for (int y = 0; y < height; ++y)
            rows << y;
        return rows;
    }
    const int starts[] = {0, 4, 2, 1}, steps[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (int y = starts[pass]; y < height; y += steps[pass])
            rows << y;
    return rows;
}

// Codes of variable width, packed from the least significant bit up.
class CodeStream {
public:
    void put(int code, int width) {
        m_acc |= quint32(code) << m_bits;
        m_bits += width;
        for (; m_bits >= 8; m_bits -= 8, m_acc >>= 8)
            m_data.append(char(m_acc & 0xFF));
    }
    QByteArray finish() {
        if (m_bits)
            m_data.append(char(m_acc & 0xFF));
        m_acc = 0;
        m_bits = 0;
        return m_data;
    }

private:
    QByteArray m_data;
    quint32 m_acc = 0;
    int m_bits = 0;
};

// Follows the table as a decoder builds it, so that every code goes out at the width a decoder
// reads it with: a decoder adds an entry on each code but the first after a clear, and widens
// once the next free code no longer fits.
class LzwWriter {
public:
    explicit LzwWriter(int codeSize)
        : m_codeSize(codeSize)
        , m_clear(1 << codeSize) {
        reset();
    }
    int clearCode() const { return m_clear; }
    int nextFree() const { return m_next; }
    bool firstAfterClear() const { return m_first; }
    int width() const { return m_width; }

    void send(int code) {
        m_out.put(code, m_width);
        if (code == m_clear) {
            reset();
            return;
        }
        if (!m_first && m_next < 4096 && ++m_next == (1 << m_width) && m_width < 12)
            ++m_width;
        m_first = false;
    }
    QByteArray finish() { return m_out.finish(); }

private:
    void reset() {
        m_width = m_codeSize + 1;
        m_next = m_clear + 2;
        m_first = true;
    }
    CodeStream m_out;
    int m_codeSize;
    int m_clear;
    int m_width = 0;
    int m_next = 0;
    bool m_first = true;
};

// The LZW data of a frame's pixels (in stored order), without the sub-block framing.
inline QByteArray lzwData(const QList<uchar>& pixels, const GifFrame& frame) {
    LzwWriter out(frame.codeSize);
    const int clear = out.clearCode();
    if (frame.codes.isEmpty())
        out.send(clear);
    if (!frame.codes.isEmpty()) {
        for (int code : frame.codes)
            out.send(code);
    } else if (!frame.compress) {
        // One code a pixel; a clear before the table would need a wider code.
        const int clearEvery = std::min(200, clear - 2);
        int sinceClear = 0;
        for (qsizetype i = 0; i < pixels.size(); ++i) {
            if (i == frame.undefinedCodeAt) {
                out.send(clear);
                out.send(out.nextFree() + 1);
                out.send(pixels[i]);
                sinceClear = 2;
                continue;
            }
            if (sinceClear++ == clearEvery) {
                out.send(clear);
                sinceClear = 1;
            }
            out.send(pixels[i]);
        }
    } else {
        // The encoder's table runs one entry ahead of the decoder's.
        QHash<QByteArray, int> table;
        int encoderNext = clear + 2;
        QByteArray current;
        int currentCode = -1;
        for (qsizetype i = 0; i < pixels.size(); ++i) {
            if (i == frame.undefinedCodeAt) {
                if (currentCode >= 0)
                    out.send(currentCode);
                out.send(clear);
                out.send(out.nextFree() + 1);
                out.send(pixels[i]);
                table.clear();
                encoderNext = clear + 2;
                current.clear();
                currentCode = -1;
                continue;
            }
            const uchar p = pixels[i];
            QByteArray longer = current;
            longer.append(char(p));
            if (currentCode < 0) {
                current = longer;
                currentCode = p;
                continue;
            }
            if (const auto found = table.constFind(longer); found != table.cend()) {
                current = longer;
                currentCode = *found;
                continue;
            }
            out.send(currentCode);
            if (encoderNext < 4096) {
                table.insert(longer, encoderNext++);
            } else if (frame.clearWhenFull) {
                out.send(clear);
                table.clear();
                encoderNext = clear + 2;
            }
            current = QByteArray(1, char(p));
            currentCode = p;
        }
        if (currentCode >= 0)
            out.send(currentCode);
    }
    if (frame.endCode)
        out.send(clear + 1);
    return out.finish();
}

inline QByteArray encode(int screenWidth, int screenHeight, const QList<GifFrame>& frames,
                         const GifFile& file = {}) {
    QByteArray b("GIF89a");
    le16(b, screenWidth);
    le16(b, screenHeight);
    if (file.globalTable.isEmpty()) {
        b.append(3, char(0));
    } else {
        const int bits = tableBitsFor(file.globalTable.size());
        b.append(char(0x80 | (bits - 1)));
        b.append(2, char(0));
        appendTable(b, file.globalTable, 1 << bits);
    }
    b.append(file.beforeFrames);
    if (frames.size() > 1)
        b.append("\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00", 19);
    for (const GifFrame& frame : frames) {
        const QImage indexed = frame.image.convertToFormat(QImage::Format_Indexed8);
        b.append("\x21\xF9\x04", 3); // graphic control: transparency, delay
        b.append(char(frame.transparentIndex >= 0 ? 1 : 0));
        le16(b, 10);
        b.append(char(frame.transparentIndex >= 0 ? frame.transparentIndex : 0));
        b.append(char(0));
        b.append(char(0x2C));
        le16(b, frame.left);
        le16(b, frame.top);
        le16(b, frame.declaredWidth ? frame.declaredWidth : indexed.width());
        le16(b, frame.declaredHeight ? frame.declaredHeight : indexed.height());
        char flags = frame.interlaced ? 0x40 : 0;
        if (frame.tableBits > 0)
            flags |= char(0x80 | (frame.tableBits - 1));
        b.append(flags);
        if (frame.tableBits > 0)
            appendTable(b, indexed.colorTable(), 1 << frame.tableBits);
        b.append(char(frame.declaredCodeSize >= 0 ? frame.declaredCodeSize : frame.codeSize));

        QList<uchar> pixels;
        for (int y : storedRows(indexed.height(), frame.interlaced))
            for (int x = 0; x < indexed.width(); ++x)
                pixels << uchar(indexed.pixelIndex(x, y));
        if (frame.codedPixels >= 0)
            pixels.resize(std::min<qsizetype>(pixels.size(), frame.codedPixels));
        for (int i = 0; i < frame.extraPixels; ++i)
            pixels << uchar(i % 2);
        const QByteArray data = lzwData(pixels, frame) + frame.afterEnd;
        for (qsizetype at = 0; at < data.size(); at += 255) {
            const QByteArray part = data.mid(at, 255);
            b.append(char(part.size()));
            b.append(part);
        }
        b.append(char(0));
    }
    if (file.trailer)
        b.append(char(0x3B));
    return b;
}

} // namespace gifwriter
