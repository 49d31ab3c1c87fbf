// SPDX-License-Identifier: MIT
#include "picture/heiflibrary.h"

#include <dlfcn.h>

namespace picture::heif {
namespace {

template <typename Call>
bool find(void* handle, const char* name, Call& call) {
    call = reinterpret_cast<Call>(dlsym(handle, name));
    return call != nullptr;
}

Library* load() {
    // The version the program was built against: its calls keep their meaning within it.
    void* handle = dlopen("libheif.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return nullptr;
    static Library library;
    Library& l = library;
    const bool found =
        find(handle, "heif_check_filetype", l.checkFiletype) &&
        find(handle, "heif_context_alloc", l.contextAlloc) &&
        find(handle, "heif_context_free", l.contextFree) &&
        find(handle, "heif_context_read_from_reader", l.contextReadFromReader) &&
        find(handle, "heif_context_get_primary_image_handle", l.contextGetPrimaryImageHandle) &&
        find(handle, "heif_image_handle_release", l.imageHandleRelease) &&
        find(handle, "heif_image_handle_get_width", l.imageHandleGetWidth) &&
        find(handle, "heif_image_handle_get_height", l.imageHandleGetHeight) &&
        find(handle, "heif_image_handle_has_alpha_channel", l.imageHandleHasAlphaChannel) &&
        find(handle, "heif_image_handle_get_luma_bits_per_pixel",
             l.imageHandleGetLumaBitsPerPixel) &&
        find(handle, "heif_decoding_options_alloc", l.decodingOptionsAlloc) &&
        find(handle, "heif_decoding_options_free", l.decodingOptionsFree) &&
        find(handle, "heif_decode_image", l.decodeImage) &&
        find(handle, "heif_image_release", l.imageRelease) &&
        find(handle, "heif_image_get_width", l.imageGetWidth) &&
        find(handle, "heif_image_get_height", l.imageGetHeight) &&
        find(handle, "heif_image_get_plane_readonly", l.imageGetPlaneReadonly) &&
        find(handle, "heif_image_get_colorspace", l.imageGetColorspace) &&
        find(handle, "heif_image_get_bits_per_pixel_range", l.imageGetBitsPerPixelRange) &&
        find(handle, "heif_image_is_premultiplied_alpha", l.imageIsPremultipliedAlpha);
    // Left loaded: its codecs may keep threads and state until the process ends.
    return found ? &library : nullptr;
}

} // namespace

const Library* library() {
    static const Library* loaded = load();
    return loaded;
}

} // namespace picture::heif
