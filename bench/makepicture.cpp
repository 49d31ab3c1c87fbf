// SPDX-License-Identifier: MIT
// Makes the benchmark's pictures: photo-like content (soft shading, shapes with soft edges,
// textured patches) under fine per-pixel noise, so that encoders meet the work a real photo gives
// them rather than flat colour. The same arguments always give the same file.
//
//   makepicture [OPTION]... WIDTH HEIGHT OUT.jpg [QUALITY]   JPEG, quality 90 by default
//   makepicture WIDTH HEIGHT OUT.gif                         GIF89a, one frame, 256 colours, LZW
//
// A JPEG is baseline 4:2:0 YCbCr with a JFIF marker unless told otherwise:
//   --444            no chroma subsampling
//   --progressive    libjpeg's standard progression
//   --cmyk           CMYK stored inverted with Adobe's APP14 marker, as Photoshop and libjpeg do
//   --orientation N  an EXIF APP1 marker carrying orientation N (1 to 8), in place of JFIF, as a
//                    camera writes it; the rows stay as they are, WIDTH x HEIGHT
#include <cstddef>
#include <cstdio>

#include <jpeglib.h> // needs size_t and FILE declared first

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Rng {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double uniform() { return double(next() >> 11) * (1.0 / 9007199254740992.0); }
};

struct Disc {
    double cx, cy, radius, softness;
    std::array<double, 3> colour;
};

struct Patch {
    double x0, y0, x1, y1, fx, fy, amplitude;
};

// One row at a time, so that even the largest picture needs only a row of memory here.
class Scene {
public:
    Scene(int width, int height)
        : m_width(width)
        , m_height(height)
        , m_colShade(std::size_t(width) * 3) {
        Rng rng{0x7153A11Eull};
        const double scale = std::min(width, height);
        for (int i = 0; i < 14; ++i) {
            Disc d;
            d.cx = rng.uniform() * width;
            d.cy = rng.uniform() * height;
            d.radius = (0.04 + 0.18 * rng.uniform()) * scale;
            d.softness = (0.002 + 0.02 * rng.uniform()) * scale;
            for (double& c : d.colour)
                c = 30 + 200 * rng.uniform();
            m_discs.push_back(d);
        }
        for (int i = 0; i < 6; ++i) {
            Patch p;
            p.x0 = rng.uniform() * width * 0.8;
            p.y0 = rng.uniform() * height * 0.8;
            p.x1 = p.x0 + (0.1 + 0.3 * rng.uniform()) * width;
            p.y1 = p.y0 + (0.1 + 0.3 * rng.uniform()) * height;
            p.fx = 0.2 + 1.2 * rng.uniform();
            p.fy = 0.2 + 1.2 * rng.uniform();
            p.amplitude = 8 + 20 * rng.uniform();
            m_patches.push_back(p);
        }
        for (int x = 0; x < width; ++x) {
            const double u = double(x) / width;
            m_colShade[std::size_t(x) * 3 + 0] = 40 * std::sin(2 * kPi * (1.3 * u + 0.1));
            m_colShade[std::size_t(x) * 3 + 1] = 35 * std::sin(2 * kPi * (0.7 * u + 0.4));
            m_colShade[std::size_t(x) * 3 + 2] = 30 * std::cos(2 * kPi * (2.1 * u));
        }
    }

    int width() const { return m_width; }
    int height() const { return m_height; }

    // Row y as 8-bit RGB triples.
    void row(int y, std::uint8_t* rgb) {
        const double v = double(y) / m_height;
        const double rowShade[3] = {110 + 45 * std::sin(2 * kPi * (0.9 * v + 0.2)),
                                    105 + 40 * std::cos(2 * kPi * (1.4 * v)),
                                    95 + 50 * std::sin(2 * kPi * (0.5 * v + 0.7))};
        Rng noise{0xC0FFEEull + std::uint64_t(y) * 0x2545F4914F6CDD1Dull};
        for (int x = 0; x < m_width; ++x) {
            double c[3];
            for (int i = 0; i < 3; ++i)
                c[i] = rowShade[i] + m_colShade[std::size_t(x) * 3 + std::size_t(i)];
            for (const Disc& d : m_discs) {
                const double dx = x - d.cx, dy = y - d.cy;
                const double r2 = dx * dx + dy * dy;
                const double outer = d.radius + d.softness;
                if (r2 >= outer * outer)
                    continue;
                const double a = std::clamp((outer - std::sqrt(r2)) / (2 * d.softness), 0.0, 1.0);
                for (int i = 0; i < 3; ++i)
                    c[i] += a * (d.colour[std::size_t(i)] - c[i]);
            }
            for (const Patch& p : m_patches) {
                if (x < p.x0 || x >= p.x1 || y < p.y0 || y >= p.y1)
                    continue;
                const double t = p.amplitude * std::sin(x * p.fx) * std::sin(y * p.fy);
                for (double& ci : c)
                    ci += t;
            }
            // Fine noise: mostly luminance, some colour, as a sensor gives.
            const std::uint64_t bits = noise.next();
            const double luma = (double(bits & 0xFF) + double((bits >> 8) & 0xFF) - 255.0) / 20.0;
            for (int i = 0; i < 3; ++i) {
                const double chroma = (double((bits >> (16 + 8 * i)) & 0xFF) - 127.5) / 64.0;
                rgb[x * 3 + i] = std::uint8_t(std::clamp(c[i] + luma + chroma, 0.0, 255.0));
            }
        }
    }

private:
    int m_width, m_height;
    std::vector<Disc> m_discs;
    std::vector<Patch> m_patches;
    std::vector<double> m_colShade;
};

struct JpegOptions {
    int quality = 90;
    bool full444 = false;
    bool progressive = false;
    bool cmyk = false;
    int orientation = 0; // 0: no EXIF marker
};

// "Exif\0\0", then a big-endian TIFF header and IFD0 with the one entry a reader rotates by.
std::vector<std::uint8_t> exifOrientation(int orientation) {
    return {'E',  'x',  'i', 'f', 0, 0, 'M', 'M', 0, 0x2A,
            0,    0,    0,   8, // header, IFD0 at 8
            0,    1,            // one entry
            0x01, 0x12, 0,   3,   0, 0, 0,   1,   0, std::uint8_t(orientation),
            0,    0,             // SHORT
            0,    0,    0,   0}; // no IFD1
}

// Plain CMYK from RGB (K from the brightest channel), stored inverted: 255 is no ink. A reader
// that multiplies the stored values, (255 - C) * (255 - K) / 255, gets the RGB back.
void toInvertedCmyk(const std::uint8_t* rgb, std::uint8_t* cmyk, int width) {
    for (int x = 0; x < width; ++x) {
        const std::uint8_t* p = rgb + std::size_t(x) * 3;
        std::uint8_t* q = cmyk + std::size_t(x) * 4;
        const int brightest = std::max({p[0], p[1], p[2]});
        for (int i = 0; i < 3; ++i)
            q[i] = brightest ? std::uint8_t((p[i] * 255 + brightest / 2) / brightest) : 255;
        q[3] = std::uint8_t(brightest);
    }
}

bool writeJpeg(Scene& scene, const char* path, const JpegOptions& options) {
    FILE* file = std::fopen(path, "wb");
    if (!file)
        return false;
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr); // the default error exit ends the program, fine here
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = JDIMENSION(scene.width());
    cinfo.image_height = JDIMENSION(scene.height());
    cinfo.input_components = options.cmyk ? 4 : 3;
    cinfo.in_color_space = options.cmyk ? JCS_CMYK : JCS_RGB;
    // For CMYK input this picks a CMYK file, every component at full size, with the Adobe marker.
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, options.quality, TRUE);
    if (options.full444 && !options.cmyk) {
        cinfo.comp_info[0].h_samp_factor = 1;
        cinfo.comp_info[0].v_samp_factor = 1;
    }
    if (options.progressive)
        jpeg_simple_progression(&cinfo);
    if (options.orientation)
        cinfo.write_JFIF_header = FALSE; // a camera's file starts with its EXIF block
    jpeg_start_compress(&cinfo, TRUE);
    if (options.orientation) {
        const std::vector<std::uint8_t> exif = exifOrientation(options.orientation);
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, exif.data(), unsigned(exif.size()));
    }
    std::vector<std::uint8_t> row(std::size_t(scene.width()) * 3);
    std::vector<std::uint8_t> cmyk(options.cmyk ? std::size_t(scene.width()) * 4 : 0);
    for (int y = 0; y < scene.height(); ++y) {
        scene.row(y, row.data());
        if (options.cmyk)
            toInvertedCmyk(row.data(), cmyk.data(), scene.width());
        JSAMPROW rows[1] = {options.cmyk ? cmyk.data() : row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return std::fclose(file) == 0;
}

// GIF's variable-width LZW, codes packed from the least significant bit, in sub-blocks of 255.
class LzwWriter {
public:
    explicit LzwWriter(FILE* out)
        : m_out(out)
        , m_children(std::size_t(kMaxCodes) * 256) {
        reset();
        put(kClear);
    }

    void add(std::uint8_t index) {
        if (m_prefix < 0) {
            m_prefix = index;
            return;
        }
        const std::size_t slot = std::size_t(m_prefix) * 256 + index;
        if (m_children[slot]) {
            m_prefix = m_children[slot];
            return;
        }
        put(m_prefix);
        if (m_next < kMaxCodes) {
            m_children[slot] = std::uint16_t(m_next);
            // The decoder widens its codes one code later than the encoder adds them.
            if (m_next == (1 << m_width) && m_width < 12)
                ++m_width;
            ++m_next;
        } else {
            put(kClear);
            reset();
        }
        m_prefix = index;
    }

    void finish() {
        if (m_prefix >= 0)
            put(m_prefix);
        put(kEnd);
        if (m_bitCount > 0)
            byte(std::uint8_t(m_bits & 0xFF));
        flushBlock();
        std::fputc(0, m_out);
    }

private:
    static constexpr int kClear = 256, kEnd = 257, kMaxCodes = 4096;

    void reset() {
        std::fill(m_children.begin(), m_children.end(), std::uint16_t(0));
        m_next = kEnd + 1;
        m_width = 9;
    }
    void put(int code) {
        m_bits |= std::uint32_t(code) << m_bitCount;
        m_bitCount += m_width;
        while (m_bitCount >= 8) {
            byte(std::uint8_t(m_bits & 0xFF));
            m_bits >>= 8;
            m_bitCount -= 8;
        }
    }
    void byte(std::uint8_t b) {
        m_block[m_blockSize++] = b;
        if (m_blockSize == 255)
            flushBlock();
    }
    void flushBlock() {
        if (m_blockSize == 0)
            return;
        std::fputc(m_blockSize, m_out);
        std::fwrite(m_block, 1, std::size_t(m_blockSize), m_out);
        m_blockSize = 0;
    }

    FILE* m_out;
    std::vector<std::uint16_t> m_children;
    int m_prefix = -1;
    int m_next = 0;
    int m_width = 9;
    std::uint32_t m_bits = 0;
    int m_bitCount = 0;
    std::uint8_t m_block[255] = {};
    int m_blockSize = 0;
};

// A 6 x 7 x 6 colour cube with ordered dithering: the way a photo usually ends up as a GIF.
bool writeGif(Scene& scene, const char* path) {
    FILE* file = std::fopen(path, "wb");
    if (!file)
        return false;
    auto le16 = [&](int v) {
        std::fputc(v & 0xFF, file);
        std::fputc((v >> 8) & 0xFF, file);
    };
    std::fwrite("GIF89a", 1, 6, file);
    le16(scene.width());
    le16(scene.height());
    std::fputc(0xF7, file); // global table of 256 entries
    std::fputc(0, file);
    std::fputc(0, file);
    constexpr int levels[3] = {6, 7, 6};
    for (int i = 0; i < 256; ++i) {
        const int r = i / 42, g = (i / 6) % 7, b = i % 6;
        const bool used = i < 252;
        std::fputc(used ? r * 255 / (levels[0] - 1) : 0, file);
        std::fputc(used ? g * 255 / (levels[1] - 1) : 0, file);
        std::fputc(used ? b * 255 / (levels[2] - 1) : 0, file);
    }
    std::fputc(0x2C, file);
    le16(0);
    le16(0);
    le16(scene.width());
    le16(scene.height());
    std::fputc(0, file);
    std::fputc(8, file); // LZW minimum code size
    static constexpr int bayer[4][4] = {
        {0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
    LzwWriter lzw(file);
    std::vector<std::uint8_t> row(std::size_t(scene.width()) * 3);
    for (int y = 0; y < scene.height(); ++y) {
        scene.row(y, row.data());
        for (int x = 0; x < scene.width(); ++x) {
            const double threshold = (bayer[y & 3][x & 3] + 0.5) / 16.0;
            int q[3];
            for (int i = 0; i < 3; ++i) {
                const double level =
                    row[std::size_t(x) * 3 + std::size_t(i)] / 255.0 * (levels[i] - 1);
                q[i] = std::min(levels[i] - 1, int(level + threshold));
            }
            lzw.add(std::uint8_t(q[0] * 42 + q[1] * 6 + q[2]));
        }
    }
    lzw.finish();
    std::fputc(0x3B, file);
    return std::fclose(file) == 0;
}

} // namespace

int usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--444] [--progressive] [--cmyk] [--orientation N] WIDTH HEIGHT "
                 "OUT.jpg [QUALITY]\n       %s WIDTH HEIGHT OUT.gif\n",
                 program, program);
    return 2;
}

int main(int argc, char** argv) {
    JpegOptions options;
    bool anyOption = false;
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        const std::string option = argv[i];
        anyOption = true;
        if (option == "--444")
            options.full444 = true;
        else if (option == "--progressive")
            options.progressive = true;
        else if (option == "--cmyk")
            options.cmyk = true;
        else if (option == "--orientation" && i + 1 < argc)
            options.orientation = std::atoi(argv[++i]);
        else
            return usage(argv[0]);
    }
    if (argc - i < 3 || argc - i > 4 ||
        (options.orientation && (options.orientation < 1 || options.orientation > 8)))
        return usage(argv[0]);
    const int width = std::atoi(argv[i]), height = std::atoi(argv[i + 1]);
    const std::string out = argv[i + 2];
    if (argc - i == 4)
        options.quality = std::atoi(argv[i + 3]);
    if (width < 1 || height < 1 || width > 65500 || height > 65500) {
        std::fprintf(stderr, "makepicture: bad size %dx%d\n", width, height);
        return 2;
    }
    const bool gif = out.size() > 4 && out.compare(out.size() - 4, 4, ".gif") == 0;
    if (gif && anyOption)
        return usage(argv[0]);
    Scene scene(width, height);
    const bool ok = gif ? writeGif(scene, out.c_str()) : writeJpeg(scene, out.c_str(), options);
    if (!ok) {
        std::fprintf(stderr, "makepicture: could not write %s\n", out.c_str());
        return 1;
    }
    return 0;
}
