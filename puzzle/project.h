#pragma once

#include "platform/picturesource.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <functional>

namespace platform {
class StagedFolder;
}

namespace puzzle {

// What the slicing reports while it goes: each piece in index order (from the calling thread),
// and the cooperative yield after each piece and each row.
struct SliceCallbacks {
    std::function<void(int k, const QImage& piece)> preview;
    std::function<void()> yield;
};

struct SliceOutcome {
    bool ok = false;
    QString error;   // one short line, when it failed
    QSize pieceSize; // PW x PH
};

// Trims `source` at its right and bottom edges so both sides divide by `n`, cuts it into n*n pieces
// "Image<k>.jpg" on a white ground, then the all-white "white.jpg", all staged into `out`.
SliceOutcome slice(platform::Source& source, int n, platform::StagedFolder& out,
                   const SliceCallbacks& callbacks = {});

struct ProjectOutcome {
    bool ok = false;
    QString error;
    int pieces = 0;
    QSize pieceSize;
    QSize pictureSize;
};

// The whole folder: pieces, "white.jpg" and "index.html" holding `pageText` byte for byte, moved
// into place only when all are complete. On failure the folder is left as it was.
ProjectOutcome writeProject(platform::Source& source, int n, const QString& folder,
                            const QByteArray& pageText, const SliceCallbacks& callbacks = {});
// The same, with the page asked for only once the pieces are staged.
ProjectOutcome writeProject(platform::Source& source, int n, const QString& folder,
                            const std::function<QByteArray()>& pageText,
                            const SliceCallbacks& callbacks = {});

} // namespace puzzle
