// SPDX-License-Identifier: MIT
#include "picture/jpegencode.h"

#include "picture/jpegerrors.h"

#include <jerror.h>

#include <QtGlobal>

#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace picture {
namespace {

// Collects the encoded bytes in a growing array, which end() hands over whole with its slack given
// back: a finished piece is then held once, at its size, until it is written, and not also as the
// encoder's kept buffer. Growing never throws: when memory runs out, libjpeg's error path is taken.
struct MemoryDestination {
    jpeg_destination_mgr manager{}; // first member: libjpeg's pointer leads back to the rest
    QByteArray bytes;
    qsizetype used = 0;

    static void init(j_compress_ptr cinfo) {
        auto* self = reinterpret_cast<MemoryDestination*>(cinfo->dest);
        constexpr qsizetype kFirst = 64 * 1024;
        if (self->bytes.size() < kFirst)
            self->grow(cinfo, kFirst);
        self->manager.next_output_byte = reinterpret_cast<JOCTET*>(self->bytes.data());
        self->manager.free_in_buffer = std::size_t(self->bytes.size());
    }

    static boolean empty(j_compress_ptr cinfo) {
        auto* self = reinterpret_cast<MemoryDestination*>(cinfo->dest);
        const qsizetype full = self->bytes.size();
        self->grow(cinfo, full * 2);
        self->manager.next_output_byte = reinterpret_cast<JOCTET*>(self->bytes.data()) + full;
        self->manager.free_in_buffer = std::size_t(self->bytes.size() - full);
        return TRUE;
    }

    static void term(j_compress_ptr cinfo) {
        auto* self = reinterpret_cast<MemoryDestination*>(cinfo->dest);
        self->used = self->bytes.size() - qsizetype(self->manager.free_in_buffer);
    }

    void grow(j_compress_ptr cinfo, qsizetype to) {
        bool failed = false;
        try {
            // The array may have grown by more than asked for: all of it is used.
            bytes.resize(to);
            bytes.resize(bytes.capacity());
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        // Out of the handler first: libjpeg leaves by longjmp.
        if (failed) {
            cinfo->err->msg_code = JERR_OUT_OF_MEMORY;
            (*cinfo->err->error_exit)(reinterpret_cast<j_common_ptr>(cinfo));
        }
    }
};

} // namespace

struct JpegEncoder::State {
    jpeg_compress_struct cinfo{};
    jpeg::Errors errors;
    MemoryDestination destination;
    bool created = false;
    bool scanning = false; // between a successful begin() and end()
    int height = 0;

    // Calls `work` (no C++ objects with destructors inside: a failure jumps out of it).
    template <typename Work>
    bool run(Work&& work, QString& error) {
        if (setjmp(errors.jump)) {
            error = jpeg::message(errors);
            jpeg_abort_compress(&cinfo);
            scanning = false;
            return false;
        }
        work(cinfo);
        return true;
    }
};

JpegEncoder::JpegEncoder()
    : m_state(std::make_unique<State>()) {
    State& s = *m_state;
    s.cinfo.err = jpeg::install(s.errors);
    s.created = s.run([](jpeg_compress_struct& c) { jpeg_create_compress(&c); }, m_error);
    s.destination.manager.init_destination = &MemoryDestination::init;
    s.destination.manager.empty_output_buffer = &MemoryDestination::empty;
    s.destination.manager.term_destination = &MemoryDestination::term;
    s.cinfo.dest = &s.destination.manager;
}

JpegEncoder::~JpegEncoder() {
    if (m_state->created)
        jpeg_destroy_compress(&m_state->cinfo);
}

bool JpegEncoder::begin(int width, int height, Input input) {
    State& s = *m_state;
    if (!s.created)
        return false;
    if (width < 1 || height < 1 || width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION) {
        m_error =
            QStringLiteral("a picture of %1 x %2 pixels cannot be encoded").arg(width).arg(height);
        return false;
    }
    s.height = height;
    s.scanning = s.run(
        [width, height, input](jpeg_compress_struct& c) {
            jpeg_abort_compress(&c);
            c.image_width = JDIMENSION(width);
            c.image_height = JDIMENSION(height);
            c.input_components = input == Input::Planes ? 3 : 4;
            c.in_color_space = input == Input::Planes ? JCS_YCbCr : jpeg::kRgb32Layout;
            jpeg_set_defaults(&c); // 4:2:0, as the planes come
            jpeg_set_quality(&c, kQuality, TRUE);
            c.raw_data_in = input == Input::Planes ? TRUE : FALSE;
            // The framework's encoder takes the density from the screen; a fixed one lets the
            // window and the command line write the same bytes.
            c.density_unit = 1; // dots per inch
            c.X_density = 72;
            c.Y_density = 72;
            jpeg_start_compress(&c, TRUE);
        },
        m_error);
    return s.scanning;
}

bool JpegEncoder::write(const unsigned char* const* rows, int count) {
    State& s = *m_state;
    if (count <= 0)
        return true;
    if (!s.scanning || s.cinfo.raw_data_in || int(s.cinfo.next_scanline) + count > s.height) {
        m_error = QStringLiteral("more rows than the picture has");
        return false;
    }
    // libjpeg takes rows as non-const pointers but only reads them.
    JSAMPARRAY pointers = const_cast<JSAMPARRAY>(rows);
    return s.run(
        [pointers, count](jpeg_compress_struct& c) {
            jpeg_write_scanlines(&c, pointers, JDIMENSION(count));
        },
        m_error);
}

bool JpegEncoder::writePlanes(const unsigned char* const* y, const unsigned char* const* cb,
                              const unsigned char* const* cr) {
    State& s = *m_state;
    if (!s.scanning || !s.cinfo.raw_data_in || int(s.cinfo.next_scanline) >= s.height) {
        m_error = QStringLiteral("more rows than the picture has");
        return false;
    }
    // libjpeg takes rows as non-const pointers but only reads them.
    JSAMPARRAY planes[3] = {const_cast<JSAMPARRAY>(y), const_cast<JSAMPARRAY>(cb),
                            const_cast<JSAMPARRAY>(cr)};
    return s.run(
        [&planes](jpeg_compress_struct& c) { jpeg_write_raw_data(&c, planes, kPlaneRows); },
        m_error);
}

bool JpegEncoder::end(QByteArray& file) {
    State& s = *m_state;
    // After the last block of planes, next_scanline has gone past the height to a whole block.
    if (!s.scanning || int(s.cinfo.next_scanline) < s.height) {
        m_error = QStringLiteral("the picture is missing rows");
        return false;
    }
    s.scanning = false;
    if (!s.run([](jpeg_compress_struct& c) { jpeg_finish_compress(&c); }, m_error))
        return false;
    file = std::exchange(s.destination.bytes, QByteArray());
    file.resize(s.destination.used);
    file.squeeze();
    return true;
}

bool encodeWhite(int width, int height, QByteArray& file, QString& error) {
    JpegEncoder encoder;
    if (!encoder.begin(width, height)) {
        error = encoder.error();
        return false;
    }
    const std::vector<unsigned char> white(std::size_t(width) * 4, 0xFF);
    constexpr int kRows = 16;
    const unsigned char* rows[kRows];
    for (const unsigned char*& row : rows)
        row = white.data();
    for (int y = 0; y < height; y += kRows) {
        if (!encoder.write(rows, std::min(kRows, height - y))) {
            error = encoder.error();
            return false;
        }
    }
    if (!encoder.end(file)) {
        error = encoder.error();
        return false;
    }
    return true;
}

} // namespace picture
