// SPDX-License-Identifier: MIT
#include "picture/jpegidct.h"

// The decompressor's table of inverse DCT methods, which the library keeps in its internal header.
// Its layout has stayed the same since libjpeg 6b, and libjpeg-turbo keeps it within a major
// version; the check below holds the build to the versions this was written against.
extern "C" {
#include <jpegint.h>
}

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if !defined(LIBJPEG_TURBO_VERSION_NUMBER) || LIBJPEG_TURBO_VERSION_NUMBER < 2000000 ||            \
    LIBJPEG_TURBO_VERSION_NUMBER >= 4000000
#error "The deferred inverse DCT was written for libjpeg-turbo 2 and 3."
#endif

namespace picture::jpeg {
namespace {

// Stands in for the inverse DCT while the file is read: the block's coefficients go where its
// samples would have gone, in rows twice as wide (column is the block's first sample column).
void keepCoefficients(j_decompress_ptr, jpeg_component_info*, JCOEFPTR block, JSAMPARRAY rows,
                      JDIMENSION column) {
    std::memcpy(rows[0] + std::size_t(column) * (kCoefficientBytes / DCTSIZE), block,
                std::size_t(kCoefficientBytes));
}

// libjpeg-turbo chooses its SIMD routines per thread, when a thread first sets up a codec; its
// inverse DCT called on a thread that never did would take the widest routine whatever the
// processor has. Setting up a small encoder once on each thread makes the choice there.
void prepareThread() {
    thread_local bool ready = false;
    if (ready)
        return;
    ready = true;
    jpeg_compress_struct c{};
    Errors errors;
    c.err = install(errors);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    if (!setjmp(errors.jump)) {
        jpeg_create_compress(&c);
        jpeg_mem_dest(&c, &buffer, &size);
        c.image_width = DCTSIZE;
        c.image_height = DCTSIZE;
        c.input_components = 1;
        c.in_color_space = JCS_GRAYSCALE;
        jpeg_set_defaults(&c);
        jpeg_start_compress(&c, TRUE);
    }
    jpeg_destroy_compress(&c);
    std::free(buffer);
}

// The bytes of one multiplier in the accurate transform's `table` for quantisers `quant`: 2 or 4,
// 0 when the table is neither.
std::size_t multiplierSize(const unsigned char* table, const JQUANT_TBL* quant) {
    if (!quant)
        return 0;
    const auto matches = [&]<typename Multiplier>(Multiplier) {
        for (int k = 0; k < DCTSIZE2; ++k) {
            Multiplier m;
            std::memcpy(&m, table + std::size_t(k) * sizeof(m), sizeof(m));
            if (m != Multiplier(quant->quantval[k]))
                return false;
        }
        return true;
    };
    if (matches(std::int16_t{}))
        return 2;
    if (matches(std::int32_t{}))
        return 4;
    return 0;
}

// `to` = `from`, transposed when asked, each coefficient times its `sign`.
void turnBlock(const JCOEF* from, JCOEF* to, bool transpose, const JCOEF* sign) {
#if defined(__SSE2__)
    static_assert(sizeof(JCOEF) == 2 && DCTSIZE == 8);
    __m128i r[DCTSIZE];
    for (int i = 0; i < DCTSIZE; ++i)
        r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i * DCTSIZE));
    if (transpose) {
        const __m128i t0 = _mm_unpacklo_epi16(r[0], r[1]), t1 = _mm_unpackhi_epi16(r[0], r[1]);
        const __m128i t2 = _mm_unpacklo_epi16(r[2], r[3]), t3 = _mm_unpackhi_epi16(r[2], r[3]);
        const __m128i t4 = _mm_unpacklo_epi16(r[4], r[5]), t5 = _mm_unpackhi_epi16(r[4], r[5]);
        const __m128i t6 = _mm_unpacklo_epi16(r[6], r[7]), t7 = _mm_unpackhi_epi16(r[6], r[7]);
        const __m128i u0 = _mm_unpacklo_epi32(t0, t2), u1 = _mm_unpackhi_epi32(t0, t2);
        const __m128i u2 = _mm_unpacklo_epi32(t1, t3), u3 = _mm_unpackhi_epi32(t1, t3);
        const __m128i u4 = _mm_unpacklo_epi32(t4, t6), u5 = _mm_unpackhi_epi32(t4, t6);
        const __m128i u6 = _mm_unpacklo_epi32(t5, t7), u7 = _mm_unpackhi_epi32(t5, t7);
        r[0] = _mm_unpacklo_epi64(u0, u4);
        r[1] = _mm_unpackhi_epi64(u0, u4);
        r[2] = _mm_unpacklo_epi64(u1, u5);
        r[3] = _mm_unpackhi_epi64(u1, u5);
        r[4] = _mm_unpacklo_epi64(u2, u6);
        r[5] = _mm_unpackhi_epi64(u2, u6);
        r[6] = _mm_unpacklo_epi64(u3, u7);
        r[7] = _mm_unpackhi_epi64(u3, u7);
    }
    for (int i = 0; i < DCTSIZE; ++i) {
        const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sign + i * DCTSIZE));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i * DCTSIZE), _mm_mullo_epi16(r[i], s));
    }
#else
    for (int v = 0; v < DCTSIZE; ++v)
        for (int u = 0; u < DCTSIZE; ++u)
            to[v * DCTSIZE + u] =
                JCOEF((transpose ? from[u * DCTSIZE + v] : from[v * DCTSIZE + u]) *
                      sign[v * DCTSIZE + u]);
#endif
}

} // namespace

struct DeferredTransform::State {
    // What the transform reads of a decompressor, copied out of it: each component's dequantising
    // table (the library allocates each as a union whose largest member is 64 floats), again
    // transposed for its blocks transposed, and the range-limiting table.
    using Table = std::array<unsigned char, DCTSIZE2 * sizeof(float)>;
    alignas(32) std::array<Table, MAX_COMPONENTS> tables{};
    alignas(32) std::array<Table, MAX_COMPONENTS> transposedTables{};
    std::array<inverse_DCT_method_ptr, MAX_COMPONENTS> transform{};
    jpeg_decompress_struct info{};
    std::array<jpeg_component_info, MAX_COMPONENTS> component{};
    std::array<jpeg_component_info, MAX_COMPONENTS> transposed{};
    int components = 0;
    bool canTranspose = true;
    std::array<JSAMPLE, 5 * (MAXJSAMPLE + 1) + CENTERJSAMPLE> limits{};
};

DeferredTransform::DeferredTransform()
    : m_state(std::make_unique<State>()) {}

DeferredTransform::~DeferredTransform() = default;

bool DeferredTransform::install(jpeg_decompress_struct& c) {
    if (!c.idct || !c.raw_data_out || c.dct_method != JDCT_ISLOW || !c.sample_range_limit ||
        c.num_components < 1 || c.num_components > MAX_COMPONENTS)
        return false;
    for (int ci = 0; ci < c.num_components; ++ci) {
        const jpeg_component_info& comp = c.comp_info[ci];
        // Installed once: the stand-in must never pass for the transform it stands in for.
        if (comp.DCT_scaled_size != DCTSIZE || !comp.dct_table || !c.idct->inverse_DCT[ci] ||
            c.idct->inverse_DCT[ci] == &keepCoefficients)
            return false;
    }
    State& s = *m_state;
    std::memcpy(s.limits.data(), c.sample_range_limit - (MAXJSAMPLE + 1), s.limits.size());
    s.info.sample_range_limit = s.limits.data() + (MAXJSAMPLE + 1);
    s.components = c.num_components;
    for (int ci = 0; ci < c.num_components; ++ci) {
        s.component[std::size_t(ci)] = c.comp_info[ci];
        std::memcpy(s.tables[std::size_t(ci)].data(), c.comp_info[ci].dct_table,
                    s.tables[std::size_t(ci)].size());
        s.component[std::size_t(ci)].dct_table = s.tables[std::size_t(ci)].data();
        s.transform[std::size_t(ci)] = c.idct->inverse_DCT[ci];
        c.idct->inverse_DCT[ci] = &keepCoefficients;
        // The accurate transform's table holds each coefficient's quantiser, in natural order,
        // in a type that depends on how the library was built: found by comparing.
        const unsigned char* table = s.tables[std::size_t(ci)].data();
        const std::size_t size = multiplierSize(table, c.comp_info[ci].quant_table);
        unsigned char* transposed = s.transposedTables[std::size_t(ci)].data();
        for (int v = 0; v < DCTSIZE; ++v)
            for (int u = 0; u < DCTSIZE; ++u)
                std::memcpy(transposed + std::size_t(u * DCTSIZE + v) * size,
                            table + std::size_t(v * DCTSIZE + u) * size, size);
        s.transposed[std::size_t(ci)] = s.component[std::size_t(ci)];
        s.transposed[std::size_t(ci)].dct_table = transposed;
        s.canTranspose = s.canTranspose && size > 0;
    }
    return true;
}

void DeferredTransform::run(int component, const unsigned char* coefficients, std::ptrdiff_t stride,
                            int blockRows, int first, int count, unsigned char* out,
                            std::ptrdiff_t outStride) const {
    const State& s = *m_state;
    if (component < 0 || component >= s.components)
        return;
    prepareThread();
    const inverse_DCT_method_ptr transform = s.transform[std::size_t(component)];
    // The methods take non-const pointers but only read through `info` and the component.
    auto* info = const_cast<jpeg_decompress_struct*>(&s.info);
    auto* comp = const_cast<jpeg_component_info*>(&s.component[std::size_t(component)]);
    JSAMPROW rows[DCTSIZE];
    for (int by = 0; by < blockRows; ++by) {
        for (int r = 0; r < DCTSIZE; ++r)
            rows[r] = out + (std::ptrdiff_t(by) * DCTSIZE + r) * outStride;
        const unsigned char* row = coefficients + std::ptrdiff_t(by) * DCTSIZE * stride;
        for (int bx = 0; bx < count; ++bx) {
            // The methods only read the block.
            auto* block = reinterpret_cast<JCOEFPTR>(
                const_cast<unsigned char*>(row + std::ptrdiff_t(first + bx) * kCoefficientBytes));
            transform(info, comp, block, rows, JDIMENSION(bx * DCTSIZE));
        }
    }
}

void DeferredTransform::runTurned(int component, const unsigned char* coefficients,
                                  std::ptrdiff_t stride, int blockRows, int first, int count,
                                  Orientation orientation, int across, int down, int top,
                                  unsigned char* out, std::ptrdiff_t outStride) const {
    const State& s = *m_state;
    if (component < 0 || component >= s.components)
        return;
    prepareThread();
    const bool transpose = swapsSides(orientation);
    // Mirroring a block's samples across its columns negates the coefficients of odd horizontal
    // frequency; across its rows, those of odd vertical frequency. Without a transposed table the
    // block is mirrored before its transform instead, as it is stored, and its samples transposed
    // after: the stored columns are then the shown rows.
    const bool late = transpose && !s.canTranspose;
    const bool mirror = late ? mirrorsShownRows(orientation) : mirrorsShownColumns(orientation);
    const bool flip = late ? mirrorsShownColumns(orientation) : mirrorsShownRows(orientation);
    JCOEF sign[DCTSIZE2];
    for (int v = 0; v < DCTSIZE; ++v)
        for (int u = 0; u < DCTSIZE; ++u)
            sign[v * DCTSIZE + u] = JCOEF(((mirror && u % 2) != (flip && v % 2)) ? -1 : 1);
    // The methods take non-const pointers but only read through `info` and the component.
    const Block how{
        s.transform[std::size_t(component)], const_cast<jpeg_decompress_struct*>(&s.info),
        const_cast<jpeg_component_info*>(transpose && !late ? &s.transposed[std::size_t(component)]
                                                            : &s.component[std::size_t(component)]),
        late};
    alignas(64) JCOEF block[DCTSIZE2];
    for (int by = 0; by < blockRows; ++by) {
        const unsigned char* row = coefficients + std::ptrdiff_t(by) * DCTSIZE * stride;
        for (int bx = 0; bx < count; ++bx) {
            const auto* from = reinterpret_cast<const JCOEF*>(row + std::ptrdiff_t(first + bx) *
                                                                        kCoefficientBytes);
            turnBlock(from, block, transpose && !late, sign);
            // Where the block lands, as the whole region turns.
            const QPoint shown = shownPixel(orientation, bx, top + by, QSize(across, down));
            transformBlock(how, block,
                           out + std::ptrdiff_t(shown.y()) * DCTSIZE * outStride +
                               shown.x() * DCTSIZE,
                           outStride);
        }
    }
}

void DeferredTransform::transformBlock(const Block& how, JCOEF* block, unsigned char* at,
                                       std::ptrdiff_t outStride) {
    JSAMPROW rows[DCTSIZE];
    if (!how.transposeAfter) {
        for (int r = 0; r < DCTSIZE; ++r)
            rows[r] = at + r * outStride;
        how.transform(how.info, how.component, block, rows, 0);
        return;
    }
    JSAMPLE samples[DCTSIZE][DCTSIZE];
    for (int r = 0; r < DCTSIZE; ++r)
        rows[r] = samples[r];
    how.transform(how.info, how.component, block, rows, 0);
    for (int r = 0; r < DCTSIZE; ++r)
        for (int c = 0; c < DCTSIZE; ++c)
            at[r * outStride + c] = samples[c][r];
}

} // namespace picture::jpeg
