// SPDX-License-Identifier: MIT
#pragma once

// The decoder's inverse DCT, taken off the decoding thread. Entropy decoding is the one part of
// reading a JPEG that cannot be shared between cores; the inverse DCT, about a sixth of the
// decoding thread's time, can. Once installed, the decompressor leaves every 8x8 block as its 64
// coefficients in the rows it is given, and the blocks are made into samples later, on any
// thread, by the decompressor's own transform.

#include "picture/jpegerrors.h"
#include "picture/orientation.h"

#include <memory>

namespace picture::jpeg {

// The coefficient plane of a component: as many rows as its sample plane, twice the bytes a row.
// The block at block column bx of block row by (8 rows) starts at byte by * 8 * stride + bx * 128,
// where stride is the coefficient plane's, and holds the 64 coefficients in libjpeg's order.
constexpr int kCoefficientBytes = DCTSIZE2 * int(sizeof(JCOEF));

class DeferredTransform {
public:
    DeferredTransform();
    ~DeferredTransform();
    DeferredTransform(const DeferredTransform&) = delete;
    DeferredTransform& operator=(const DeferredTransform&) = delete;

    // After jpeg_start_decompress() and before the first row is read: from now on the rows that
    // `c` is given for raw data are coefficient planes. False, and nothing changes, when `c`
    // uses a transform this cannot take over (a scaled one, or not the accurate integer one).
    bool install(jpeg_decompress_struct& c);

    // Blocks first..first+count-1 of `blockRows` block rows of component `component`, from its
    // coefficient plane at `coefficients` (block row 0 first, `stride` bytes a row) into samples:
    // eight rows a block row, `outStride` apart, block `first` at `out`. Needs nothing of the
    // decompressor, which may be reading on or be gone.
    void run(int component, const unsigned char* coefficients, std::ptrdiff_t stride, int blockRows,
             int first, int count, unsigned char* out, std::ptrdiff_t outStride) const;

    // The same, turned as `orientation` turns a picture, within a region of `across` by `down`
    // blocks whose first block column is `first`: `out` holds the region as it is shown (`down` by
    // `across` blocks where the turn swaps the sides), each block where
    // the turn puts it and turned itself. The rows given are the region's block rows from `top`
    // on; of them, the first `count` block columns and `blockRows` block rows are transformed.
    // A turned block is transformed from its coefficients turned, so a transposed one may differ
    // from the transposed samples in the last bit.
    void runTurned(int component, const unsigned char* coefficients, std::ptrdiff_t stride,
                   int blockRows, int first, int count, Orientation orientation, int across,
                   int down, int top, unsigned char* out, std::ptrdiff_t outStride) const;

private:
    struct State;
    // How one turned block is made into samples: the library's transform and what it reads, and
    // whether its samples are transposed afterwards.
    struct Block {
        void (*transform)(jpeg_decompress_struct*, jpeg_component_info*, JCOEF*, JSAMPARRAY,
                          JDIMENSION);
        jpeg_decompress_struct* info;
        jpeg_component_info* component;
        bool transposeAfter;
    };
    static void transformBlock(const Block& how, JCOEF* block, unsigned char* at,
                               std::ptrdiff_t outStride);
    std::unique_ptr<State> m_state;
};

// Whether the deferred transform makes the samples libjpeg-turbo makes, on the library this
// process has loaded: checked once, on a small picture built into the program (jpegselfcheck.cpp).
// The environment variable TILEMAVEN_DEFERRED_IDCT=off makes it false without a check.
bool deferredTransformTrusted();

} // namespace picture::jpeg
