// SPDX-License-Identifier: MIT
#pragma once

// One puzzle as it is asked for beyond the size and the solve button: which page, its title, the
// picture fitted to a box, the pieces inside the page. The command line fills it from its options;
// the window may be started with it.

#include "picture/picturesource.h"
#include "puzzle/modernpage.h"
#include "puzzle/project.h"

#include <QSize>
#include <QString>

#include <memory>
#include <string>

namespace puzzle {

// The box a modern page's picture fits within unless told otherwise. A phone photo of 12 MP is
// 4,000 px wide, while the page never shows more than the screen; 2560 px fills a large monitor,
// and a page to share weighs a fraction of the photo. A picture that fits keeps every pixel.
inline const QSize kModernFit{2560, 2560};

struct PageChoice {
    bool modern = false;
    bool singleFile = false;
    std::string title{kDefaultTitle}; // UTF-8
    QSize fit;                        // empty: the picture as it is
};

// The picture at `path`, fitted within choice.fit when that is set; nullptr with `error` set when
// it cannot be read.
std::unique_ptr<picture::Source> openChosenPicture(const QString& path, const PageChoice& choice,
                                                   picture::SourceCheck check, QString& error);

// The modern page for what the slicing made: pieces by address, or inside the page.
QByteArray modernPageBytes(Grid grid, bool solveButton, const PageChoice& choice,
                           const MadePieces& made);

// The whole modern puzzle from `source` into `folder`.
ProjectOutcome writeModernProject(picture::Source& source, Grid grid, bool solveButton,
                                  const PageChoice& choice, const ProjectFolder& folder,
                                  const SliceCallbacks& callbacks = {});

} // namespace puzzle
