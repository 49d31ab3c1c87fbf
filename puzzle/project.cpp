#include "puzzle/project.h"

#include "platform/stagedfolder.h"

namespace puzzle {

// slice() lives in slicer.cpp.

ProjectOutcome writeProject(platform::Source& source, int n, const QString& folder,
                            const QByteArray& pageText, const SliceCallbacks& callbacks) {
    return writeProject(
        source, n, folder, [&pageText] { return pageText; }, callbacks);
}

ProjectOutcome writeProject(platform::Source& source, int n, const QString& folder,
                            const std::function<QByteArray()>& pageText,
                            const SliceCallbacks& callbacks) {
    ProjectOutcome outcome;
    outcome.pictureSize = source.size();
    platform::StagedFolder out(folder);
    const SliceOutcome sliced = slice(source, n, out, callbacks);
    if (!sliced.ok) {
        outcome.error = sliced.error;
        return outcome;
    }
    if (!out.write(QStringLiteral("index.html"), pageText()) || !out.commit()) {
        outcome.error = out.errorString();
        return outcome;
    }
    outcome.ok = true;
    outcome.pieces = n * n;
    outcome.pieceSize = sliced.pieceSize;
    return outcome;
}

} // namespace puzzle
