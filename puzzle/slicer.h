// SPDX-License-Identifier: MIT
#pragma once

// The slicing pass. The calling thread decodes the picture a few dozen rows at a time into a small
// ring of buffers; two workers feed those rows to one JPEG encoder per column of pieces, so that
// encoding overlaps decoding and a band of pieces is never held whole. Finished pieces come back
// to the calling thread, which hands them on in the order they are cut and shows them in index
// order.

#include "picture/picturesource.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

#include <functional>

namespace puzzle {

// Columns by rows of pieces; piece k stands in row k / columns, column k % columns.
struct Grid {
    int columns = 0;
    int rows = 0;
    static constexpr Grid square(int n) { return {n, n}; }
    constexpr int pieces() const { return columns * rows; }
    bool operator==(const Grid&) const = default;
};

// What the slicing reports while it goes: each piece in index order (from the calling thread),
// and the cooperative yield after each piece and each row.
struct SliceCallbacks {
    std::function<void(int k, const QImage& piece)> preview;
    // How much of each piece the preview can show, from its top left: only that corner is made.
    // Empty: the whole piece.
    QSize previewSize;
    std::function<void()> yield;
};

struct SliceOutcome {
    bool ok = false;
    QString error;   // one short line, when it failed
    QSize pieceSize; // PW x PH
};

// Where the finished files go, in the order they are made.
class PieceSink {
public:
    virtual ~PieceSink() = default;
    // False with errorString() set when the file cannot be taken.
    virtual bool put(const QString& name, const QByteArray& bytes) = 0;
    virtual QString errorString() const = 0;
};

// Trims `source` at its right and bottom edges so that its width divides by the grid's columns and
// its height by its rows, cuts it into the grid's pieces "Image<k>.jpg" on a white ground, then the
// all-white "white.jpg", all handed to `out`.
SliceOutcome slice(picture::Source& source, Grid grid, PieceSink& out,
                   const SliceCallbacks& callbacks = {});

} // namespace puzzle
