// SPDX-License-Identifier: MIT
#pragma once

// libheif, loaded when the first HEIF picture is opened. Linked at start, it brings its codecs
// (libde265, dav1d, x265, aom) into every run, a JPEG's too, for some milliseconds and megabytes
// that a program run once per puzzle feels; loaded here, only a HEIC or AVIF picture pays them.
// The calls are those of its public header, each taken by name from the library.

#include <libheif/heif.h>

namespace picture::heif {

struct Library {
    decltype(&heif_check_filetype) checkFiletype = nullptr;
    decltype(&heif_context_alloc) contextAlloc = nullptr;
    decltype(&heif_context_free) contextFree = nullptr;
    decltype(&heif_context_read_from_reader) contextReadFromReader = nullptr;
    decltype(&heif_context_get_primary_image_handle) contextGetPrimaryImageHandle = nullptr;
    decltype(&heif_image_handle_release) imageHandleRelease = nullptr;
    decltype(&heif_image_handle_get_width) imageHandleGetWidth = nullptr;
    decltype(&heif_image_handle_get_height) imageHandleGetHeight = nullptr;
    decltype(&heif_image_handle_has_alpha_channel) imageHandleHasAlphaChannel = nullptr;
    decltype(&heif_image_handle_get_luma_bits_per_pixel) imageHandleGetLumaBitsPerPixel = nullptr;
    decltype(&heif_decoding_options_alloc) decodingOptionsAlloc = nullptr;
    decltype(&heif_decoding_options_free) decodingOptionsFree = nullptr;
    decltype(&heif_decode_image) decodeImage = nullptr;
    decltype(&heif_image_release) imageRelease = nullptr;
    decltype(&heif_image_get_width) imageGetWidth = nullptr;
    decltype(&heif_image_get_height) imageGetHeight = nullptr;
    decltype(&heif_image_get_plane_readonly) imageGetPlaneReadonly = nullptr;
    decltype(&heif_image_get_colorspace) imageGetColorspace = nullptr;
    decltype(&heif_image_get_bits_per_pixel_range) imageGetBitsPerPixelRange = nullptr;
    decltype(&heif_image_is_premultiplied_alpha) imageIsPremultipliedAlpha = nullptr;
};

// The library with every call found, loaded on first use; null when it is not installed or lacks
// a call (then no HEIF picture can be read).
const Library* library();

} // namespace picture::heif
