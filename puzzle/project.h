// SPDX-License-Identifier: MIT
#pragma once

#include "folder/stagedfolder.h"
#include "picture/picturesource.h"
#include "puzzle/slicer.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <QByteArrayList>

#include <functional>

namespace puzzle {

// Where the puzzle goes, and whether a folder that is not there is made.
struct ProjectFolder {
    // A path alone is a folder as it stands.
    ProjectFolder(QString where,
                  folder::StagedFolder::Missing missing = folder::StagedFolder::Missing::Refuse)
        : path(std::move(where))
        , missing(missing) {}
    QString path;
    folder::StagedFolder::Missing missing;
};

struct ProjectOutcome {
    bool ok = false;
    QString error;
    int pieces = 0;
    QSize pieceSize;
    QSize pictureSize;
};

// The whole folder: pieces, "white.jpg" and "index.html" holding `pageText` byte for byte, moved
// into place only when all are complete. On failure the folder is left as it was.
ProjectOutcome writeProject(picture::Source& source, Grid grid, const ProjectFolder& folder,
                            const QByteArray& pageText, const SliceCallbacks& callbacks = {});
// The same, with the page asked for only once the pieces are staged.
ProjectOutcome writeProject(picture::Source& source, Grid grid, const ProjectFolder& folder,
                            const std::function<QByteArray()>& pageText,
                            const SliceCallbacks& callbacks = {});

// Where the pieces of a page built from them go.
enum class PieceStorage {
    Files,  // Image<k>.jpg and white.jpg beside index.html
    InPage, // inside index.html: no other file is written, nothing is kept anywhere but in memory
};

// What the slicing made, handed to the page once every piece is staged.
struct MadePieces {
    QSize pieceSize;
    QByteArrayList versions; // per piece, Image0 first: a short hex digest of its bytes
    QByteArrayList files;    // per piece, its JPEG bytes; only with PieceStorage::InPage
};

// The pieces made into `storage`, then "index.html" built from them.
ProjectOutcome writeProject(picture::Source& source, Grid grid, const ProjectFolder& folder,
                            PieceStorage storage,
                            const std::function<QByteArray(const MadePieces&)>& pageText,
                            const SliceCallbacks& callbacks = {});

// The version that a piece of these bytes carries in its address.
QByteArray pieceVersion(const QByteArray& bytes);

} // namespace puzzle
