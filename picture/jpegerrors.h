// SPDX-License-Identifier: MIT
#pragma once

// libjpeg reports errors through a callback that must not return. Here it jumps back to the
// libjpeg call that failed, and so does every warning that means damage (see acceptedWarning).
// Only C frames and callbacks without C++ objects lie between the jump and its target.

#include <csetjmp>
#include <cstddef>
#include <cstdio> // jpeglib.h needs FILE and size_t declared first

#include <jpeglib.h>

#include <jerror.h>

#include <QString>

namespace picture::jpeg {

struct Errors {
    jpeg_error_mgr manager{};
    std::jmp_buf jump{};
    char message[JMSG_LENGTH_MAX] = {};
};

// The damage policy for JPEG. A picture is refused when any of its pixels would be missing,
// invented or garbled, and accepted when every pixel decodes as the file means it, whatever else
// the file carries. libjpeg goes on after a warning, so each is judged by what it means:
// - accepted: junk between the last scan's data and the end marker (every pixel was decoded
//   before it), and between two segments before the first scan, as editors, cameras and photo
//   sites leave it (no pixel is decoded yet); an unknown JFIF revision, an unknown Adobe
//   transform code (libjpeg takes the colour space viewers take) and a damaged ICC profile,
//   which are metadata; SOS parameters that a sequential file should not have, which libjpeg
//   ignores as every decoder does.
// - refused: data that ends early, a marker in the middle of a scan's data, a bad Huffman or
//   arithmetic code, junk before a restart marker or a lost one (libjpeg resynchronises by
//   skipping or inventing data), an inconsistent progression, more rows than the picture has.
// Outside libjpeg's warnings, decoding also refuses a file of more than kMaxScans scans and a
// multi-scan file whose scans stop before every coefficient has its final value.
inline bool acceptedWarning(j_common_ptr cinfo) {
    const jpeg_error_mgr& err = *cinfo->err;
    switch (err.msg_code) {
    case JWRN_EXTRANEOUS_DATA:
        // Before a scan's own marker is read, no scan has started.
        return err.msg_parm.i[1] == JPEG_EOI ||
               (cinfo->is_decompressor &&
                reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number == 0);
    case JWRN_JFIF_MAJOR:
    case JWRN_ADOBE_XFORM:
    case JWRN_BOGUS_ICC:
    case JWRN_NOT_SEQUENTIAL:
        return true;
    default:
        return false;
    }
}

// QImage::Format_RGB32 as libjpeg-turbo names it: 0xffRRGGBB in memory order.
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
inline constexpr J_COLOR_SPACE kRgb32Layout = JCS_EXT_BGRX;
#else
inline constexpr J_COLOR_SPACE kRgb32Layout = JCS_EXT_XRGB;
#endif

// libjpeg-turbo's advice against files whose scans only cost time: each scan of a progressive
// file is a pass over every coefficient, and a few hundred are more than any encoder writes.
inline constexpr int kMaxScans = 500;

[[noreturn]] inline void errorExit(j_common_ptr cinfo) {
    auto* errors = reinterpret_cast<Errors*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, errors->message);
    std::longjmp(errors->jump, 1);
}

inline void emitMessage(j_common_ptr cinfo, int level) {
    if (level >= 0 || acceptedWarning(cinfo))
        return; // trace messages, warnings that do not mean damage
    auto* errors = reinterpret_cast<Errors*>(cinfo->err);
    ++cinfo->err->num_warnings;
    (*cinfo->err->format_message)(cinfo, errors->message);
    std::longjmp(errors->jump, 1);
}

inline void outputMessage(j_common_ptr) {}

// `errors.manager` must be the first member so that libjpeg's pointer leads back to the rest.
inline jpeg_error_mgr* install(Errors& errors) {
    jpeg_std_error(&errors.manager);
    errors.manager.error_exit = &errorExit;
    errors.manager.emit_message = &emitMessage;
    errors.manager.output_message = &outputMessage;
    return &errors.manager;
}

// Stops decoding with `text` as the message, from a callback of libjpeg's.
[[noreturn]] inline void stop(j_common_ptr cinfo, const char* text) {
    auto* errors = reinterpret_cast<Errors*>(cinfo->err);
    std::snprintf(errors->message, sizeof errors->message, "%s", text);
    std::longjmp(errors->jump, 1);
}

inline QString message(const Errors& errors) {
    return QString::fromLatin1(errors.message).trimmed();
}

} // namespace picture::jpeg
