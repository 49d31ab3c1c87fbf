// SPDX-License-Identifier: MIT
#include "picture/heifsource.h"

#include "picture/heiflibrary.h"
#include "picture/messages.h"
#include "picture/picturefile.h"

#include <cstring>

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

class HeifSource final : public BandSource {
public:
    HeifSource(const QString& path, Image image, QSize size, bool alpha)
        : BandSource(path, size, alpha, Orientation::Upright)
        , m_image(std::move(image))
        , m_width(size.width())
        , m_alpha(alpha) {
        m_pixels = lib().imageGetPlaneReadonly(m_image.get(), heif_channel_interleaved, &m_stride);
    }

    bool decodedWhole() const override { return true; }

protected:
    bool readRows(uchar* out, qsizetype stride, int rows, QString&) override {
        const bool premultiplied = m_alpha && lib().imageIsPremultipliedAlpha(m_image.get());
        for (int i = 0; i < rows; ++i, ++m_row) {
            const uint8_t* from = m_pixels + qsizetype(m_stride) * m_row;
            auto* to = reinterpret_cast<QRgb*>(out + stride * i);
            if (!m_alpha) {
                for (int x = 0; x < m_width; ++x, from += 3)
                    to[x] = qRgb(from[0], from[1], from[2]);
                continue;
            }
            for (int x = 0; x < m_width; ++x, from += 4) {
                const QRgb pixel = qRgba(from[0], from[1], from[2], from[3]);
                to[x] = premultiplied ? qUnpremultiply(pixel) : pixel;
            }
        }
        return true;
    }

private:
    Image m_image;
    const uint8_t* m_pixels = nullptr;
    int m_stride = 0;
    int m_width;
    bool m_alpha;
    int m_row = 0;
};

// The primary image of an open file, decoded; null with `why` set when it cannot be.
Image decodePrimary(heif_context* context, bool& alpha, QString& why) {
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
    alpha = lib().imageHandleHasAlphaChannel(primary) != 0;
    heif_decoding_options* options = lib().decodingOptionsAlloc();
    if (!options) {
        why = notEnoughMemory();
        return nullptr;
    }
    options->convert_hdr_to_8bit = 1;
    options->strict_decoding = 1;
    heif_image* decoded = nullptr;
    const heif_error error = lib().decodeImage(
        primary, &decoded, heif_colorspace_RGB,
        alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, options);
    lib().decodingOptionsFree(options);
    Image image(decoded);
    if (error.code != heif_error_Ok) {
        why = cause(error);
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
    bool alpha = false;
    Image image = decodePrimary(context.get(), alpha, opening.error);
    if (!image)
        return opening;
    const QSize size(lib().imageGetWidth(image.get(), heif_channel_interleaved),
                     lib().imageGetHeight(image.get(), heif_channel_interleaved));
    int stride = 0;
    if (size.isEmpty() || qint64(size.width()) * size.height() > kMaxPixels ||
        !lib().imageGetPlaneReadonly(image.get(), heif_channel_interleaved, &stride) ||
        stride < size.width() * (alpha ? 4 : 3)) {
        opening.error = damagedData(QStringLiteral("it decodes to another size than it says"));
        return opening;
    }
    opening.source = std::make_unique<HeifSource>(file->path(), std::move(image), size, alpha);
    return opening;
}

} // namespace picture
