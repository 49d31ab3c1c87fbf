#pragma once

#include "platform/picturesource.h"
#include "puzzle/slicer.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <functional>

namespace puzzle {

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
