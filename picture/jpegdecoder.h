// SPDX-License-Identifier: MIT
#pragma once

// One libjpeg decompressor over one picture file, and the checks that read a whole file through
// one: what the banded JPEG source is built on.

#include "picture/jpegerrors.h"
#include "picture/messages.h"
#include "picture/picturefile.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <memory>

namespace picture::jpeg {

// Reads the picture file in blocks, each reader at its own offset. At its end the data is followed
// by an end marker that is not in the file, without a warning of its own: if scan data is missing,
// the entropy decoder then warns that it ran into a marker, and a file that only lacks its end
// marker still reads.
struct FileSource {
    jpeg_source_mgr manager{}; // first member: libjpeg's pointer leads back to the rest
    const PictureFile* file = nullptr;
    qint64 offset = 0;
    bool ended = false; // the end marker was made up
    QString readError;  // the file could not be read to its end
    std::array<JOCTET, 64 * 1024> buffer{};

    static void init(j_decompress_ptr) {}

    static boolean fill(j_decompress_ptr cinfo) {
        auto* self = reinterpret_cast<FileSource*>(cinfo->src);
        QString error;
        const qint64 got =
            self->file->read(self->offset, reinterpret_cast<char*>(self->buffer.data()),
                             qint64(self->buffer.size()), &error);
        if (got > 0) {
            self->offset += got;
            self->manager.next_input_byte = self->buffer.data();
            self->manager.bytes_in_buffer = std::size_t(got);
            return TRUE;
        }
        if (got < 0 && self->readError.isEmpty())
            self->readError = error;
        self->ended = true;
        self->buffer[0] = 0xFF;
        self->buffer[1] = JPEG_EOI;
        self->manager.next_input_byte = self->buffer.data();
        self->manager.bytes_in_buffer = 2;
        return TRUE;
    }

    static void skip(j_decompress_ptr cinfo, long count) {
        auto* self = reinterpret_cast<FileSource*>(cinfo->src);
        while (count > 0) {
            if (self->manager.bytes_in_buffer == 0)
                fill(cinfo);
            const std::size_t step = std::min(std::size_t(count), self->manager.bytes_in_buffer);
            self->manager.next_input_byte += step;
            self->manager.bytes_in_buffer -= step;
            count -= long(step);
            if (self->ended && self->manager.bytes_in_buffer == 0)
                return;
        }
    }

    static void term(j_decompress_ptr) {}

    void attach(j_decompress_ptr cinfo, const PictureFile* from) {
        file = from;
        offset = 0;
        manager.init_source = &init;
        manager.fill_input_buffer = &fill;
        manager.skip_input_data = &skip;
        manager.resync_to_restart = &jpeg_resync_to_restart;
        manager.term_source = &term;
        cinfo->src = &manager;
    }
};

// One libjpeg decompressor over one open file. Every libjpeg call goes through run(), which turns
// an error or warning into a false return with the message kept.
class Decoder {
public:
    Decoder() {
        m_cinfo.err = install(m_errors);
        jpeg_create_decompress(&m_cinfo);
        m_progress.manager.progress_monitor = &Progress::monitor;
        m_cinfo.progress = &m_progress.manager;
    }
    ~Decoder() { jpeg_destroy_decompress(&m_cinfo); }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    void open(std::shared_ptr<const PictureFile> file) {
        m_file = std::move(file);
        m_source.attach(&m_cinfo, m_file.get());
    }

    jpeg_decompress_struct& cinfo() { return m_cinfo; }
    const FileSource& source() const { return m_source; }

    // Why the data read so far cannot be trusted though libjpeg said nothing: the file could not
    // be read to its end, or arithmetic-coded data ran into the end marker made up for a file
    // that stops early (that decoder fills what is missing with zeros, silently).
    QString readFailure() const {
        if (!m_source.readError.isEmpty())
            return m_source.readError;
        if (m_source.ended && m_cinfo.arith_code)
            return endsEarly();
        return {};
    }

    // Once every scan has been read (a multi-scan file at the start of decompression, any file at
    // its end): empty when every coefficient of every component has its final value, else why not.
    QString scansComplete() const {
        const jpeg_decompress_struct& c = m_cinfo;
        if (c.progressive_mode) {
            if (!c.coef_bits)
                return endsEarly();
            for (int ci = 0; ci < c.num_components; ++ci)
                for (int k = 0; k < DCTSIZE2; ++k)
                    if (c.coef_bits[ci][k] != 0)
                        return endsEarly();
            return {};
        }
        for (int ci = 0; ci < c.num_components; ++ci)
            if (!(m_progress.scanned & (1u << ci)))
                return endsEarly();
        return {};
    }

    // Calls `work` (no C++ objects with destructors inside: a failure jumps out of it).
    template <typename Work>
    bool run(Work&& work) {
        if (setjmp(m_errors.jump)) {
            m_error = m_source.readError.isEmpty() ? message(m_errors) : m_source.readError;
            return false;
        }
        work(m_cinfo);
        return true;
    }

    QString error() const { return m_error; }

private:
    // Counts the scans as libjpeg reads them and notes which components they carried.
    struct Progress {
        jpeg_progress_mgr manager{}; // first member: libjpeg's pointer leads back to the rest
        unsigned scanned = 0;

        static void monitor(j_common_ptr common) {
            if (!common->is_decompressor)
                return;
            auto* c = reinterpret_cast<j_decompress_ptr>(common);
            if (c->input_scan_number > kMaxScans)
                stop(common, "it has more scans than any picture needs");
            auto* self = reinterpret_cast<Progress*>(c->progress);
            for (int i = 0; i < c->comps_in_scan && i < MAX_COMPS_IN_SCAN; ++i)
                if (c->cur_comp_info[i])
                    self->scanned |= 1u << c->cur_comp_info[i]->component_index;
        }
    };

    jpeg_decompress_struct m_cinfo{};
    jpeg::Errors m_errors;
    Progress m_progress;
    FileSource m_source;
    std::shared_ptr<const PictureFile> m_file;
    QString m_error;
};

// Whether the file's last two bytes are an end marker.
bool endsWithEndMarker(const PictureFile& file);

// Reads every scan line at an eighth of the size (the entropy data is decoded in full all the
// same): tells a file that only lacks its end marker from one cut short, and finds corrupt data.
// Empty when complete and sound, else why not.
QString checkComplete(const std::shared_ptr<const PictureFile>& file);

} // namespace picture::jpeg
