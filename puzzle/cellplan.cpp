// SPDX-License-Identifier: MIT
#include "puzzle/cellplan.h"

#include <algorithm>

namespace puzzle {

CellPlan::CellPlan(Grid grid, QSize piece, picture::Orientation orientation, QSize stored)
    : m_grid(grid)
    , m_cells(picture::swapsSides(orientation) ? Grid{grid.rows, grid.columns} : grid)
    , m_pieceSize(piece)
    , m_cell(picture::swapsSides(orientation) ? piece.transposed() : piece)
    , m_stored(stored)
    , m_orientation(orientation) {
    // The shown pieces cover the shown picture's top left; in stored rows that is a corner that
    // depends on the turn.
    const QPoint corner = this->stored({0, 0});
    const QPoint far =
        this->stored({grid.columns * piece.width() - 1, grid.rows * piece.height() - 1});
    m_origin = QPoint(std::min(corner.x(), far.x()), std::min(corner.y(), far.y()));
    m_piece.assign(std::size_t(grid.pieces()), -1);
    for (int k = 0; k < grid.pieces(); ++k) {
        const QPoint a = this->stored(pieceOrigin(k));
        const QPoint b =
            this->stored(pieceOrigin(k) + QPoint(piece.width() - 1, piece.height() - 1));
        const int row = (std::min(a.y(), b.y()) - m_origin.y()) / m_cell.height();
        const int col = (std::min(a.x(), b.x()) - m_origin.x()) / m_cell.width();
        m_piece[std::size_t(row) * std::size_t(m_cells.columns) + std::size_t(col)] = k;
    }
}

} // namespace puzzle
