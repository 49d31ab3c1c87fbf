// SPDX-License-Identifier: MIT
#include "picture/jpegsource.h"

#include "picture/jpegdecoder.h"
#include "picture/jpegerrors.h"
#include "picture/jpegidct.h"
#include "picture/memoryneed.h"
#include "picture/picturefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cstring>

namespace picture {
namespace {

using jpeg::checkComplete;
using jpeg::Decoder;
using jpeg::endsWithEndMarker;

QString failure(const QString& path, const QString& reason) {
    return unreadablePicture(QDir::toNativeSeparators(path), reason);
}

// The orientation that viewers apply: the one of the first APP1 segment that holds EXIF data
// (XMP and others may come before it); 1 when there is none or it is damaged.
Orientation orientationOf(const jpeg_decompress_struct& cinfo) {
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next) {
        if (m->marker != JPEG_APP0 + 1 || m->data_length < 6 ||
            std::memcmp(m->data, "Exif\0\0", 6) != 0)
            continue;
        return orientationFromExif(exifOrientation(m->data, m->data_length));
    }
    return Orientation::Upright;
}

class JpegSource final : public Source, public JpegPlanes {
public:
    QSize size() const override { return shownSize(m_orientation, m_size); }
    Orientation orientation() const override { return m_orientation; }

    bool nextRows(int rows, QImage& band, QString& error) override {
        if (rows < 0 || m_next + rows > m_size.height()) {
            error = fewerRows();
            return false;
        }
        if (!start(Mode::Pixels, error))
            return false;
        if (rows > 0) {
            if (!shapeBand(band, m_size.width(), rows, QImage::Format_RGB32, error))
                return false;
            uchar* bits = band.bits();
            const qsizetype stride = band.bytesPerLine();
            const bool read = m_decoder.run([bits, stride, rows](jpeg_decompress_struct& c) {
                JSAMPROW pointers[16];
                int done = 0;
                while (done < rows) {
                    const int ask = std::min(rows - done, 16);
                    for (int i = 0; i < ask; ++i)
                        pointers[i] = bits + qsizetype(done + i) * stride;
                    done += int(jpeg_read_scanlines(&c, pointers, JDIMENSION(ask)));
                }
            });
            if (!read) {
                error = failure(m_path, m_decoder.error());
                return false;
            }
            if (m_cmyk)
                for (int i = 0; i < rows; ++i)
                    cmykToRgb32(bits + qsizetype(i) * stride);
        } else {
            band = QImage();
        }
        m_next += rows;
        return finishAtTheEnd(error);
    }

    bool canReadPlanes() const override {
        return m_mode == Mode::Planes || (m_mode == Mode::Undecided && m_planar);
    }

    PlaneLayout planeLayout() const override { return m_layout; }

    bool nextPlanes(uchar* y, uchar* cb, uchar* cr, int& rows, QString& error) override {
        if (!canReadPlanes()) {
            error = QStringLiteral("The picture cannot be read as planes.");
            return false;
        }
        if (m_next >= m_size.height()) {
            error = fewerRows();
            return false;
        }
        if (!start(Mode::Planes, error))
            return false;
        PlaneLayout layout = m_layout;
        if (m_deferred) {
            layout.lumaStride *= 2;
            layout.chromaStride *= 2;
        } else if (layout.grey) {
            const qsizetype chroma = layout.chromaStride * (layout.rowsPerRead / layout.vy);
            std::memset(cb, 128, std::size_t(chroma));
            std::memset(cr, 128, std::size_t(chroma));
        }
        const bool read = m_decoder.run([y, cb, cr, layout](jpeg_decompress_struct& c) {
            JSAMPROW lumaRows[16], cbRows[8], crRows[8];
            for (int i = 0; i < layout.rowsPerRead; ++i)
                lumaRows[i] = y + qsizetype(i) * layout.lumaStride;
            for (int i = 0; i < layout.rowsPerRead / layout.vy; ++i) {
                cbRows[i] = cb + qsizetype(i) * layout.chromaStride;
                crRows[i] = cr + qsizetype(i) * layout.chromaStride;
            }
            JSAMPARRAY planes[3] = {lumaRows, cbRows, crRows};
            jpeg_read_raw_data(&c, planes, JDIMENSION(layout.rowsPerRead));
        });
        if (!read) {
            error = failure(m_path, m_decoder.error());
            return false;
        }
        rows = std::min(m_layout.rowsPerRead, m_size.height() - m_next);
        m_next += rows;
        return finishAtTheEnd(error);
    }

    bool deferInverseDct() override {
        if (m_deferred)
            return true;
        if (!canReadPlanes() || m_next > 0 || !jpeg::deferredTransformTrusted())
            return false;
        if (m_mode == Mode::Planes && !m_transform.install(m_decoder.cinfo()))
            return false;
        m_deferred = true;
        return true;
    }

    void inverseDct(int component, const uchar* coefficients, qsizetype stride, int blockRows,
                    int first, int count, uchar* out, qsizetype outStride) const override {
        if (m_layout.grey && component > 0) {
            for (int row = 0; row < blockRows * DCTSIZE; ++row)
                std::memset(out + qsizetype(row) * outStride, 128, std::size_t(count) * DCTSIZE);
            return;
        }
        m_transform.run(component, coefficients, stride, blockRows, first, count, out, outStride);
    }

    void inverseDctTurned(int component, const uchar* coefficients, qsizetype stride, int blockRows,
                          int first, int count, Orientation orientation, int across, int down,
                          int top, uchar* out, qsizetype outStride) const override {
        if (m_layout.grey && component > 0) {
            // Neutral all over, filled with the region's first rows.
            if (top > 0)
                return;
            const int size = DCTSIZE;
            const int width = swapsSides(orientation) ? down : across;
            const int height = swapsSides(orientation) ? across : down;
            for (int row = 0; row < height * size; ++row)
                std::memset(out + qsizetype(row) * outStride, 128, std::size_t(width) * size);
            return;
        }
        m_transform.runTurned(component, coefficients, stride, blockRows, first, count, orientation,
                              across, down, top, out, outStride);
    }

    static JpegOpening open(const std::shared_ptr<const picture::PictureFile>& file,
                            bool checkEveryRow, bool planesFirst);

    bool decodeScaled(int denom) {
        if (m_mode != Mode::Undecided || (denom != 2 && denom != 4 && denom != 8))
            return false;
        jpeg_decompress_struct& c = m_decoder.cinfo();
        c.scale_num = 1;
        c.scale_denom = unsigned(denom);
        if (!m_decoder.run([](jpeg_decompress_struct& d) { jpeg_calc_output_dimensions(&d); })) {
            c.scale_denom = 1;
            return false;
        }
        m_size = QSize(int(c.output_width), int(c.output_height));
        m_planar = false; // the stored planes are full size
        return true;
    }

private:
    // Ink to light, in place: C, M, Y, K bytes become B, G, R, 0xFF (Format_RGB32). Adobe's
    // programs, which write nearly every CMYK JPEG, store the inks inverted (255: none).
    void cmykToRgb32(uchar* row) const {
        for (int x = 0; x < m_size.width(); ++x, row += 4) {
            int c = row[0], m = row[1], y = row[2], k = row[3];
            if (!m_inverted) {
                c = 255 - c;
                m = 255 - m;
                y = 255 - y;
                k = 255 - k;
            }
            const QRgb rgb = qRgb(k * c / 255, k * m / 255, k * y / 255);
            std::memcpy(row, &rgb, 4);
        }
    }

    enum class Mode { Undecided, Pixels, Planes };

    bool start(Mode mode, QString& error) {
        if (m_mode == mode)
            return true;
        if (m_mode != Mode::Undecided) {
            error = QStringLiteral("The picture is already being read another way.");
            return false;
        }
        m_mode = mode;
        jpeg_decompress_struct& c = m_decoder.cinfo();
        c.out_color_space = mode == Mode::Planes ? JCS_YCbCr
                            : m_cmyk             ? JCS_CMYK
                                                 : jpeg::kRgb32Layout;
        c.raw_data_out = mode == Mode::Planes ? TRUE : FALSE;
        if (!m_decoder.run([](jpeg_decompress_struct& d) { jpeg_start_decompress(&d); })) {
            error = failure(m_path, m_decoder.error());
            return false;
        }
        if (qint64(c.output_width) != m_size.width() ||
            qint64(c.output_height) != m_size.height() ||
            (mode == Mode::Pixels && c.output_components != 4)) {
            error = failure(m_path, QStringLiteral("the decoder gives another size than expected"));
            return false;
        }
        // Asked for before decoding started: every condition it depends on was known then.
        if (m_deferred && !m_transform.install(c)) {
            error = failure(m_path, QStringLiteral("its blocks cannot be handed out undone"));
            return false;
        }
        return true;
    }

    // What follows the last row is read too: an error there still means a damaged file.
    bool finishAtTheEnd(QString& error) {
        if (m_next < m_size.height() || m_finished)
            return true;
        m_finished = true;
        if (!m_decoder.run([](jpeg_decompress_struct& c) { jpeg_finish_decompress(&c); })) {
            error = failure(m_path, m_decoder.error());
            return false;
        }
        if (const QString why = m_decoder.readFailure(); !why.isEmpty()) {
            error = failure(m_path, why);
            return false;
        }
        return true;
    }

    Decoder m_decoder;
    jpeg::DeferredTransform m_transform;
    bool m_deferred = false; // nextPlanes() hands out coefficients
    QString m_path;
    QSize m_size;
    Mode m_mode = Mode::Undecided;
    bool m_planar = false;
    bool m_cmyk = false;
    bool m_inverted = false;
    Orientation m_orientation = Orientation::Upright;
    PlaneLayout m_layout;
    int m_next = 0;
    bool m_finished = false;
};

// The layout of a single-scan YCbCr JPEG whose chroma is a whole fraction of its luma, when it is
// one the slicer can take as it is.
bool storedLayout(jpeg_decompress_struct& c, PlaneLayout& layout) {
    const jpeg_component_info* comp = c.comp_info;
    if (c.jpeg_color_space == JCS_GRAYSCALE && c.num_components == 1) {
        // Grey takes the 4:2:0 road with neutral chroma: one block row of luma a read.
        layout.grey = true;
        layout.hx = 2;
        layout.vy = 2;
        layout.rowsPerRead = DCTSIZE * comp[0].v_samp_factor;
        layout.lumaStride = qsizetype(comp[0].width_in_blocks) * DCTSIZE;
        layout.chromaStride = (layout.lumaStride / 2 + DCTSIZE - 1) / DCTSIZE * DCTSIZE;
        return comp[0].v_samp_factor == 1;
    }
    if (c.jpeg_color_space != JCS_YCbCr || c.num_components != 3)
        return false;
    const int h = comp[0].h_samp_factor, v = comp[0].v_samp_factor;
    if (comp[1].h_samp_factor != 1 || comp[1].v_samp_factor != 1 || comp[2].h_samp_factor != 1 ||
        comp[2].v_samp_factor != 1 || (h != 1 && h != 2 && h != 4) || v < 1 || v > 2)
        return false;
    layout.hx = comp[0].h_samp_factor;
    layout.vy = comp[0].v_samp_factor;
    layout.rowsPerRead = DCTSIZE * layout.vy;
    layout.lumaStride = qsizetype(comp[0].width_in_blocks) * DCTSIZE;
    layout.chromaStride = qsizetype(comp[1].width_in_blocks) * DCTSIZE;
    return true;
}

// What libjpeg holds of a picture of several scans while it decodes it: every coefficient of every
// component, each side rounded up to whole units of its sampling.
qint64 coefficientBytes(const jpeg_decompress_struct& c) {
    qint64 bytes = 0;
    for (int i = 0; i < c.num_components; ++i) {
        const jpeg_component_info& comp = c.comp_info[i];
        const qint64 h = comp.h_samp_factor, v = comp.v_samp_factor;
        bytes += (comp.width_in_blocks + h - 1) / h * h *
                 ((comp.height_in_blocks + v - 1) / v * v) * qint64(sizeof(JBLOCK));
    }
    return bytes;
}

JpegOpening failed(const QString& path, const QString& reason) {
    JpegOpening opening;
    opening.verdict = JpegVerdict::Failed;
    opening.error = failure(path, reason);
    return opening;
}

JpegOpening JpegSource::open(const std::shared_ptr<const picture::PictureFile>& file,
                             bool checkEveryRow, bool planesFirst) {
    JpegOpening opening; // whole picture unless shown otherwise
    const QString& path = file->path();
    // Other formats are the whole-picture decoder's to word.
    if (file->read(0, 3) != QByteArray("\xFF\xD8\xFF", 3))
        return opening;
    const bool complete = endsWithEndMarker(*file);
    auto source = std::make_unique<JpegSource>();
    source->m_path = path;
    Decoder& decoder = source->m_decoder;
    decoder.open(file);

    jpeg_decompress_struct& c = decoder.cinfo();
    jpeg_save_markers(&c, JPEG_APP0 + 1, 0xFFFF);
    int header = JPEG_SUSPENDED;
    if (!decoder.run(
            [&header](jpeg_decompress_struct& d) { header = jpeg_read_header(&d, FALSE); }))
        return failed(path, decoder.error());
    if (header != JPEG_HEADER_OK)
        return failed(path, QStringLiteral("the file holds no picture"));
    if (c.data_precision != 8)
        return failed(path, QStringLiteral("%1-bit samples cannot be read").arg(c.data_precision));
    source->m_orientation = orientationOf(c);
    switch (c.jpeg_color_space) {
    case JCS_GRAYSCALE:
    case JCS_YCbCr:
    case JCS_RGB:
        break;
    case JCS_CMYK:
    case JCS_YCCK:
        source->m_cmyk = true;
        source->m_inverted = c.saw_Adobe_marker;
        break;
    default:
        return failed(path, QStringLiteral("its colour space cannot be read"));
    }
    const qint64 width = c.image_width, height = c.image_height;
    if (width <= 0 || height <= 0)
        return failed(path, noPixels());
    if (width * height > kMaxPixels)
        return failed(path, tooManyPixels(width, height));
    // A file of several scans has all its data read when decoding starts, just below.
    if ((!complete || checkEveryRow) && !jpeg_has_multiple_scans(&c)) {
        if (const QString why = checkComplete(file); !why.isEmpty())
            return failed(path, why);
    }

    source->m_size = QSize(int(width), int(height));
    source->m_planar = storedLayout(c, source->m_layout);
    if (jpeg_has_multiple_scans(&c)) {
        if (const QString why = memoryShortfall(coefficientBytes(c)); !why.isEmpty())
            return failed(path, why);
        // Such a file is read whole when decoding starts, so its damage shows here, before
        // anything is written. Its planes serve as a single scan's do.
        QString error;
        const bool planes = planesFirst && source->m_planar;
        if (!source->start(planes ? JpegSource::Mode::Planes : JpegSource::Mode::Pixels, error)) {
            opening.verdict = JpegVerdict::Failed;
            opening.error = error;
            return opening;
        }
        if (const QString why = decoder.readFailure(); !why.isEmpty())
            return failed(path, why);
        if (const QString why = decoder.scansComplete(); !why.isEmpty())
            return failed(path, why);
    }
    opening.verdict = JpegVerdict::Banded;
    opening.orientation = source->orientation();
    opening.source = std::move(source);
    return opening;
}

} // namespace

JpegOpening openJpegSource(const std::shared_ptr<const picture::PictureFile>& file,
                           bool checkEveryRow, bool planesFirst) {
    return JpegSource::open(file, checkEveryRow, planesFirst);
}

JpegOpening openJpegSource(const QString& path, bool checkEveryRow) {
    QString error;
    const auto file = picture::PictureFile::open(path, error);
    if (!file)
        return {}; // files that are no picture files are the whole-picture decoder's to word
    return JpegSource::open(file, checkEveryRow, false);
}

bool decodeJpegScaled(Source& source, int denom) {
    auto* jpeg = dynamic_cast<JpegSource*>(&source);
    return jpeg && jpeg->decodeScaled(denom);
}

int exifOrientation(const unsigned char* segment, std::size_t size) {
    constexpr int kBroken = -1;
    if (!segment || size < 6 || std::memcmp(segment, "Exif\0\0", 6) != 0)
        return kBroken;
    const unsigned char* tiff = segment + 6;
    const std::size_t length = size - 6;
    if (length < 8)
        return kBroken;
    bool little;
    if (tiff[0] == 'I' && tiff[1] == 'I')
        little = true;
    else if (tiff[0] == 'M' && tiff[1] == 'M')
        little = false;
    else
        return kBroken;
    // Callers make sure that `at` and its following bytes lie inside the data.
    const auto u16 = [&](std::size_t at) {
        return little ? qFromLittleEndian<quint16>(tiff + at) : qFromBigEndian<quint16>(tiff + at);
    };
    const auto u32 = [&](std::size_t at) {
        return little ? qFromLittleEndian<quint32>(tiff + at) : qFromBigEndian<quint32>(tiff + at);
    };
    if (u16(2) != 42)
        return kBroken;
    // Only the first directory describes the picture; the second is the thumbnail's, whose
    // orientation viewers ignore.
    const quint32 offset = u32(4);
    if (offset < 8 || offset > length || length - offset < 2)
        return kBroken;
    const std::size_t count = u16(offset);
    const std::size_t entries = std::size_t(offset) + 2;
    // The link to the next directory after the entries is not needed to read them, and browsers
    // do without it.
    if ((length - entries) / 12 < count)
        return kBroken;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t entry = entries + 12 * i;
        if (u16(entry) != 0x0112)
            continue;
        const quint16 type = u16(entry + 2);
        const quint32 components = u32(entry + 4);
        const quint16 value = u16(entry + 8);
        if (type != 3 || components != 1 || value < 1 || value > 8)
            return kBroken;
        return value;
    }
    return 0;
}

} // namespace picture
