// SPDX-License-Identifier: MIT
// Writes the picture corpus into the folder given: pictures that must be refused and pictures that
// must be cut correctly, with a manifest "corpus.tsv" saying which is which. Each line holds
//   file <TAB> grid <TAB> fail <TAB> parts of the cause it must give, separated by ";"
//   file <TAB> grid <TAB> work <TAB> file of the expected picture, as a viewer shows it (PNG)
// Everything is made here from nothing, byte for byte the same on every run, so no picture of
// unknown origin enters the repository.

#include "gifwriter.h"

#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QProcess>
#include <QTextStream>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include <jpeglib.h>
#include <png.h>
#include <zlib.h>

namespace {

QDir g_out;
QString g_manifest;

[[noreturn]] void fatal(const QString& what) {
    std::fprintf(stderr, "makecorpus: %s\n", qPrintable(what));
    std::exit(1);
}

void put(const QString& name, const QByteArray& bytes) {
    QFile file(g_out.filePath(name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size() || !file.flush())
        fatal("cannot write " + file.fileName());
}

// A picture that cannot be read is named in the cause, with what is wrong with it if `cause`.
void mustFail(const QString& name, const QByteArray& bytes, int grid, QString cause = {}) {
    put(name, bytes);
    if (!cause.startsWith(QStringLiteral("too small")))
        cause = QStringLiteral("Could not read the picture;") + name +
                (cause.isEmpty() ? QString() : u';' + cause);
    g_manifest += QStringLiteral("%1\t%2\tfail\t%3\n").arg(name).arg(grid).arg(cause);
}

void mustWork(const QString& name, const QByteArray& bytes, int grid, const QImage& expected) {
    put(name, bytes);
    const QString png = name + QStringLiteral(".expected.png");
    if (!expected.save(g_out.filePath(png), "PNG"))
        fatal("cannot write " + png);
    g_manifest += QStringLiteral("%1\t%2\twork\t%3\n").arg(name).arg(grid).arg(png);
}

// ---- pictures ----

constexpr QRgb kRed = 0xFFDC1E1E, kGreen = 0xFF1EB43C, kBlue = 0xFF283CD2, kYellow = 0xFFE6D228;

// Four coloured quarters. At 4x4 every piece lies inside one quarter, and no turn or mirror of
// the picture leaves the quarters where they were, so a piece from the wrong place shows.
QImage quarters(int w, int h, QRgb tl = kRed, QRgb tr = kGreen, QRgb bl = kBlue,
                QRgb br = kYellow) {
    QImage image(w, h, QImage::Format_ARGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, y < h / 2 ? (x < w / 2 ? tl : tr) : (x < w / 2 ? bl : br));
    return image;
}

// Detail everywhere, so that a cut anywhere falls inside coded data.
QImage noise(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    quint32 state = 12345;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            state = state * 1664525u + 1013904223u;
            image.setPixel(x, y, 0xFF000000u | (state >> 8));
        }
    return image;
}

QByteArray jpeg(const QImage& image, bool progressive = false, int quality = 95) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    writer.setProgressiveScanWrite(progressive);
    if (!writer.write(image.convertToFormat(QImage::Format_RGB32)))
        fatal("jpeg: " + writer.errorString());
    return bytes;
}

// Qt's own conversion to 8 bits dithers onto a fixed palette even for a picture of four colours;
// this keeps every colour exact (at most 256 of them).
QImage indexed(const QImage& image) {
    if (image.format() == QImage::Format_Indexed8)
        return image;
    QImage out(image.size(), QImage::Format_Indexed8);
    QList<QRgb> table;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            qsizetype i = table.indexOf(p);
            if (i < 0) {
                if (table.size() == 256)
                    fatal("more than 256 colours for a GIF");
                i = table.size();
                table << p;
            }
            out.scanLine(y)[x] = uchar(i);
        }
    out.setColorTable(table);
    return out;
}

QByteArray gif(int screenW, int screenH, QList<GifFrame> frames) {
    for (GifFrame& frame : frames)
        frame.image = indexed(frame.image);
    return gifwriter::encode(screenW, screenH, frames);
}

// Offset of the first marker `second` (the byte after 0xFF), searching from `from`.
qsizetype marker(const QByteArray& jpegBytes, unsigned char second, qsizetype from = 0) {
    const char m[2] = {char(0xFF), char(second)};
    const qsizetype at = jpegBytes.indexOf(QByteArray(m, 2), from);
    if (at < 0)
        fatal(QStringLiteral("no marker %1").arg(second, 2, 16));
    return at;
}

QByteArray withClaimedSize(QByteArray bytes, int w, int h) {
    const qsizetype sof = marker(bytes, 0xC0);
    bytes[sof + 5] = char(h >> 8);
    bytes[sof + 6] = char(h & 0xFF);
    bytes[sof + 7] = char(w >> 8);
    bytes[sof + 8] = char(w & 0xFF);
    return bytes;
}

// ---- EXIF ----

// An APP1 segment whose first image file directory holds one entry, Orientation. The byte order
// alternates with the value, so both orders are read. `ifdOffset` past the end makes it damaged.
QByteArray exifSegment(int orientation, bool littleEndian, quint32 ifdOffset = 8) {
    QByteArray tiff;
    auto u16 = [&](quint16 v) {
        if (littleEndian) {
            tiff.append(char(v & 0xFF));
            tiff.append(char(v >> 8));
        } else {
            tiff.append(char(v >> 8));
            tiff.append(char(v & 0xFF));
        }
    };
    auto u32 = [&](quint32 v) {
        if (littleEndian) {
            u16(quint16(v & 0xFFFF));
            u16(quint16(v >> 16));
        } else {
            u16(quint16(v >> 16));
            u16(quint16(v & 0xFFFF));
        }
    };
    tiff.append(littleEndian ? "II" : "MM");
    u16(42);
    u32(ifdOffset);
    u16(1);      // one entry
    u16(0x0112); // Orientation
    u16(3);      // SHORT
    u32(1);
    u16(quint16(orientation)); // the value, left-aligned in its four bytes
    u16(0);
    u32(0); // no further directory
    const QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    const int length = int(payload.size()) + 2;
    return QByteArray("\xFF\xE1", 2) + char(length >> 8) + char(length & 0xFF) + payload;
}

QByteArray withSegment(const QByteArray& jpegBytes, const QByteArray& segment) {
    return jpegBytes.left(2) + segment + jpegBytes.mid(2);
}

// The stored picture that a viewer turns into `shown` for EXIF orientation `o`. Written out
// pixel by pixel from the definition of each orientation (where the stored picture's first row
// and column end up), not through any library's transform.
QImage storedFor(const QImage& shown, int o) {
    const int w = shown.width(), h = shown.height();
    const bool turned = o >= 5;
    QImage stored(turned ? h : w, turned ? w : h, QImage::Format_ARGB32);
    const int sw = stored.width(), sh = stored.height();
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int sx = x, sy = y; // the stored pixel shown at (x, y)
            switch (o) {
            case 2:
                sx = sw - 1 - x;
                break;
            case 3:
                sx = sw - 1 - x;
                sy = sh - 1 - y;
                break;
            case 4:
                sy = sh - 1 - y;
                break;
            case 5:
                sx = y;
                sy = x;
                break;
            case 6:
                sx = y;
                sy = sh - 1 - x;
                break;
            case 7:
                sx = sw - 1 - y;
                sy = sh - 1 - x;
                break;
            case 8:
                sx = sw - 1 - y;
                sy = x;
                break;
            default:
                break;
            }
            stored.setPixel(sx, sy, shown.pixel(x, y));
        }
    return stored;
}

// ---- JPEGs written by hand ----

// libjpeg's own encoding of `rgb`, each pixel turned into `components` samples by `samples`,
// after `configure` has set what the defaults do not.
template <typename Configure, typename Samples>
QByteArray libjpegEncode(const QImage& rgb, int components, J_COLOR_SPACE space,
                         Configure configure, Samples samples) {
    jpeg_compress_struct c{};
    jpeg_error_mgr errors{};
    c.err = jpeg_std_error(&errors);
    jpeg_create_compress(&c);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buffer, &size);
    c.image_width = JDIMENSION(rgb.width());
    c.image_height = JDIMENSION(rgb.height());
    c.input_components = components;
    c.in_color_space = space;
    jpeg_set_defaults(&c);
    configure(c);
    jpeg_start_compress(&c, TRUE);
    QByteArray row(rgb.width() * components, Qt::Uninitialized);
    while (c.next_scanline < c.image_height) {
        const int y = int(c.next_scanline);
        for (int x = 0; x < rgb.width(); ++x)
            samples(rgb.pixel(x, y), reinterpret_cast<uchar*>(row.data()) + components * x);
        JSAMPROW rows[1] = {reinterpret_cast<JSAMPLE*>(row.data())};
        jpeg_write_scanlines(&c, rows, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    QByteArray out(reinterpret_cast<const char*>(buffer), qsizetype(size));
    std::free(buffer);
    return out;
}

// CMYK as Adobe's programs write it, inverted (255 is no ink), which is what libjpeg's Adobe
// marker announces and what viewers expect.
QByteArray cmykJpeg(const QImage& rgb, bool progressive = false) {
    return libjpegEncode(
        rgb, 4, JCS_CMYK,
        [progressive](jpeg_compress_struct& c) {
            jpeg_set_quality(&c, 95, TRUE);
            if (progressive)
                jpeg_simple_progression(&c);
        },
        [](QRgb p, uchar* out) {
            const int k = 255 - std::max({qRed(p), qGreen(p), qBlue(p)});
            auto ink = [k](int v) { return k == 255 ? 0 : (255 - v - k) * 255 / (255 - k); };
            out[0] = uchar(255 - ink(qRed(p)));
            out[1] = uchar(255 - ink(qGreen(p)));
            out[2] = uchar(255 - ink(qBlue(p)));
            out[3] = uchar(255 - k);
        });
}

// A complete, valid 16 x 16 grey JPEG of 12-bit samples: extended sequential (SOF1), 16-bit
// quantisation table, one-code Huffman tables, four blocks that are all zero.
QByteArray twelveBitJpeg() {
    QByteArray b("\xFF\xD8", 2);
    auto segment = [&b](unsigned char kind, const QByteArray& body) {
        const int length = int(body.size()) + 2;
        b.append(char(0xFF));
        b.append(char(kind));
        b.append(char(length >> 8));
        b.append(char(length & 0xFF));
        b.append(body);
    };
    QByteArray dqt(1, char(0x10)); // 16-bit entries, table 0
    for (int i = 0; i < 64; ++i)
        dqt.append("\x00\x01", 2);
    segment(0xDB, dqt);
    segment(0xC1, QByteArray("\x0C\x00\x10\x00\x10\x01\x01\x11\x00", 9));
    QByteArray dc(1, char(0x00)); // DC table 0: one code of one bit, category 0
    dc.append(char(1));
    dc.append(15, char(0));
    dc.append(char(0));
    segment(0xC4, dc);
    QByteArray ac(1, char(0x10)); // AC table 0: one code of one bit, end of block
    ac.append(char(1));
    ac.append(15, char(0));
    ac.append(char(0));
    segment(0xC4, ac);
    segment(0xDA, QByteArray("\x01\x01\x00\x00\x3F\x00", 6));
    b.append(char(0x00)); // four blocks of two bits each
    b.append("\xFF\xD9", 2);
    return b;
}

// Damage in the middle of the scan: a marker where coded data should be, then garbage.
QByteArray corruptScan(QByteArray bytes) {
    const qsizetype sos = marker(bytes, 0xDA);
    const qsizetype eoi = bytes.lastIndexOf(QByteArray("\xFF\xD9", 2));
    const qsizetype at = (sos + eoi) / 2;
    bytes[at] = char(0xFF);
    bytes[at + 1] = char(0xD5);
    for (int i = 2; i < 40; ++i)
        bytes[at + i] = char((i * 73) & 0x7F);
    return bytes;
}

// A progressive JPEG cut just before one of its later scans: what is left ends cleanly between
// scans, so only the missing end marker says that something is gone.
QByteArray progressiveCutBetweenScans(const QByteArray& bytes) {
    qsizetype sos = marker(bytes, 0xDA);
    for (int scan = 0; scan < 3; ++scan)
        sos = marker(bytes, 0xDA, sos + 2);
    return bytes.left(sos);
}

// ---- what cameras, phones and editors write around the picture ----

QByteArray segment(int kind, const QByteArray& payload) {
    const int length = int(payload.size()) + 2;
    return QByteArray("\xFF", 1) + char(kind) + char(length >> 8) + char(length & 0xFF) + payload;
}

// Bytes between the last scan and the end marker, as some cameras leave them.
QByteArray withJunkBeforeEnd(const QByteArray& bytes, int count) {
    QByteArray junk;
    for (int i = 0; i < count; ++i)
        junk.append(char(0x20 + (i * 37) % 0x5F)); // never 0xFF: not a marker
    return bytes.chopped(2) + junk + bytes.right(2);
}

// A phone's "motion photo": a short video after the end marker, markers and all.
QByteArray withDataAfterEnd(const QByteArray& bytes) {
    QByteArray video("\x00\x00\x00\x18"
                     "ftypmp42",
                     12);
    for (int i = 0; i < 50000; ++i)
        video.append(char((i * 131) & 0xFF));
    return bytes + video;
}

// An XMP packet in its own APP1 segment, ahead of anything else.
QByteArray xmpSegment() {
    return segment(0xE1, QByteArray("http://ns.adobe.com/xap/1.0/\0", 29) +
                             "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF/></x:xmpmeta>");
}

// EXIF whose first directory has no orientation and whose second (the thumbnail's) has one.
QByteArray exifThumbnailOnly(int orientation) {
    QByteArray tiff("II\x2A\x00\x08\x00\x00\x00", 8);
    auto u16 = [&](quint16 v) { tiff.append(char(v & 0xFF)).append(char(v >> 8)); };
    auto u32 = [&](quint32 v) {
        u16(quint16(v & 0xFFFF));
        u16(quint16(v >> 16));
    };
    u16(1); // IFD0: Make, an ASCII value of four bytes held in place
    u16(0x010F);
    u16(2);
    u32(4);
    tiff.append("Cam", 4);
    u32(8 + 2 + 12 + 4); // IFD1 follows
    u16(1);
    u16(0x0112);
    u16(3);
    u32(1);
    u16(quint16(orientation));
    u16(0);
    u32(0);
    return segment(0xE1, QByteArray("Exif\0\0", 6) + tiff);
}

// A progressive JPEG of many scans, each valid: every AC coefficient of every component in a
// scan of its own, sent in three passes of successive approximation.
QByteArray manyScans(const QImage& rgb) {
    std::vector<jpeg_scan_info> scans;
    for (const auto& [ah, al] : {std::pair{0, 2}, std::pair{2, 1}, std::pair{1, 0}}) {
        scans.push_back({3, {0, 1, 2, 0}, 0, 0, ah, al});
        for (int ci = 0; ci < 3; ++ci)
            for (int k = 1; k < 64; ++k)
                scans.push_back({1, {ci, 0, 0, 0}, k, k, ah, al});
    }
    return libjpegEncode(
        rgb, 3, JCS_RGB,
        [&scans](jpeg_compress_struct& c) {
            c.scan_info = scans.data();
            c.num_scans = int(scans.size());
        },
        [](QRgb p, uchar* out) {
            out[0] = uchar(qRed(p));
            out[1] = uchar(qGreen(p));
            out[2] = uchar(qBlue(p));
        });
}

// ---- PNG, WebP, HEIC and AVIF, each written by its own library ----

// Raw chunks around the image data, for what libpng does not write: eXIf, APNG's frames.
struct PngKind {
    int colour = PNG_COLOR_TYPE_RGB, depth = 8;
    bool interlaced = false;
    QList<QByteArray> before = {}, after = {}; // type (4 bytes) followed by the data
};

QByteArray png(const QImage& image, const PngKind& kind = {}) {
    QByteArray out;
    png_structp p = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(p);
    png_set_write_fn(
        p, &out,
        [](png_structp q, png_bytep d, size_t n) {
            static_cast<QByteArray*>(png_get_io_ptr(q))->append(reinterpret_cast<char*>(d), n);
        },
        nullptr);
    png_set_IHDR(p, info, image.width(), image.height(), kind.depth, kind.colour,
                 kind.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, 0, 0);
    const QImage pal = kind.colour == PNG_COLOR_TYPE_PALETTE ? indexed(image) : QImage();
    if (kind.colour == PNG_COLOR_TYPE_PALETTE) {
        std::vector<png_color> colours;
        std::vector<png_byte> alphas;
        for (QRgb c : pal.colorTable()) {
            colours.push_back({png_byte(qRed(c)), png_byte(qGreen(c)), png_byte(qBlue(c))});
            alphas.push_back(png_byte(qAlpha(c)));
        }
        png_set_PLTE(p, info, colours.data(), int(colours.size()));
        png_set_tRNS(p, info, alphas.data(), int(alphas.size()), nullptr);
    }
    png_write_info(p, info);
    const auto chunks = [p](const QList<QByteArray>& list) {
        for (const QByteArray& c : list)
            png_write_chunk(p, reinterpret_cast<png_const_bytep>(c.constData()),
                            reinterpret_cast<png_const_bytep>(c.constData() + 4), c.size() - 4);
    };
    chunks(kind.before);
    const int channels = png_get_channels(p, info), bytes = kind.depth / 8;
    QByteArray row(image.width() * channels * bytes, Qt::Uninitialized);
    for (int pass = png_set_interlace_handling(p); pass > 0; --pass)
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0, at = 0; x < image.width(); ++x) {
                const QRgb c = image.pixel(x, y);
                const int rgba[4] = {qRed(c), qGreen(c), qBlue(c), qAlpha(c)};
                for (int i = 0; i < channels; ++i, at += bytes) {
                    const int v = kind.colour == PNG_COLOR_TYPE_PALETTE ? pal.pixelIndex(x, y)
                                  : channels == 2                       ? rgba[i * 3]
                                                                        : rgba[i];
                    row[at] = char(v); // 16 bits: the value twice, v * 257
                    if (bytes == 2)
                        row[at + 1] = char(v);
                }
            }
            png_write_row(p, reinterpret_cast<png_const_bytep>(row.constData()));
        }
    chunks(kind.after);
    png_write_end(p, nullptr);
    png_destroy_write_struct(&p, &info);
    return out;
}

// A chunk's data, or the one at `chunk` (its length field) with its CRC made right again.
QByteArray pngData(const char* type, const QByteArray& data) {
    return QByteArray(type, 4) + data;
}
QByteArray withPngCrc(QByteArray bytes, qsizetype chunk) {
    const quint32 length = qFromBigEndian<quint32>(bytes.constData() + chunk);
    const auto* body = reinterpret_cast<const Bytef*>(bytes.constData() + chunk + 4);
    qToBigEndian(quint32(crc32(0, body, length + 4)), bytes.data() + chunk + 8 + length);
    return bytes;
}

// `images` handed as PNG files to one of the formats' own encoders (cwebp, img2webp, heif-enc),
// with `args` before them; what it wrote. 64-bit images go as 16-bit PNGs.
QByteArray encodedBy(const QString& tool, QStringList args, const QList<QImage>& images) {
    for (int i = 0; i < images.size(); ++i) {
        args << g_out.filePath(QStringLiteral("encoder-input-%1.png").arg(i));
        // Opaque pictures go without an alpha channel, which the encoders would keep.
        bool opaque = true;
        for (int y = 0; y < images[i].height(); ++y)
            for (int x = 0; x < images[i].width(); ++x)
                opaque = opaque && qAlpha(images[i].pixel(x, y)) == 255;
        const QImage image = opaque && images[i].depth() == 32
                                 ? images[i].convertToFormat(QImage::Format_RGB32)
                                 : images[i];
        if (!image.save(args.back(), "PNG"))
            fatal("cannot write " + args.back());
    }
    const QString out = g_out.filePath(QStringLiteral("encoder-output"));
    QProcess process;
    process.start(tool, args << QStringLiteral("-o") << out);
    if (!process.waitForFinished(120'000) || process.exitCode() != 0)
        fatal(tool + ": " + QString::fromLocal8Bit(process.readAllStandardError()));
    QFile file(out);
    if (!file.open(QIODevice::ReadOnly))
        fatal(tool + " wrote nothing");
    for (const QString& made : g_out.entryList({QStringLiteral("encoder-*")}))
        g_out.remove(made);
    return file.readAll();
}

QByteArray heif(const QImage& image, QStringList args = {}) {
    return encodedBy(QStringLiteral("heif-enc"), args << QStringLiteral("-q") << "90", {image});
}
QByteArray webp(const QImage& image, QStringList args = {}) {
    return encodedBy(QStringLiteral("cwebp"), args << QStringLiteral("-q") << "90", {image});
}

// HEIF pictures of each chroma layout, range and matrix, expected as libheif itself shows them
// (heif-convert): its RGB, kept beside as "<name>.libheif.png", and laid on white.
void heifAsLibheifShowsIt(const QString& name, const QImage& image, const QStringList& args) {
    const QString stored = g_out.filePath(name), shown = name + QStringLiteral(".libheif.png");
    const QByteArray bytes = heif(image, args);
    put(name, bytes);
    if (QProcess::execute(QStringLiteral("heif-convert"), {stored, g_out.filePath(shown)}) != 0)
        fatal("heif-convert failed on " + name);
    QImage onWhite(QImage(g_out.filePath(shown)).size(), QImage::Format_RGB32);
    onWhite.fill(Qt::white);
    QPainter(&onWhite).drawImage(0, 0, QImage(g_out.filePath(shown)));
    mustWork(name, bytes, 4, onWhite);
}

// The last box of `type` overwritten with the same number of bytes from `with`.
QByteArray withBox(QByteArray bytes, const char* type, const QByteArray& with) {
    const qsizetype at = bytes.lastIndexOf(type) - 4;
    if (at < 0)
        fatal(QStringLiteral("no %1 box").arg(QLatin1String(type)));
    return bytes.replace(at, with.size(), with);
}

// `count` bytes of junk (never 0xFF) before the marker at `at`.
QByteArray withJunkAt(const QByteArray& bytes, qsizetype at, int count = 4) {
    return bytes.left(at) + QByteArray(count, '\x5A') + bytes.mid(at);
}

void makeFormatCorpus(const QImage& pattern, const QImage& busy) {
    // Red and blue quarters, the other two clear: white in the pieces.
    const QImage clear = quarters(160, 120, kRed, 0x00FF00FF, 0x00FF00FF, kBlue);
    const QImage onWhite = quarters(160, 120, kRed, 0xFFFFFFFF, 0xFFFFFFFF, kBlue);
    const QImage grey = quarters(160, 120, 0xFF202020, 0xFF606060, 0xFFA0A0A0, 0xFFE0E0E0);
    const QByteArray plainPng = png(pattern);
    const qsizetype idat = plainPng.indexOf("IDAT") - 4;
    mustWork(QStringLiteral("plain.png"), plainPng, 4, pattern);
    mustWork(QStringLiteral("palette-transparent.png"), png(clear, {PNG_COLOR_TYPE_PALETTE}), 4,
             onWhite);
    mustWork(QStringLiteral("grey-16-bit-interlaced.png"),
             png(grey, {PNG_COLOR_TYPE_GRAY, 16, true}), 4, grey);
    mustWork(QStringLiteral("rgba-16-bit.png"), png(clear, {PNG_COLOR_TYPE_RGB_ALPHA, 16}), 4,
             onWhite);
    mustWork(
        QStringLiteral("exif-6.png"),
        png(storedFor(pattern, 6), {.before = {pngData("eXIf", exifSegment(6, false).mid(10))}}), 4,
        pattern);
    {
        // APNG: the default image is frame 0; a viewer without animation shows it, as here.
        QByteArray control(26, 0);
        qToBigEndian(quint32(160), control.data() + 4);
        qToBigEndian(quint32(120), control.data() + 8);
        QByteArray second = control;
        second[3] = 1;
        // Frame 1: a black picture's rows (filter byte and pixels all zero), in zlib's stream.
        const QByteArray frame = qCompress(QByteArray(481 * 120, 0)).mid(4);
        mustWork(QStringLiteral("animated.png"),
                 png(pattern, {.before = {pngData("acTL", QByteArray("\0\0\0\2\0\0\0\0", 8)),
                                          pngData("fcTL", control)},
                               .after = {pngData("fcTL", second),
                                         pngData("fdAT", QByteArray("\0\0\0\2", 4) + frame)}}),
                 4, pattern);
    }
    mustWork(QStringLiteral("data-after-iend.png"), withDataAfterEnd(plainPng), 4, pattern);
    mustWork(QStringLiteral("no-iend.png"), plainPng.chopped(12), 4, pattern);
    const QByteArray busyPng = png(busy);
    mustFail(QStringLiteral("truncated.png"), busyPng.left(busyPng.size() * 55 / 100), 4,
             QStringLiteral("ends before the picture does"));
    QByteArray flipped = plainPng;
    flipped[idat + 60] = char(flipped[idat + 60] ^ 0x55);
    mustFail(QStringLiteral("zlib-damaged.png"), withPngCrc(flipped, idat), 4,
             QStringLiteral("the data is damaged"));
    flipped = plainPng; // now with its IDAT CRC wrong
    flipped[flipped.indexOf("IEND") - 5] = char(~flipped[flipped.indexOf("IEND") - 5]);
    mustFail(QStringLiteral("idat-crc.png"), flipped, 4, QStringLiteral("IDAT: CRC error"));
    QByteArray huge = plainPng;
    qToBigEndian(quint32(25000), huge.data() + 16);
    qToBigEndian(quint32(10001), huge.data() + 20);
    mustFail(QStringLiteral("over-the-limit.png"), withPngCrc(huge, 8), 4,
             QStringLiteral("25000 x 10001;250 megapixels"));

    const QByteArray lossy = webp(pattern);
    mustWork(QStringLiteral("lossy.webp"), lossy, 4, pattern);
    mustWork(QStringLiteral("lossy-transparent.webp"), webp(clear), 4, onWhite);
    mustWork(QStringLiteral("lossless-transparent.webp"),
             webp(clear, {QStringLiteral("-lossless")}), 4, onWhite);
    mustWork(QStringLiteral("animated.webp"),
             encodedBy(QStringLiteral("img2webp"), {}, {pattern, busy.copy(0, 0, 160, 120)}), 4,
             pattern);
    mustWork(QStringLiteral("data-after-riff.webp"), withDataAfterEnd(lossy), 4, pattern);
    const QByteArray busyWebp = webp(busy);
    mustFail(QStringLiteral("truncated.webp"), busyWebp.left(busyWebp.size() * 55 / 100), 4,
             QStringLiteral("ends before the picture does"));
    QByteArray wide = lossy; // the VP8 frame header's 14-bit sizes
    qToLittleEndian(quint16(16383), wide.data() + 26);
    qToLittleEndian(quint16(16000), wide.data() + 28);
    mustFail(QStringLiteral("over-the-limit.webp"), wide, 4,
             QStringLiteral("16383 x 16000;250 megapixels"));

    mustWork(QStringLiteral("plain.heic"), heif(pattern), 4, pattern);
    mustWork(QStringLiteral("ten-bit-transparent.heic"),
             heif(clear.convertToFormat(QImage::Format_RGBA64), {"-b", "10"}), 4, onWhite);
    mustWork(QStringLiteral("transparent.avif"), heif(clear, {"-A"}), 4, onWhite);
    mustWork(QStringLiteral("twelve-bit.avif"),
             heif(pattern.convertToFormat(QImage::Format_RGBX64), {"-A", "-b", "12"}), 4, pattern);
    // Turned a quarter anticlockwise for showing (irot), in place of the primary image's pixi.
    mustWork(QStringLiteral("rotated.heic"),
             withBox(heif(storedFor(pattern, 8)), "pixi",
                     QByteArray("\0\0\0\x10irot\1", 9) + QByteArray(7, 0)),
             4, pattern);
    QImage hues(161, 121, QImage::Format_ARGB32); // odd sides: a last chroma sample of one pixel
    for (int y = 0; y < hues.height(); ++y)
        for (int x = 0; x < hues.width(); ++x)
            hues.setPixelColor(x, y, QColor::fromHsv(x * 2, 255 - y, 255, 255 - x));
    const QImage opaque = hues.convertToFormat(QImage::Format_RGB32);
    for (const auto& [name, args] : std::vector<std::pair<QString, QStringList>>{
             {"ycbcr-420.heic", {"-p", "chroma=420"}},
             {"ycbcr-422.heic", {"-p", "chroma=422"}},
             {"limited-range-709.heic", {"--matrix_coefficients=1", "--full_range_flag=0"}},
             {"ycbcr-420.avif", {"-A", "-p", "chroma=420"}}})
        heifAsLibheifShowsIt(name, opaque, args);
    heifAsLibheifShowsIt("alpha-420.heic", hues, {"-p", "chroma=420"});
    heifAsLibheifShowsIt("alpha-444.avif", hues, {"-A", "-p", "chroma=444"});
    heifAsLibheifShowsIt("grey.heic", opaque.convertToFormat(QImage::Format_Grayscale8), {});
    const QByteArray busyHeic = heif(busy);
    mustFail(QStringLiteral("truncated.heic"), busyHeic.left(busyHeic.size() * 55 / 100), 4);
    const QByteArray busyAvif = heif(busy, {"-A"});
    mustFail(QStringLiteral("truncated.avif"), busyAvif.left(busyAvif.size() * 55 / 100), 4);
    mustFail(QStringLiteral("over-the-limit.heic"),
             withBox(heif(pattern), "ispe",
                     QByteArray("\0\0\0\x14ispe\0\0\0\0\0\0\x61\xA8\0\0\x27\x11", 20)),
             4, QStringLiteral("25000 x 10001;250 megapixels"));

    // JPEGs with junk between header segments, as an editor, a camera and a photo site leave it;
    // junk before a restart marker is damage to the scan.
    mustWork(QStringLiteral("junk-before-dqt.jpg"),
             withJunkAt(jpeg(pattern), marker(jpeg(pattern), 0xDB)), 4, pattern);
    const QByteArray app13 = withSegment(withSegment(jpeg(pattern), exifSegment(1, true)),
                                         segment(0xED, "Photoshop 3.0"));
    mustWork(QStringLiteral("junk-after-app13.jpg"), withJunkAt(app13, marker(app13, 0xE1)), 4,
             pattern);
    const QByteArray app14 = withSegment(jpeg(pattern), segment(0xEE, "Unknown"));
    mustWork(QStringLiteral("junk-after-unknown-app14.jpg"),
             withJunkAt(app14, marker(app14, 0xEE) + 11), 4, pattern);
    const QByteArray restarts = libjpegEncode(
        busy, 3, JCS_RGB, [](jpeg_compress_struct& c) { c.restart_in_rows = 1; },
        [](QRgb p, uchar* out) {
            out[0] = uchar(qRed(p));
            out[1] = uchar(qGreen(p));
            out[2] = uchar(qBlue(p));
        });
    mustFail(QStringLiteral("junk-before-restart-marker.jpg"),
             withJunkAt(restarts, marker(restarts, 0xD3)), 4,
             QStringLiteral("extraneous bytes before marker 0xd3"));
    // GIF's smallest and largest minimum code sizes.
    GifFrame eleven{pattern};
    eleven.codeSize = 11;
    eleven.compress = true;
    mustWork(QStringLiteral("code-size-11.gif"), gif(160, 120, {eleven}), 4, pattern);
    const QImage twoColours = quarters(160, 120, kRed, kBlue, kBlue, kRed);
    GifFrame one{twoColours};
    one.codeSize = 1;
    one.tableBits = 1;
    mustWork(QStringLiteral("code-size-1.gif"), gif(160, 120, {one}), 4, twoColours);
}

// ---- the corpus ----

void makeCorpus() {
    const QImage pattern = quarters(160, 120);
    const QByteArray patternJpeg = jpeg(pattern);
    const QImage busy = noise(240, 200);
    const QByteArray busyJpeg = jpeg(busy);
    const QByteArray busyGif = gif(240, 200, {{busy.convertToFormat(QImage::Format_Indexed8)}});

    // Refused, each with the cause it must give.
    mustFail(QStringLiteral("zero-bytes.jpg"), QByteArray(), 4, QStringLiteral("empty"));
    mustFail(QStringLiteral("text-named.jpg"), "These are words, not a picture.\n", 4,
             QStringLiteral("not a JPEG, GIF"));
    mustFail(QStringLiteral("truncated.jpg"), busyJpeg.left(busyJpeg.size() * 55 / 100), 4);
    const QByteArray busyProgressive = jpeg(busy, true);
    mustFail(QStringLiteral("truncated-progressive.jpg"),
             busyProgressive.left(busyProgressive.size() * 55 / 100), 4);
    mustFail(QStringLiteral("progressive-cut-between-scans.jpg"),
             progressiveCutBetweenScans(busyProgressive), 4);
    // The same with an EXIF turn, which the whole-picture decoder takes.
    mustFail(QStringLiteral("progressive-turned-cut-between-scans.jpg"),
             progressiveCutBetweenScans(withSegment(busyProgressive, exifSegment(6, false))), 4);
    mustFail(QStringLiteral("progressive-cmyk-cut-between-scans.jpg"),
             progressiveCutBetweenScans(cmykJpeg(busy, true)), 4);
    mustFail(QStringLiteral("truncated.gif"), busyGif.left(busyGif.size() / 2), 4);
    mustFail(QStringLiteral("corrupt-scan.jpg"), corruptScan(busyJpeg), 4);
    mustFail(QStringLiteral("twelve-bit.jpg"), twelveBitJpeg(), 3, QStringLiteral("12"));
    mustFail(QStringLiteral("claims-65000x65000.jpg"), withClaimedSize(patternJpeg, 65000, 65000),
             4, QStringLiteral("65000 x 65000"));
    // Within the format, and 400 megapixels: more than the allocation limit allows.
    mustFail(QStringLiteral("over-the-limit.jpg"), withClaimedSize(patternJpeg, 20000, 20000), 4,
             QStringLiteral("20000 x 20000"));
    // The same for the whole-picture decoder: an EXIF turn, and a GIF screen.
    mustFail(QStringLiteral("over-the-limit-turned.jpg"),
             withSegment(withClaimedSize(patternJpeg, 20000, 20000), exifSegment(6, true)), 4,
             QStringLiteral("20000 x 20000"));
    mustFail(QStringLiteral("screen-over-the-limit.gif"), gif(20000, 20000, {{pattern}}), 4,
             QStringLiteral("20000 x 20000"));
    mustFail(QStringLiteral("frame-65535x65535.gif"),
             gif(40, 30, {{quarters(40, 30), -1, 65535, 65535}}), 4,
             QStringLiteral("65535 x 65535"));
    {
        // A GIF whose first frame loses a pixel, or whose data cannot be decoded at all.
        GifFrame cut{busy.convertToFormat(QImage::Format_Indexed8)};
        cut.codedPixels = 240 * 200 - 1;
        cut.interlaced = true;
        mustFail(QStringLiteral("one-pixel-short-interlaced.gif"), gif(240, 200, {cut}), 4,
                 QStringLiteral("the data ends before the picture does"));
        GifFrame wide{pattern};
        wide.declaredCodeSize = 12;
        mustFail(QStringLiteral("code-size-12.gif"), gif(160, 120, {wide}), 4,
                 QStringLiteral("code size 12"));
        GifFrame undefined{pattern};
        undefined.compress = true;
        undefined.undefinedCodeAt = 5000;
        mustFail(QStringLiteral("undefined-code.gif"), gif(160, 120, {undefined}), 4,
                 QStringLiteral("the data is damaged"));
    }
    mustFail(QStringLiteral("one-pixel.jpg"), jpeg(quarters(1, 1)), 9, QStringLiteral("too small"));
    mustFail(QStringLiteral("two-by-hundred.jpg"), jpeg(quarters(2, 100)), 9,
             QStringLiteral("too small"));
    mustFail(QStringLiteral("hundred-by-two.gif"), gif(100, 2, {{quarters(100, 2)}}), 9,
             QStringLiteral("too small"));

    // Cut, and each piece must show its part of the expected picture.
    mustWork(QStringLiteral("plain.jpg"), patternJpeg, 4, pattern);
    mustWork(QStringLiteral("gif-named.jpg"), gif(160, 120, {{pattern}}), 4, pattern);
    mustWork(QStringLiteral("jpeg-named.gif"), patternJpeg, 4, pattern);
    mustWork(QStringLiteral("progressive.jpg"), jpeg(pattern, true), 4, pattern);
    mustWork(QStringLiteral("cmyk.jpg"), cmykJpeg(pattern), 4, pattern);
    mustWork(QStringLiteral("progressive-cmyk-no-end-marker.jpg"),
             cmykJpeg(pattern, true).chopped(2), 4, pattern);
    mustWork(QStringLiteral("grey.jpg"),
             jpeg(quarters(160, 120, 0xFF202020, 0xFF606060, 0xFFA0A0A0, 0xFFE0E0E0)
                      .convertToFormat(QImage::Format_Grayscale8)),
             4, quarters(160, 120, 0xFF202020, 0xFF606060, 0xFFA0A0A0, 0xFFE0E0E0));
    for (int o = 1; o <= 8; ++o)
        mustWork(QStringLiteral("exif-%1.jpg").arg(o),
                 withSegment(jpeg(storedFor(pattern, o)), exifSegment(o, o % 2 == 1)), 4, pattern);
    // Turned, and read in RGB rows.
    mustWork(QStringLiteral("cmyk-exif-6.jpg"),
             withSegment(cmykJpeg(storedFor(pattern, 6)), exifSegment(6, false)), 4, pattern);
    // Damaged EXIF: the picture is cut as stored.
    mustWork(QStringLiteral("exif-broken-offset.jpg"),
             withSegment(patternJpeg, exifSegment(6, false, 0x7FFF)), 4, pattern);
    mustWork(QStringLiteral("exif-orientation-9.jpg"),
             withSegment(patternJpeg, exifSegment(9, true)), 4, pattern);
    mustWork(QStringLiteral("exif-truncated-segment.jpg"),
             withSegment(patternJpeg, QByteArray("\xFF\xE1\x00\x0C"
                                                 "Exif\0\0MM\x00",
                                                 14)),
             4, pattern);
    mustWork(QStringLiteral("no-end-marker.jpg"), patternJpeg.chopped(2), 4, pattern);
    // Every scan there, only the end marker missing, and an EXIF turn for the whole-picture
    // decoder.
    mustWork(QStringLiteral("progressive-turned-no-end-marker.jpg"),
             withSegment(jpeg(storedFor(pattern, 6), true), exifSegment(6, false)).chopped(2), 4,
             pattern);
    // Intact pictures with what real files carry around them: every pixel as the file means it.
    mustWork(QStringLiteral("junk-before-end-marker.jpg"), withJunkBeforeEnd(patternJpeg, 194), 4,
             pattern);
    mustWork(QStringLiteral("progressive-junk-before-end-marker.jpg"),
             withJunkBeforeEnd(jpeg(pattern, true), 40), 4, pattern);
    mustWork(QStringLiteral("data-after-end-marker.jpg"), withDataAfterEnd(patternJpeg), 4,
             pattern);
    mustWork(QStringLiteral("long-comments.jpg"),
             withSegment(withSegment(patternJpeg, segment(0xFE, QByteArray(65000, 'c'))),
                         segment(0xFE, QByteArray(12, '\xFF'))),
             4, pattern);
    {
        QByteArray odd = patternJpeg;
        for (int kind = 0xE2; kind <= 0xED; ++kind)
            odd = withSegment(odd, segment(kind, QByteArray(300, char(kind))));
        mustWork(QStringLiteral("unknown-app-segments.jpg"), odd, 4, pattern);
    }
    mustWork(QStringLiteral("garbage-exif.jpg"),
             withSegment(patternJpeg, segment(0xE1, QByteArray("Exif\0\0", 6) + "garbage")), 4,
             pattern);
    // Viewers take the first EXIF segment whatever comes before it, and its first directory only.
    mustWork(
        QStringLiteral("xmp-then-exif-6.jpg"),
        withSegment(withSegment(jpeg(storedFor(pattern, 6)), exifSegment(6, true)), xmpSegment()),
        4, pattern);
    mustWork(QStringLiteral("orientation-only-for-the-thumbnail.jpg"),
             withSegment(patternJpeg, exifThumbnailOnly(6)), 4, pattern);
    mustWork(QStringLiteral("second-exif-segment-ignored.jpg"),
             withSegment(withSegment(patternJpeg, exifSegment(6, false)), exifSegment(1, true)), 4,
             pattern);
    // Damage and waste the decoder would let through.
    {
        const QByteArray progressive = jpeg(busy, true);
        const qsizetype second = marker(progressive, 0xDA, marker(progressive, 0xDA) + 2);
        mustFail(QStringLiteral("progressive-first-scan-then-end-marker.jpg"),
                 progressive.left(second) + QByteArray("\xFF\xD9", 2), 4,
                 QStringLiteral("ends before the picture does"));
    }
    mustFail(QStringLiteral("five-hundred-and-seventy-scans.jpg"), manyScans(pattern), 4,
             QStringLiteral("more scans than any picture needs"));
    // Just over the limit, by its header: 25000 x 10001 is 250,025,000 pixels.
    mustFail(QStringLiteral("just-over-the-limit.jpg"), withClaimedSize(patternJpeg, 25000, 10001),
             4, QStringLiteral("25000 x 10001;250 megapixels"));
    mustFail(QStringLiteral("just-over-the-limit.gif"), gif(25000, 10001, {{pattern}}), 4,
             QStringLiteral("25000 x 10001;250 megapixels"));
    {
        GifFrame interlaced{pattern};
        interlaced.interlaced = true;
        interlaced.compress = true;
        mustWork(QStringLiteral("interlaced-compressed.gif"), gif(160, 120, {interlaced}), 4,
                 pattern);
    }
    {
        QImage second(160, 120, QImage::Format_RGB32);
        second.fill(qRgb(255, 0, 255));
        mustWork(QStringLiteral("animated.gif"), gif(160, 120, {{pattern}, {second}}), 4, pattern);
    }
    {
        // Red and blue quarters, the other two transparent: white in every piece, including
        // those that come straight after a red one.
        QImage clear = quarters(160, 120, kRed, 0xFFFF00FF, 0xFFFF00FF, kBlue);
        const int index = indexed(clear).pixelIndex(159, 0);
        mustWork(QStringLiteral("transparent.gif"), gif(160, 120, {{clear, index}}), 4,
                 quarters(160, 120, kRed, 0xFFFFFFFF, 0xFFFFFFFF, kBlue));
    }
    {
        // A 4000 x 3000 screen with one 160 x 120 frame inside it: the rest of the screen is
        // not part of the picture and shows as nothing, white in the pieces.
        GifFrame frame{pattern};
        frame.left = 1100;
        frame.top = 800;
        QImage shown(4000, 3000, QImage::Format_RGB32);
        shown.fill(Qt::white);
        QPainter(&shown).drawImage(frame.left, frame.top, pattern);
        mustWork(QStringLiteral("large-screen.gif"), gif(4000, 3000, {frame}), 4, shown);
    }
    makeFormatCorpus(pattern, busy);
}

} // namespace

int main(int argc, char** argv) {
    // Only the encoders are needed, never a display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2)
        fatal("usage: makecorpus FOLDER");
    g_out = QDir(QString::fromLocal8Bit(argv[1]));
    if (!g_out.mkpath(QStringLiteral(".")))
        fatal("cannot make " + g_out.path());
    makeCorpus();
    put(QStringLiteral("corpus.tsv"), g_manifest.toUtf8());
    return 0;
}
