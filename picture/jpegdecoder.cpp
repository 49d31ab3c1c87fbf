// SPDX-License-Identifier: MIT
#include "picture/jpegdecoder.h"

#include <new>

namespace picture::jpeg {

bool endsWithEndMarker(const PictureFile& file) {
    const qint64 size = file.size();
    return size >= 4 && file.read(size - 2, 2) == QByteArray("\xFF\xD9", 2);
}

QString checkComplete(const std::shared_ptr<const PictureFile>& file) {
    Decoder decoder;
    decoder.open(file);
    std::array<JSAMPLE, 16 * 4> row{}; // replaced below when the picture is wider
    std::unique_ptr<JSAMPLE[]> wide;
    JSAMPROW rows[1] = {row.data()};
    bool read = decoder.run([](jpeg_decompress_struct& c) { jpeg_read_header(&c, TRUE); });
    if (read) {
        jpeg_decompress_struct& c = decoder.cinfo();
        c.scale_num = 1;
        c.scale_denom = 8;
        // Only the decoding matters here, not the colours.
        if (c.jpeg_color_space == JCS_CMYK || c.jpeg_color_space == JCS_YCCK)
            c.out_color_space = JCS_CMYK;
        read = decoder.run([](jpeg_decompress_struct& d) { jpeg_start_decompress(&d); });
        if (read) {
            const std::size_t width =
                std::size_t(c.output_width) * std::size_t(c.output_components);
            if (width > row.size()) {
                wide.reset(new (std::nothrow) JSAMPLE[width]);
                if (!wide)
                    return notEnoughMemory();
                rows[0] = wide.get();
            }
            read = decoder.run([&rows](jpeg_decompress_struct& d) {
                while (d.output_scanline < d.output_height)
                    jpeg_read_scanlines(&d, rows, 1);
            });
        }
    }
    if (!read)
        return decoder.error();
    if (!decoder.run([](jpeg_decompress_struct& d) { jpeg_finish_decompress(&d); }))
        return decoder.error();
    if (QString why = decoder.readFailure(); !why.isEmpty())
        return why;
    return decoder.scansComplete();
}

} // namespace picture::jpeg
