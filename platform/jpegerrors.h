#pragma once

// libjpeg reports errors through a callback that must not return. Here it jumps back to the
// libjpeg call that failed, and so does every warning: for this program a warning about the data
// (truncated, corrupt) is as final as an error. Only C frames and callbacks without C++ objects
// lie between the jump and its target.

#include <csetjmp>
#include <cstddef>
#include <cstdio> // jpeglib.h needs FILE and size_t declared first

#include <jpeglib.h>

#include <QString>

namespace platform::jpeg {

struct Errors {
    jpeg_error_mgr manager{};
    std::jmp_buf jump{};
    char message[JMSG_LENGTH_MAX] = {};
};

[[noreturn]] inline void errorExit(j_common_ptr cinfo) {
    auto* errors = reinterpret_cast<Errors*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, errors->message);
    std::longjmp(errors->jump, 1);
}

inline void emitMessage(j_common_ptr cinfo, int level) {
    if (level >= 0)
        return; // trace messages
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

inline QString message(const Errors& errors) {
    return QString::fromLatin1(errors.message).trimmed();
}

} // namespace platform::jpeg
