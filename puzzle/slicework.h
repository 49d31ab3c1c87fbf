// SPDX-License-Identifier: MIT
#pragma once

// What the slicing pass shares between its decoding thread, its workers and the roads by which a
// worker turns a band of rows into pieces. The pass (slicer.cpp) fills ring slots with bands of the
// picture as it is stored; each worker takes one column of pieces at a time through one slot, by
// the road that fits the picture:
// - upright (uprightroad.cpp): the slot's rows or a JPEG's stored planes, fed to the column's
//   encoder as they come;
// - turned blocks (turnedblocks.cpp): a turned JPEG's blocks, transformed turned into a window
//   that holds the region around one piece as it is shown;
// - turned rows (turnedrows.cpp): a turned picture that gives only RGB rows, each pixel put into
//   the window where it shows, as the planes the encoder takes.

#include "picture/jpegencode.h"
#include "picture/jpegsource.h"
#include "picture/orientation.h"
#include "puzzle/cellplan.h"
#include "puzzle/planefeed.h"
#include "puzzle/slicer.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

#include <cstddef>
#include <memory>
#include <vector>

namespace puzzle::slicing {

inline constexpr int kMaxChunkRows = 256;

// One band of the picture's rows as it is stored, in a ring slot.
struct Slot {
    std::unique_ptr<uchar[]> memory;
    uchar* base = nullptr; // memory, aligned for coefficient planes
    QImage image;          // RGB32 feed: the rows, opaque, full width
    uchar* planes[3] = {}; // plane feed: Y, Cb, Cr
    int top = 0;           // the first row held
    int rows = 0;
    int pending = 0; // columns that have yet to read it
};

// A piece whose file is made, on its way back to the decoding thread.
struct Finished {
    int k = 0;
    QByteArray file;
    QImage preview;
};

// A column of pieces, upright, or of stored cells, turned: owned by one worker at a time.
struct Column {
    picture::JpegEncoder encoder;
    int next = 0; // the chunk it reads next
    bool busy = false;
    QImage preview;                  // the piece being made, when previews are wanted
    std::unique_ptr<PlaneFeed> feed; // the plane feed's state for the piece being made
    // Samples transformed from a slot's blocks: upright, the column's part of the slot; turned,
    // its cell's region as it is shown. A turned picture read in RGB rows: its cell's piece as
    // 4:2:0 planes.
    std::unique_ptr<uchar[]> window;
    std::size_t windowBytes = 0;
    // A turned picture read in RGB rows: the chroma sums of the row just read and of the one
    // before, which its chroma pairs it with when it has come (pendingPair; -1 when none waits).
    std::vector<quint16> sums;
    int pendingPair = -1;

    // The window, at least `bytes` long. What it held is not kept: a larger window is only asked
    // for when a new region begins. Allocated to the byte, not doubled as a vector grows, since a
    // turned picture's windows hold a whole row of its cells.
    uchar* windowOf(qsizetype bytes);
};

// What every road knows of the pass, fixed before the workers start.
struct Setup {
    Grid grid;     // as shown
    int pw = 0;    // piece width
    int ph = 0;    // piece height
    QSize stored;  // the picture as its rows are read
    Grid cells;    // the grid as stored: its columns are the workers' columns
    CellPlan plan; // turned: where each shown piece lies in the stored picture
    picture::Orientation orientation = picture::Orientation::Upright;
    picture::JpegPlanes* planes = nullptr; // null: the slots hold RGB32 rows
    picture::PlaneLayout layout;
    bool deferred = false; // the slots hold coefficients, which the workers transform
    bool previews = false;
    QSize preview; // the corner of each piece that the preview shows
    // Said when memory runs out on a worker: made before the workers start, since making a
    // message then could fail for the same reason.
    QString noMemory;
};

// One way of making a column's pieces from the slots.
class Road {
public:
    virtual ~Road() = default;
    // Feeds the slot's part of column `c` to the column's encoder, starting and finishing pieces
    // where they begin and end; finished pieces go to `finished`. Runs on a worker, without the
    // pass's lock: the column and the slot are this worker's until it reports back.
    virtual QString encode(Column& column, int c, const Slot& slot,
                           std::vector<Finished>& finished) = 0;
};

std::unique_ptr<Road> uprightRoad(const Setup& setup);
std::unique_ptr<Road> turnedBlocksRoad(const Setup& setup);
std::unique_ptr<Road> turnedRowsRoad(const Setup& setup);

// The piece file's name.
QString pieceName(int k);
// Said when there is no memory for a piece of this size.
QString noMemoryFor(QSize piece);
QString cannotEncode(int k, const QString& why);

// Piece k begins in the column's encoder, and its preview when previews are wanted.
QString startPiece(const Setup& setup, Column& column, int k, picture::JpegEncoder::Input input);
// Piece k is whole: its file and preview go to `finished`.
QString finishPiece(Column& column, int k, std::vector<Finished>& finished);
// Piece k from `rows`, an upright picture of the turned layout in which the piece's top left
// corner is at (x, y); `layout` is how its planes are laid out.
QString encodeShown(const Setup& setup, const picture::PlaneLayout& layout, Column& column, int k,
                    const PlaneRows& rows, QPoint corner, std::vector<Finished>& finished);

} // namespace puzzle::slicing
