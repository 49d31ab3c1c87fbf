#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>

// Qt reads GIF but does not write it, so test pictures are encoded here: one local colour table of
// 256 entries per frame, 9-bit codes, and a clear code often enough that the code width never
// has to grow.
struct GifFrame {
    QImage image;
    int transparentIndex = -1;
    int declaredWidth = 0; // 0: the image's own size; else what the frame header claims
    int declaredHeight = 0;
    int left = 0; // where the frame sits on the logical screen
    int top = 0;
};

namespace gifwriter {

inline void le16(QByteArray& b, int v) {
    b.append(char(v & 0xFF));
    b.append(char((v >> 8) & 0xFF));
}

inline QByteArray encode(int screenWidth, int screenHeight, const QList<GifFrame>& frames) {
    QByteArray b("GIF89a");
    le16(b, screenWidth);
    le16(b, screenHeight);
    b.append(3, char(0)); // no global colour table
    if (frames.size() > 1)
        b.append("\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00", 19);
    for (const GifFrame& frame : frames) {
        const QImage indexed = frame.image.convertToFormat(QImage::Format_Indexed8);
        QList<QRgb> table = indexed.colorTable();
        table.resize(256, qRgb(0, 0, 0));
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
        b.append(char(0x87));
        for (QRgb c : table) {
            b.append(char(qRed(c)));
            b.append(char(qGreen(c)));
            b.append(char(qBlue(c)));
        }
        b.append(char(8)); // LZW minimum code size
        QByteArray data;
        quint32 acc = 0;
        int bits = 0;
        auto put = [&](int code) {
            acc |= quint32(code) << bits;
            bits += 9;
            for (; bits >= 8; bits -= 8, acc >>= 8)
                data.append(char(acc & 0xFF));
        };
        int sinceClear = 0;
        put(256);
        for (int y = 0; y < indexed.height(); ++y)
            for (int x = 0; x < indexed.width(); ++x) {
                if (sinceClear++ == 200) {
                    put(256);
                    sinceClear = 1;
                }
                put(indexed.pixelIndex(x, y));
            }
        put(257);
        if (bits)
            data.append(char(acc & 0xFF));
        for (qsizetype at = 0; at < data.size(); at += 255) {
            const QByteArray part = data.mid(at, 255);
            b.append(char(part.size()));
            b.append(part);
        }
        b.append(char(0));
    }
    b.append(char(0x3B));
    return b;
}

} // namespace gifwriter
