#include "puzzle/project.h"

#include "platform/stagedfolder.h"

namespace puzzle {

namespace {

class FolderSink final : public PieceSink {
public:
    explicit FolderSink(platform::StagedFolder& folder)
        : m_folder(folder) {}
    bool put(const QString& name, const QByteArray& bytes) override {
        return m_folder.write(name, bytes);
    }
    QString errorString() const override { return m_folder.errorString(); }

private:
    platform::StagedFolder& m_folder;
};

} // namespace

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
    FolderSink sink(out);
    const SliceOutcome sliced = slice(source, n, sink, callbacks);
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
