// SPDX-License-Identifier: MIT
#include "picture/pngsource.h"

#include "picture/jpegsource.h"
#include "picture/memoryneed.h"
#include "picture/messages.h"
#include "picture/picturefile.h"

#include <QtEndian>

#include <png.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

namespace picture {
namespace {

constexpr std::array<unsigned char, 8> kSignature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// An empty IEND chunk, CRC included.
constexpr std::array<unsigned char, 12> kEnd{0,   0,   0,    0,    'I',  'E',
                                             'N', 'D', 0xAE, 0x42, 0x60, 0x82};

// One libpng decoder over one open file. libpng reports errors through a callback that must not
// return: it jumps back into run(), across libpng's frames and callbacks that hold no C++ objects.
class PngReader {
public:
    explicit PngReader(std::shared_ptr<const PictureFile> file)
        : m_file(std::move(file)) {
        m_png = png_create_read_struct(PNG_LIBPNG_VER_STRING, this, &onError, &onWarning);
        if (m_png)
            m_info = png_create_info_struct(m_png);
        if (m_info)
            png_set_read_fn(m_png, this, &readData);
    }
    ~PngReader() { png_destroy_read_struct(&m_png, &m_info, nullptr); }
    PngReader(const PngReader&) = delete;
    PngReader& operator=(const PngReader&) = delete;

    bool valid() const { return m_info != nullptr; }

    // Calls `work` with libpng's two structures; false when libpng stopped it with an error.
    template <typename Work>
    bool run(Work&& work) {
        if (setjmp(png_jmpbuf(m_png)))
            return false;
        work(m_png, m_info);
        return true;
    }

    // Calls `use`, which makes no call that can fail, with libpng's two structures.
    template <typename Use>
    auto with(Use&& use) {
        return use(m_png, m_info);
    }

    // Why run() failed.
    QString error() const {
        if (!m_readError.isEmpty())
            return m_readError;
        if (m_ended || m_madeUpEnd)
            return endsEarly();
        return damagedData(QString::fromLatin1(m_message.data()));
    }

private:
    static void onError(png_structp png, png_const_charp message) {
        auto* self = static_cast<PngReader*>(png_get_error_ptr(png));
        std::snprintf(self->m_message.data(), self->m_message.size(), "%s", message);
        png_longjmp(png, 1);
    }
    static void onWarning(png_structp, png_const_charp) {} // libpng went on: nothing was lost

    static void readData(png_structp png, png_bytep data, size_t length) {
        if (!static_cast<PngReader*>(png_get_io_ptr(png))->fill(data, length))
            png_error(png, "the file ends");
    }

    // Where the file ends after a whole chunk (libpng asks for the next chunk's eight header
    // bytes and none is left), an IEND follows that is not in the file: a file that lacks only
    // its IEND reads, while one whose image data stops short meets the end and fails.
    bool fill(png_bytep data, size_t length) {
        const size_t wanted = length;
        while (length > 0) {
            if (m_at == m_end && !refill())
                break;
            const size_t n = std::min(length, size_t(m_end - m_at));
            std::memcpy(data, m_buffer.data() + m_at, n);
            m_at += qint64(n);
            data += n;
            length -= n;
        }
        if (length == 0)
            return true;
        if (wanted == 8 && length == 8 && !m_madeUpEnd && m_readError.isEmpty()) {
            m_madeUpEnd = true;
            std::memcpy(m_buffer.data(), kEnd.data(), kEnd.size());
            m_at = 0;
            m_end = qint64(kEnd.size());
            return fill(data, length);
        }
        m_ended = true;
        return false;
    }

    bool refill() {
        if (m_madeUpEnd)
            return false;
        m_at = m_end = 0;
        const qint64 got = m_file->read(m_offset, reinterpret_cast<char*>(m_buffer.data()),
                                        qint64(m_buffer.size()), &m_readError);
        if (got <= 0)
            return false;
        m_offset += got;
        m_end = got;
        return true;
    }

    std::shared_ptr<const PictureFile> m_file;
    png_structp m_png = nullptr;
    png_infop m_info = nullptr;
    qint64 m_offset = 0;
    qint64 m_at = 0, m_end = 0;
    bool m_ended = false;
    bool m_madeUpEnd = false;
    QString m_readError;
    std::array<char, 256> m_message{};
    std::array<unsigned char, 64 * 1024> m_buffer{};
};

struct Header {
    png_uint_32 width = 0, height = 0;
    std::size_t rowBytes = 0; // as transformed
    bool alpha = false;
    int passes = 1;
};

// The transforms that make every kind of PNG rows of QImage's RGB32 or ARGB32.
void setTransforms(png_structp png, png_infop info, Header& header) {
    int depth = 0, colour = 0, interlace = 0;
    png_get_IHDR(png, info, &header.width, &header.height, &depth, &colour, &interlace, nullptr,
                 nullptr);
    header.alpha =
        (colour & PNG_COLOR_MASK_ALPHA) != 0 || png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    png_set_expand(png); // palette, grey below 8 bits and tRNS to whole channels
    png_set_scale_16(png);
    png_set_gray_to_rgb(png);
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    png_set_bgr(png);
    if (!header.alpha)
        png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
#else
    if (header.alpha)
        png_set_swap_alpha(png);
    else
        png_set_filler(png, 0xFF, PNG_FILLER_BEFORE);
#endif
    header.passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    header.rowBytes = png_get_rowbytes(png, info);
}

// The orientation of the EXIF data in an eXIf chunk before the image data, as JPEG's APP1 has it.
Orientation exifChunkOrientation(png_structp png, png_infop info) {
    png_uint_32 length = 0;
    png_bytep exif = nullptr;
    if (png_get_eXIf_1(png, info, &length, &exif) == 0 || !exif)
        return Orientation::Upright;
    const QByteArray segment =
        QByteArray("Exif\0\0", 6) + QByteArray(reinterpret_cast<const char*>(exif), length);
    return orientationFromExif(exifOrientation(
        reinterpret_cast<const unsigned char*>(segment.constData()), std::size_t(segment.size())));
}

class PngSource final : public BandSource {
public:
    PngSource(const QString& path, std::unique_ptr<PngReader> reader, const Header& header,
              Orientation orientation)
        : BandSource(path, QSize(int(header.width), int(header.height)), header.alpha, orientation)
        , m_reader(std::move(reader))
        , m_header(header) {}

protected:
    bool readRows(uchar* out, qsizetype stride, int rows, QString& why) override {
        if (m_header.passes > 1)
            return copyInterlaced(out, stride, rows, why);
        const bool read = m_reader->run([out, stride, rows](png_structp png, png_infop) {
            for (int i = 0; i < rows; ++i)
                png_read_row(png, out + stride * i, nullptr);
        });
        if (!read)
            why = m_reader->error();
        return read;
    }

    bool finish(QString& why) override {
        if (m_reader->run([](png_structp png, png_infop) { png_read_end(png, nullptr); }))
            return true;
        why = m_reader->error();
        return false;
    }

private:
    // An interlaced picture's rows come whole only after its last pass: it is decoded whole.
    bool copyInterlaced(uchar* out, qsizetype stride, int rows, QString& why) {
        const qsizetype rowBytes = qsizetype(m_header.width) * 4;
        if (!m_whole) {
            m_whole.reset(new (std::nothrow) uchar[std::size_t(rowBytes) * m_header.height]);
            if (!m_whole) {
                why = notEnoughMemory();
                return false;
            }
            uchar* whole = m_whole.get();
            const Header header = m_header;
            if (!m_reader->run([whole, rowBytes, header](png_structp png, png_infop) {
                    for (int pass = 0; pass < header.passes; ++pass)
                        for (png_uint_32 y = 0; y < header.height; ++y)
                            png_read_row(png, whole + rowBytes * y, nullptr);
                })) {
                why = m_reader->error();
                return false;
            }
        }
        for (int i = 0; i < rows; ++i, ++m_row)
            std::memcpy(out + stride * i, m_whole.get() + rowBytes * m_row, std::size_t(rowBytes));
        return true;
    }

    std::unique_ptr<PngReader> m_reader;
    Header m_header;
    std::unique_ptr<uchar[]> m_whole; // an interlaced picture, decoded
    qsizetype m_row = 0;              // the next row of m_whole to hand out
};

} // namespace

FormatOpening openPng(const std::shared_ptr<const PictureFile>& file) {
    FormatOpening opening;
    const QByteArray start = file->read(0, 24);
    if (!start.startsWith(QByteArray(reinterpret_cast<const char*>(kSignature.data()), 8)))
        return opening;
    opening.recognised = true;
    // IHDR comes first: its size is checked before libpng reads anything.
    if (start.size() == 24 && start.mid(12, 4) == "IHDR") {
        const auto* at = reinterpret_cast<const uchar*>(start.constData());
        const qint64 width = qFromBigEndian<quint32>(at + 16);
        const qint64 height = qFromBigEndian<quint32>(at + 20);
        if (width * height > kMaxPixels) {
            opening.error = tooManyPixels(width, height);
            return opening;
        }
    }
    auto reader = std::make_unique<PngReader>(file);
    if (!reader->valid()) {
        opening.error = notEnoughMemory();
        return opening;
    }
    Header header;
    if (!reader->run([&header](png_structp png, png_infop info) {
            png_read_info(png, info);
            setTransforms(png, info, header);
        })) {
        opening.error = reader->error();
        return opening;
    }
    if (header.rowBytes != std::size_t(header.width) * 4) {
        opening.error = damagedData(QStringLiteral("its rows cannot be made 32 bits a pixel"));
        return opening;
    }
    // An interlaced picture is decoded whole before its first row comes out.
    if (header.passes > 1)
        opening.error = memoryShortfall(qint64(header.rowBytes) * header.height);
    if (!opening.error.isEmpty())
        return opening;
    const Orientation orientation = reader->with(&exifChunkOrientation);
    opening.source =
        std::make_unique<PngSource>(file->path(), std::move(reader), header, orientation);
    return opening;
}

} // namespace picture
