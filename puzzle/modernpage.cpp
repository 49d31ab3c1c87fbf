// SPDX-License-Identifier: MIT
#include "puzzle/modernpage.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

namespace puzzle {
namespace {

constexpr std::string_view kSolveButton =
    "\n<button type=\"button\" id=\"solve\" data-w=\"4\">Solve It For Me</button>";

// The page reads its data as JSON from inside a script element: only addresses made here go in,
// and they hold neither quotes, backslashes nor "<".
std::string dataJson(const ModernPage& page) {
    std::string json =
        "{\"c\":" + std::to_string(page.grid.columns) + ",\"r\":" + std::to_string(page.grid.rows) +
        ",\"w\":" + std::to_string(page.pieceWidth) + ",\"h\":" + std::to_string(page.pieceHeight) +
        ",\"id\":\"" + page.id + "\",\"pieces\":[";
    for (std::size_t k = 0; k < page.pieces.size(); ++k) {
        const std::string& address = page.pieces[k];
        if (address.find_first_of("\"\\<\n\r") != std::string::npos)
            throw std::invalid_argument("a piece address cannot stand in the page");
        json += k ? ",\"" : "\"";
        json += address;
        json += '"';
    }
    json += "]}";
    return json;
}

bool plainId(std::string_view id) {
    if (id.empty())
        return false;
    for (const char c : id)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
            return false;
    return true;
}

} // namespace

bool validModernGrid(GridSides grid) {
    return grid.columns >= kMinGridSide && grid.columns <= kMaxGridSide &&
           grid.rows >= kMinGridSide && grid.rows <= kMaxGridSide &&
           grid.columns * grid.rows <= kMaxGridPieces;
}

GridSides autoGrid(int width, int height) {
    // A piece twice as wide as high counts as much as four times the pieces aimed at: squareness
    // first, then the count. Pieces are measured as cut, after the trim.
    GridSides best{kMinGridSide, kMinGridSide};
    double bestCost = std::numeric_limits<double>::infinity();
    for (int columns = kMinGridSide; columns <= kMaxGridSide; ++columns)
        for (int rows = kMinGridSide; rows <= kMaxGridSide; ++rows) {
            const int pieceWidth = width / columns, pieceHeight = height / rows;
            if (pieceWidth < 1 || pieceHeight < 1 || !validModernGrid({columns, rows}))
                continue;
            const double cost = std::abs(std::log(double(pieceWidth) / pieceHeight)) +
                                0.5 * std::abs(std::log(double(columns * rows) / kAutoGridPieces));
            if (cost < bestCost) {
                bestCost = cost;
                best = {columns, rows};
            }
        }
    return best;
}

bool validTitle(std::string_view title) {
    std::size_t characters = 0;
    for (const char c : title) {
        if (c == '\n' || c == '\r')
            return false;
        // Continuation bytes of UTF-8 do not start a character.
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++characters;
    }
    return characters <= kMaxTitleLength;
}

std::string escapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string pieceAddress(int k, std::string_view version) {
    std::string address = "Image" + std::to_string(k) + ".jpg";
    if (!version.empty()) {
        address += "?v=";
        address += version;
    }
    return address;
}

std::string jpegDataUri(std::string_view jpeg) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out = "data:image/jpeg;base64,";
    out.reserve(out.size() + (jpeg.size() + 2) / 3 * 4);
    std::size_t i = 0;
    const auto byte = [&jpeg](std::size_t at) {
        return unsigned(static_cast<unsigned char>(jpeg[at]));
    };
    for (; i + 3 <= jpeg.size(); i += 3) {
        const unsigned v = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
        out += kDigits[v >> 18];
        out += kDigits[(v >> 12) & 63];
        out += kDigits[(v >> 6) & 63];
        out += kDigits[v & 63];
    }
    if (const std::size_t left = jpeg.size() - i; left > 0) {
        const unsigned v = byte(i) << 16 | (left == 2 ? byte(i + 1) << 8 : 0u);
        out += kDigits[v >> 18];
        out += kDigits[(v >> 12) & 63];
        out += left == 2 ? kDigits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string modernPageText(const ModernPage& page) {
    if (!validModernGrid(page.grid) ||
        page.pieces.size() != std::size_t(page.grid.columns) * std::size_t(page.grid.rows))
        throw std::invalid_argument("the page needs a grid and one address for each piece");
    if (!plainId(page.id))
        throw std::invalid_argument("the puzzle's id cannot stand in the page");
    const std::string title = escapeHtml(page.title);
    const std::string data = dataJson(page);
    const std::pair<std::string_view, std::string_view> fields[] = {
        {kTitleField, title},
        {kSolveField, page.solveButton ? kSolveButton : std::string_view()},
        {kDataField, data},
    };
    // One pass over the source: a title that reads "{{data}}" stays that text.
    const std::string_view source = modernTemplate();
    std::string text;
    text.reserve(source.size() + data.size() + 2 * title.size());
    std::size_t from = 0;
    while (from < source.size()) {
        std::size_t at = source.find("{{", from);
        if (at == std::string_view::npos)
            at = source.size();
        text.append(source.substr(from, at - from));
        from = at;
        if (at == source.size())
            break;
        bool filled = false;
        for (const auto& [field, value] : fields)
            if (source.substr(at).starts_with(field)) {
                text.append(value);
                from = at + field.size();
                filled = true;
                break;
            }
        if (!filled) {
            text.append("{{");
            from = at + 2;
        }
    }
    return text;
}

} // namespace puzzle
