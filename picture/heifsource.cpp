// SPDX-License-Identifier: MIT
#include "picture/heifsource.h"

#include "picture/heiflibrary.h"
#include "picture/memoryneed.h"
#include "picture/messages.h"
#include "picture/picturefile.h"

#include <malloc.h>

namespace picture {
namespace {

// Only ever called once the library is loaded: nothing of it exists before.
const heif::Library& lib() {
    return *heif::library();
}

struct ContextFree {
    void operator()(heif_context* context) const { lib().contextFree(context); }
};
struct HandleRelease {
    void operator()(const heif_image_handle* handle) const { lib().imageHandleRelease(handle); }
};
struct ImageRelease {
    void operator()(const heif_image* image) const { lib().imageRelease(image); }
};
using Image = std::unique_ptr<heif_image, ImageRelease>;

QString cause(const heif_error& error) {
    if (error.code == heif_error_Memory_allocation_error)
        return notEnoughMemory();
    if (error.subcode == heif_suberror_End_of_data)
        return endsEarly();
    const QString detail = QString::fromUtf8(error.message ? error.message : "");
    if (error.code == heif_error_Unsupported_feature ||
        error.code == heif_error_Unsupported_filetype)
        return QStringLiteral("it uses a HEIF feature that cannot be read: %1").arg(detail);
    return damagedData(detail);
}

// libheif reads the picture file through this, at the offsets it asks for.
struct FileReader {
    const PictureFile* file = nullptr;
    qint64 position = 0;

    static int64_t tell(void* self) { return static_cast<FileReader*>(self)->position; }
    static int read(void* data, size_t size, void* self) {
        auto* reader = static_cast<FileReader*>(self);
        const qint64 got =
            reader->file->read(reader->position, static_cast<char*>(data), qint64(size));
        if (got != qint64(size))
            return 1;
        reader->position += got;
        return 0;
    }
    static int seek(int64_t position, void* self) {
        auto* reader = static_cast<FileReader*>(self);
        if (position < 0 || position > reader->file->size())
            return 1;
        reader->position = position;
        return 0;
    }
    static heif_reader_grow_status waitForSize(int64_t size, void* self) {
        return size > static_cast<FileReader*>(self)->file->size()
                   ? heif_reader_grow_status_size_beyond_eof
                   : heif_reader_grow_status_size_reached;
    }
};

// Where the decoded picture's samples lie: red, green and blue (grey: one plane three times) and
// alpha, `step` bytes from one pixel to the next, `stride` bytes from one row to the next.
struct Samples {
    const uint8_t* channel[4] = {}; // R, G, B, A (null when opaque)
    int stride[4] = {};
    int step = 1;
    QSize size;
};

class HeifSource final : public BandSource {
public:
    HeifSource(const QString& path, Image image, const Samples& samples)
        : BandSource(path, samples.size, samples.channel[3] != nullptr, Orientation::Upright)
        , m_image(std::move(image))
        , m_samples(samples)
        , m_premultiplied(samples.channel[3] && lib().imageIsPremultipliedAlpha(m_image.get())) {}

    // The heap keeps large blocks once a HEIF picture is read (see keepLargeBlocksInHeap): this
    // one's are given back, so that the next picture of a process finds the machine's memory free.
    ~HeifSource() override {
        m_image.reset();
        malloc_trim(0);
    }

    bool decodedWhole() const override { return true; }

protected:
    bool readRows(uchar* out, qsizetype stride, int rows, QString&) override {
        const int width = m_samples.size.width();
        for (int i = 0; i < rows; ++i, ++m_row) {
            auto* to = reinterpret_cast<QRgb*>(out + stride * i);
            if (m_samples.step == 1)
                pack<1>(to, width);
            else if (m_samples.step == 3)
                pack<3>(to, width);
            else
                pack<4>(to, width);
            if (m_premultiplied)
                for (int x = 0; x < width; ++x)
                    to[x] = qUnpremultiply(to[x]);
        }
        return true;
    }

private:
    const uint8_t* rowOf(int channel) const {
        return m_samples.channel[channel] + qsizetype(m_samples.stride[channel]) * m_row;
    }

    // One row, in loops of whole rows that the compiler turns into vector code.
    template <int kStep>
    void pack(QRgb* to, int width) const {
        const uint8_t* r = rowOf(0);
        const uint8_t* g = rowOf(1);
        const uint8_t* b = rowOf(2);
        if (!m_samples.channel[3]) {
            for (int x = 0; x < width; ++x)
                to[x] =
                    0xFF000000u | uint(r[x * kStep]) << 16 | uint(g[x * kStep]) << 8 | b[x * kStep];
            return;
        }
        const uint8_t* a = rowOf(3);
        for (int x = 0; x < width; ++x)
            to[x] = uint(a[x * kStep]) << 24 | uint(r[x * kStep]) << 16 | uint(g[x * kStep]) << 8 |
                    b[x * kStep];
    }

    Image m_image;
    Samples m_samples;
    bool m_premultiplied;
    int m_row = 0;
};

// The samples of `image` as libheif keeps them after its own colour conversion, when they are
// 8-bit planes of the picture's size: R, G and B, or grey, and alpha when `alpha`.
bool planes(const heif_image* image, bool alpha, Samples& samples) {
    const heif_colorspace space = lib().imageGetColorspace(image);
    if (space != heif_colorspace_RGB && space != heif_colorspace_monochrome)
        return false;
    const bool grey = space == heif_colorspace_monochrome;
    const heif_channel channels[4] = {grey ? heif_channel_Y : heif_channel_R,
                                      grey ? heif_channel_Y : heif_channel_G,
                                      grey ? heif_channel_Y : heif_channel_B, heif_channel_Alpha};
    samples.size =
        QSize(lib().imageGetWidth(image, channels[0]), lib().imageGetHeight(image, channels[0]));
    for (int i = 0; i < (alpha ? 4 : 3); ++i) {
        const heif_channel channel = channels[i];
        samples.channel[i] = lib().imageGetPlaneReadonly(image, channel, &samples.stride[i]);
        if (!samples.channel[i] || lib().imageGetBitsPerPixelRange(image, channel) != 8 ||
            QSize(lib().imageGetWidth(image, channel), lib().imageGetHeight(image, channel)) !=
                samples.size ||
            samples.stride[i] < samples.size.width())
            return false;
    }
    samples.step = 1;
    return true;
}

// The samples of `image`, decoded as interleaved RGB or RGBA.
bool interleaved(const heif_image* image, bool alpha, Samples& samples) {
    samples.size = QSize(lib().imageGetWidth(image, heif_channel_interleaved),
                         lib().imageGetHeight(image, heif_channel_interleaved));
    samples.step = alpha ? 4 : 3;
    int stride = 0;
    const uint8_t* pixels = lib().imageGetPlaneReadonly(image, heif_channel_interleaved, &stride);
    if (!pixels || stride < samples.size.width() * samples.step)
        return false;
    for (int i = 0; i < samples.step; ++i) {
        samples.channel[i] = pixels + i;
        samples.stride[i] = stride;
    }
    return true;
}

// The primary image decoded as `colorspace` and `chroma`; null with `why` set when it cannot be.
Image decodeAs(const heif_image_handle* primary, heif_colorspace colorspace, heif_chroma chroma,
               QString& why) {
    heif_decoding_options* options = lib().decodingOptionsAlloc();
    if (!options) {
        why = notEnoughMemory();
        return nullptr;
    }
    options->convert_hdr_to_8bit = 1;
    options->strict_decoding = 1;
    heif_image* decoded = nullptr;
    const heif_error error = lib().decodeImage(primary, &decoded, colorspace, chroma, options);
    lib().decodingOptionsFree(options);
    Image image(decoded);
    if (error.code != heif_error_Ok) {
        why = cause(error);
        return nullptr;
    }
    return image;
}

// libheif 1.15 turns a picture of 8-bit samples into planes of R, G and B (grey stays one plane)
// before it hands it out; asked for interleaved RGB, it then writes the whole picture once more,
// into a third buffer of its size, at a cost in time and peak memory. Such a picture is asked for
// as libheif keeps it, and its planes are put together here row by row as the rows are read. Any
// other (more bits, made 8-bit by libheif) comes as interleaved RGB. Null with `why` set when the
// picture cannot be decoded.
Image decodeSamples(const heif_image_handle* primary, bool alpha, Samples& samples, QString& why) {
    if (lib().imageHandleGetLumaBitsPerPixel(primary) == 8) {
        Image image = decodeAs(primary, heif_colorspace_undefined, heif_chroma_undefined, why);
        if (!image || planes(image.get(), alpha, samples))
            return image;
        samples = {};
    }
    Image image = decodeAs(primary, heif_colorspace_RGB,
                           alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, why);
    if (image && !interleaved(image.get(), alpha, samples)) {
        why = damagedData(QStringLiteral("it decodes to another size than it says"));
        return nullptr;
    }
    return image;
}

// libheif decodes a picture into the codec's buffers, copies it out, converts that copy into
// another and frees each behind it: several blocks of the picture's size, one after the other.
// glibc maps each block this large afresh and unmaps it when freed, so every page of the next is
// faulted in again, which on a 12-megapixel picture costs more time than libheif's colour
// conversion. Kept in the heap, a freed block serves the next one. Once for the process: its other
// large blocks are few and live long.
void keepLargeBlocksInHeap() {
    static const bool kept = [] {
        constexpr int kLarge = 512 * 1024 * 1024;
        return mallopt(M_MMAP_THRESHOLD, kLarge) == 1 && mallopt(M_TRIM_THRESHOLD, kLarge) == 1;
    }();
    (void)kept;
}

// The primary image of an open file, decoded; null with `why` set when it cannot be.
Image decodePrimary(heif_context* context, Samples& samples, QString& why) {
    heif_image_handle* primary = nullptr;
    if (const heif_error error = lib().contextGetPrimaryImageHandle(context, &primary);
        error.code != heif_error_Ok) {
        why = cause(error);
        return nullptr;
    }
    const std::unique_ptr<const heif_image_handle, HandleRelease> handle(primary);
    const qint64 width = lib().imageHandleGetWidth(primary);
    const qint64 height = lib().imageHandleGetHeight(primary);
    if (width <= 0 || height <= 0) {
        why = noPixels();
        return nullptr;
    }
    if (width * height > kMaxPixels) {
        why = tooManyPixels(width, height);
        return nullptr;
    }
    const bool alpha = lib().imageHandleHasAlphaChannel(primary) != 0;
    // Decoded whole: the codec's planes (up to 4:4:4), then libheif's RGB (and alpha) beside them;
    // more bits are made 8-bit from planes of two bytes a sample.
    const int bytes = (alpha ? 8 : 6) * (lib().imageHandleGetLumaBitsPerPixel(primary) > 8 ? 2 : 1);
    why = memoryShortfall(width * height * bytes);
    if (!why.isEmpty())
        return nullptr;
    Image image = decodeSamples(primary, alpha, samples, why);
    if (image && (samples.size.isEmpty() ||
                  qint64(samples.size.width()) * samples.size.height() > kMaxPixels)) {
        why = damagedData(QStringLiteral("it decodes to another size than it says"));
        return nullptr;
    }
    return image;
}

} // namespace

FormatOpening openHeif(const std::shared_ptr<const PictureFile>& file) {
    FormatOpening opening;
    const QByteArray start = file->read(0, 64);
    // Every HEIF file starts with its file type box: no other file loads the library.
    if (start.size() < 12 || start.mid(4, 4) != "ftyp")
        return opening;
    if (!heif::library()) {
        opening.recognised = true;
        opening.error = QStringLiteral(
            "it may be a HEIC or AVIF picture, but libheif, which reads them, is not installed");
        return opening;
    }
    const heif_filetype_result kind =
        lib().checkFiletype(reinterpret_cast<const uint8_t*>(start.constData()), int(start.size()));
    if (kind != heif_filetype_yes_supported && kind != heif_filetype_yes_unsupported)
        return opening;
    opening.recognised = true;
    if (kind == heif_filetype_yes_unsupported) {
        opening.error = QStringLiteral("it is a kind of HEIF picture that cannot be read");
        return opening;
    }
    const std::unique_ptr<heif_context, ContextFree> context(lib().contextAlloc());
    FileReader reader{file.get()};
    const heif_reader calls{1, &FileReader::tell, &FileReader::read, &FileReader::seek,
                            &FileReader::waitForSize};
    if (!context) {
        opening.error = notEnoughMemory();
        return opening;
    }
    if (const heif_error error =
            lib().contextReadFromReader(context.get(), &calls, &reader, nullptr);
        error.code != heif_error_Ok) {
        opening.error = cause(error);
        return opening;
    }
    keepLargeBlocksInHeap();
    Samples samples;
    Image image = decodePrimary(context.get(), samples, opening.error);
    if (!image)
        return opening;
    opening.source = std::make_unique<HeifSource>(file->path(), std::move(image), samples);
    return opening;
}

} // namespace picture
