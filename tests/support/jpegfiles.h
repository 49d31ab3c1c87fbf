// SPDX-License-Identifier: MIT
#pragma once

// JPEG files for the tests of the banded decoder: written by the framework's encoder where it can,
// by libjpeg directly for what it cannot (chroma layouts, restart markers, CMYK), and EXIF
// segments built byte by byte.

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageWriter>
#include <QList>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

namespace jpegfiles {

// Smooth colour with some ripples, so JPEG keeps it well yet every place has its own colour.
inline QImage photo(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x)
            line[x] = qRgb((x * 255) / std::max(1, w - 1), (y * 255) / std::max(1, h - 1),
                           128 + int(70 * std::sin(x / 9.0) * std::cos(y / 7.0)));
    }
    return image;
}

inline QByteArray qtJpeg(const QImage& image, bool progressive = false, int quality = 95) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    writer.setProgressiveScanWrite(progressive);
    return writer.write(image) ? bytes : QByteArray();
}

struct Layout {
    int lumaH = 2, lumaV = 2; // sampling of the first component; the others are 1 x 1
    int restartRows = 0;      // a restart marker every so many MCU rows
    bool cmyk = false;
    bool grey = false;
    bool progressive = false;
};

// What libjpeg itself writes for `image` at quality 92 in the given layout.
inline QByteArray libjpegFile(const QImage& image, const Layout& layout) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = JDIMENSION(image.width());
    cinfo.image_height = JDIMENSION(image.height());
    cinfo.input_components = layout.cmyk ? 4 : layout.grey ? 1 : 3;
    cinfo.in_color_space = layout.cmyk ? JCS_CMYK : layout.grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 92, TRUE);
    cinfo.comp_info[0].h_samp_factor = layout.lumaH;
    cinfo.comp_info[0].v_samp_factor = layout.lumaV;
    cinfo.restart_in_rows = layout.restartRows;
    if (layout.progressive)
        jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<unsigned char> row(std::size_t(image.width()) * 4);
    for (int y = 0; y < image.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int r = qRed(line[x]), g = qGreen(line[x]), b = qBlue(line[x]);
            if (layout.cmyk) {
                const int k = 255 - std::max({r, g, b});
                row[std::size_t(x) * 4 + 0] = static_cast<unsigned char>(255 - r - k);
                row[std::size_t(x) * 4 + 1] = static_cast<unsigned char>(255 - g - k);
                row[std::size_t(x) * 4 + 2] = static_cast<unsigned char>(255 - b - k);
                row[std::size_t(x) * 4 + 3] = static_cast<unsigned char>(k);
            } else if (layout.grey) {
                row[std::size_t(x)] = static_cast<unsigned char>(qGray(line[x]));
            } else {
                row[std::size_t(x) * 3 + 0] = static_cast<unsigned char>(r);
                row[std::size_t(x) * 3 + 1] = static_cast<unsigned char>(g);
                row[std::size_t(x) * 3 + 2] = static_cast<unsigned char>(b);
            }
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    QByteArray bytes(reinterpret_cast<const char*>(out), qsizetype(size));
    std::free(out);
    return bytes;
}

// One entry of an image file directory: a tag, its type, count and the first 16 bits of value.
struct Entry {
    quint16 tag;
    quint16 type;
    quint32 count;
    quint16 value;
};

// An "Exif\0\0" segment whose directories follow one another, each linked to the next.
inline QByteArray exifSegment(const QList<QList<Entry>>& directories, bool bigEndian = false) {
    QByteArray tiff;
    auto put16 = [&](quint16 v) {
        char b[2];
        bigEndian ? qToBigEndian(v, b) : qToLittleEndian(v, b);
        tiff.append(b, 2);
    };
    auto put32 = [&](quint32 v) {
        char b[4];
        bigEndian ? qToBigEndian(v, b) : qToLittleEndian(v, b);
        tiff.append(b, 4);
    };
    tiff.append(bigEndian ? "MM" : "II");
    put16(42);
    put32(8);
    for (qsizetype d = 0; d < directories.size(); ++d) {
        put16(quint16(directories[d].size()));
        for (const Entry& e : directories[d]) {
            put16(e.tag);
            put16(e.type);
            put32(e.count);
            put16(e.value);
            put16(0);
        }
        const bool last = d + 1 == directories.size();
        put32(last ? 0 : quint32(tiff.size() + 4));
    }
    return QByteArray("Exif\0\0", 6) + tiff;
}

inline QByteArray orientationSegment(int value, bool bigEndian = false) {
    return exifSegment({{{0x010F, 2, 4, 0}, {0x0112, 3, 1, quint16(value)}}}, bigEndian);
}

// `jpeg` with an APP1 segment holding `payload` right after its start marker.
inline QByteArray withApp1(const QByteArray& jpeg, const QByteArray& payload) {
    QByteArray segment("\xFF\xE1", 2);
    const quint16 length = quint16(payload.size() + 2);
    segment.append(char(length >> 8));
    segment.append(char(length & 0xFF));
    segment.append(payload);
    return jpeg.left(2) + segment + jpeg.mid(2);
}

// Where the entropy-coded data of the first scan starts.
inline qsizetype scanStart(const QByteArray& jpeg) {
    qsizetype at = 2;
    while (at + 4 <= jpeg.size() && quint8(jpeg[at]) == 0xFF) {
        const quint8 marker = quint8(jpeg[at + 1]);
        const int length = (quint8(jpeg[at + 2]) << 8) | quint8(jpeg[at + 3]);
        at += 2 + length;
        if (marker == 0xDA)
            return at;
    }
    return -1;
}

// `jpeg` with `length` bytes from `at` overwritten by junk holding stray marker bytes, which the
// entropy decoder cannot take for data.
inline QByteArray damaged(QByteArray jpeg, qsizetype at, int length) {
    for (int i = 0; i < length && at + i < jpeg.size(); ++i)
        jpeg[at + i] = char(i % 2 ? 0x20 + i : 0xFF);
    return jpeg;
}

// Where the frame header's sample precision sits.
inline qsizetype precisionByte(const QByteArray& jpeg) {
    qsizetype at = 2;
    while (at + 4 <= jpeg.size() && quint8(jpeg[at]) == 0xFF) {
        const quint8 marker = quint8(jpeg[at + 1]);
        if (marker >= 0xC0 && marker <= 0xC2)
            return at + 4;
        at += 2 + ((quint8(jpeg[at + 2]) << 8) | quint8(jpeg[at + 3]));
    }
    return -1;
}

} // namespace jpegfiles
