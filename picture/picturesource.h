// SPDX-License-Identifier: MIT
#pragma once

#include "picture/orientation.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <memory>

namespace picture {

// A decoded or decodable picture, read from the top down in bands of whole rows. A whole decoded
// QImage is one kind; a JPEG decoded band by band, never whole, is another.
class Source {
public:
    virtual ~Source() = default;
    // The picture as a viewer shows it.
    virtual QSize size() const = 0;
    // How the rows that nextRows() gives, the picture as stored, are turned to be shown. Rows are
    // then size() wide and high, swapped where the turn swaps the sides.
    virtual Orientation orientation() const { return Orientation::Upright; }
    // The next `rows` rows as an image of the full width (formats RGB32 or ARGB32), continuing
    // where the last call stopped. False with `error` set when the data runs out or is damaged.
    virtual bool nextRows(int rows, QImage& band, QString& error) = 0;
};

// `band` made `width` x `rows` in `format` for a source to write into: a band of the caller's
// with that shape, not shared, is written in place. False with `error` set when there is no
// memory for it.
bool shapeBand(QImage& band, int width, int rows, QImage::Format format, QString& error);

// How much of a picture that is decoded band by band openSource() reads before it returns; a
// picture decoded whole is read to its end in any case.
enum class SourceCheck {
    Header,   // the header; damage further in shows when its rows are read
    EveryRow, // every row's data as well, at the cost of one more entropy-decoding pass
};

// What the reader takes from a JPEG decoded whole when it is opened (a file of several scans),
// which can hand out only one of the two.
enum class SourceUse {
    Planes, // its stored planes, which the slicer takes where it can
    Rows,   // its rows, for a reader in between such as fitWithin()
};

// Opens the picture file at `path` for slicing; nullptr with `error` set when it cannot be read.
// Checks what can be checked before anything is written: format, dimensions, header damage.
std::unique_ptr<Source> openSource(const QString& path, QString& error,
                                   SourceCheck check = SourceCheck::Header,
                                   SourceUse use = SourceUse::Planes);

} // namespace picture
