// SPDX-License-Identifier: MIT
#pragma once

#include "picture/orientation.h"
#include "puzzle/slicer.h"

#include <QPoint>
#include <QSize>

#include <vector>

namespace puzzle {

// Where the shown pieces of a turned picture lie in its stored rows. A shown piece of pw by ph
// covers a stored cell of cellSize(); the cells tile a rectangle of the stored picture from
// origin(), in the grid's columns and rows swapped where the turn swaps the sides.
class CellPlan {
public:
    CellPlan() = default;
    CellPlan(Grid grid, QSize piece, picture::Orientation orientation, QSize stored);

    QSize cellSize() const { return m_cell; }
    QPoint origin() const { return m_origin; } // the first cell's top left, stored
    Grid cells() const { return m_cells; }
    // The shown piece that stored cell (r, c) holds.
    int piece(int r, int c) const {
        return m_piece[std::size_t(r) * std::size_t(m_cells.columns) + std::size_t(c)];
    }
    // Every cell's piece, row by row of cells: the order in which a reader of stored rows cuts.
    const std::vector<int>& pieces() const { return m_piece; }
    // Piece k's top left corner in the shown picture.
    QPoint pieceOrigin(int k) const {
        return {(k % m_grid.columns) * m_pieceSize.width(),
                (k / m_grid.columns) * m_pieceSize.height()};
    }
    // The stored pixel that shows at `p`, and where stored pixel `p` shows.
    QPoint stored(QPoint p) const { return storedPixel(m_orientation, p.x(), p.y(), m_stored); }
    QPoint shown(QPoint p) const { return shownPixel(m_orientation, p.x(), p.y(), m_stored); }

private:
    Grid m_grid, m_cells;
    QSize m_pieceSize, m_cell, m_stored;
    QPoint m_origin;
    picture::Orientation m_orientation = picture::Orientation::Upright;
    std::vector<int> m_piece; // the shown piece of each stored cell, row by row
};

} // namespace puzzle
