// SPDX-License-Identifier: MIT
#include "puzzle/project.h"

#include "folder/stagedfolder.h"
#include "puzzle/sizetable.h"

#include <QCryptographicHash>
#include <QRegularExpression>

namespace puzzle {

// The folder stages and recovers the pieces of the largest grid, and no more.
static_assert(kMaxGrid * kMaxGrid <= folder::kMaxPieces);

namespace {

class FolderSink final : public PieceSink {
public:
    explicit FolderSink(folder::StagedFolder& folder)
        : m_folder(folder) {}
    bool put(const QString& name, const QByteArray& bytes) override {
        return m_folder.write(name, bytes);
    }
    QString errorString() const override { return m_folder.errorString(); }

private:
    folder::StagedFolder& m_folder;
};

// Notes each piece's version on its way to the folder, or keeps the piece in memory instead.
class RecordingSink final : public PieceSink {
public:
    RecordingSink(PieceSink* folder, MadePieces& made)
        : m_folder(folder)
        , m_made(made) {}
    // Pieces may come in any order; each is noted under its index.
    bool put(const QString& name, const QByteArray& bytes) override {
        static const QRegularExpression piece(QStringLiteral("^Image(\\d+)\\.jpg$"));
        if (const QRegularExpressionMatch match = piece.match(name); match.hasMatch()) {
            const qsizetype k = match.captured(1).toLongLong();
            if (m_made.versions.size() <= k)
                m_made.versions.resize(k + 1);
            m_made.versions[k] = pieceVersion(bytes);
            if (!m_folder) {
                if (m_made.files.size() <= k)
                    m_made.files.resize(k + 1);
                m_made.files[k] = bytes;
            }
        }
        return !m_folder || m_folder->put(name, bytes);
    }
    QString errorString() const override { return m_folder ? m_folder->errorString() : QString(); }

private:
    PieceSink* m_folder; // null: nothing goes to the folder
    MadePieces& m_made;
};

} // namespace

QByteArray pieceVersion(const QByteArray& bytes) {
    // Ten hex digits: a chance in a trillion that a changed piece keeps its address.
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().left(10);
}

namespace {

// The pieces through `sink`, then "index.html" from `pageText`, all moved into place together.
ProjectOutcome writeThrough(picture::Source& source, Grid grid, folder::StagedFolder& out,
                            PieceSink& sink, const std::function<QByteArray(QSize)>& pageText,
                            const SliceCallbacks& callbacks) {
    ProjectOutcome outcome;
    outcome.pictureSize = source.size();
    const SliceOutcome sliced = slice(source, grid, sink, callbacks);
    if (!sliced.ok) {
        outcome.error = sliced.error;
        return outcome;
    }
    if (!out.write(QStringLiteral("index.html"), pageText(sliced.pieceSize)) || !out.commit()) {
        outcome.error = out.errorString();
        return outcome;
    }
    outcome.ok = true;
    outcome.pieces = grid.pieces();
    outcome.pieceSize = sliced.pieceSize;
    return outcome;
}

} // namespace

ProjectOutcome writeProject(picture::Source& source, Grid grid, const ProjectFolder& folder,
                            PieceStorage storage,
                            const std::function<QByteArray(const MadePieces&)>& pageText,
                            const SliceCallbacks& callbacks) {
    folder::StagedFolder out(folder.path, folder.missing);
    FolderSink folderSink(out);
    MadePieces made;
    RecordingSink sink(storage == PieceStorage::Files ? &folderSink : nullptr, made);
    return writeThrough(
        source, grid, out, sink,
        [&](QSize pieceSize) {
            made.pieceSize = pieceSize;
            return pageText(made);
        },
        callbacks);
}

ProjectOutcome writeProject(picture::Source& source, Grid grid, const ProjectFolder& folder,
                            const QByteArray& pageText, const SliceCallbacks& callbacks) {
    return writeProject(
        source, grid, folder, [&pageText] { return pageText; }, callbacks);
}

ProjectOutcome writeProject(picture::Source& source, Grid grid, const ProjectFolder& folder,
                            const std::function<QByteArray()>& pageText,
                            const SliceCallbacks& callbacks) {
    folder::StagedFolder out(folder.path, folder.missing);
    FolderSink sink(out);
    return writeThrough(
        source, grid, out, sink, [&](QSize) { return pageText(); }, callbacks);
}

} // namespace puzzle
