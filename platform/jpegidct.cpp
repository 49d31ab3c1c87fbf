#include "platform/jpegidct.h"

// The decompressor's table of inverse DCT methods, which the library keeps in its internal header.
// Its layout has stayed the same since libjpeg 6b, and libjpeg-turbo keeps it within a major
// version; the check below holds the build to the versions this was written against.
extern "C" {
#include <jpegint.h>
}

#include <array>
#include <cstdlib>
#include <cstring>

#if !defined(LIBJPEG_TURBO_VERSION_NUMBER) || LIBJPEG_TURBO_VERSION_NUMBER < 2000000 ||            \
    LIBJPEG_TURBO_VERSION_NUMBER >= 4000000
#error "The deferred inverse DCT was written for libjpeg-turbo 2 and 3."
#endif

namespace platform::jpeg {
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

} // namespace

struct DeferredTransform::State {
    // What the transform reads of a decompressor, copied out of it: the range-limiting table, and
    // each component's dequantising table.
    jpeg_decompress_struct info{};
    std::array<JSAMPLE, 5 * (MAXJSAMPLE + 1) + CENTERJSAMPLE> limits{};
    int components = 0;
    std::array<jpeg_component_info, MAX_COMPONENTS> component{};
    // The library allocates each table as a union whose largest member is 64 floats.
    alignas(32)
        std::array<std::array<unsigned char, DCTSIZE2 * sizeof(float)>, MAX_COMPONENTS> tables{};
    std::array<inverse_DCT_method_ptr, MAX_COMPONENTS> transform{};
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
        if (comp.DCT_scaled_size != DCTSIZE || !comp.dct_table || !c.idct->inverse_DCT[ci])
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

} // namespace platform::jpeg
