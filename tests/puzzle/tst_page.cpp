// SPDX-License-Identifier: MIT
#include "puzzle/page.h"

#include <QFile>
#include <QTest>

#include <algorithm>
#include <cctype>
#include <regex>
#include <vector>

using namespace puzzle;

namespace {

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find('\r', from)) != std::string_view::npos; from = at + 1)
        lines.emplace_back(text.substr(from, at - from));
    lines.emplace_back(text.substr(from));
    return lines;
}

int count(std::string_view text, std::string_view what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string_view::npos;
         at = text.find(what, at + what.size()))
        ++n;
    return n;
}

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return out;
}

void addCombinations() {
    QTest::addColumn<int>("n");
    QTest::addColumn<bool>("solve");
    for (int n = kMinGrid; n <= kMaxGrid; ++n) {
        const std::string size = std::to_string(n) + "x" + std::to_string(n);
        QTest::newRow((size + " plain").c_str()) << n << false;
        QTest::newRow((size + " solve").c_str()) << n << true;
    }
}

} // namespace

class TestPage : public QObject {
    Q_OBJECT

private slots:
    void templateShape() {
        const std::string_view t = pageTemplate();
        QCOMPARE(t.size(), std::size_t(1039));
        QCOMPARE(count(t, "\r"), 95);
        QVERIFY(t.find('\n') == std::string_view::npos);
        QVERIFY(std::all_of(t.begin(), t.end(), [](unsigned char c) { return c < 0x80; }));
        const auto lines = splitLines(t);
        QCOMPARE(lines.size(), std::size_t(96));
        QCOMPARE(lines[0], "<HTML><HEAD>");
        QCOMPARE(lines[22], "function  setit()");
        QCOMPARE(lines[69], "function  sol()");
        QCOMPARE(lines[93],
                 "<TABLE BORDER=\"0\"  CELLSPACING=\"0\" CELLPADDING=\"0\" ALIGN=\"center\">");
        QCOMPARE(lines[94], "\t<TR>");
        QCOMPARE(lines[95], "\t");
        for (int empty : {5,  6,  7,  8,  9,  15, 16, 18, 22, 26, 29, 32, 35, 38, 42, 46, 47, 49,
                          51, 59, 61, 66, 67, 69, 72, 76, 78, 79, 81, 82, 85, 86, 88, 89, 90, 91})
            QVERIFY2(lines[std::size_t(empty - 1)].empty(), std::to_string(empty).c_str());
    }

    void creditIsAnonymous() {
        const std::string line4 = splitLines(pageTemplate())[3];
        QVERIFY(line4.starts_with("<!--"));
        const std::string credit = line4.substr(4);
        QCOMPARE(credit.size(), std::size_t(38));
        for (const char* address : {"http", "www", "@", ".com", ".org", ".example"})
            QVERIFY2(lower(credit).find(address) == std::string::npos, address);
    }

    void placeholdersStandOnlyWhereExpected() {
        const auto lines = splitLines(pageTemplate());
        const std::pair<std::string_view, std::vector<int>> expected[] = {
            {kPieceCountPlaceholder, {11, 33, 73}},
            {kLastIndexPlaceholder, {30, 39}},
            {kScramblePlaceholder, {27}},
        };
        for (const auto& [placeholder, where] : expected) {
            std::vector<int> found;
            for (std::size_t i = 0; i < lines.size(); ++i) {
                const int inLine = count(lower(lines[i]), placeholder);
                QVERIFY(inLine <= 1);
                if (inLine)
                    found.push_back(int(i) + 1);
            }
            QCOMPARE(found, where);
        }
    }

    void replaceAllReplacesEveryOccurrence() {
        QCOMPARE(replaceAll("dddddd-ddd", "ddd", "16"), "1616-16");
        QCOMPARE(replaceAll("nothing here", "ddd", "16"), "nothing here");
        QCOMPARE(replaceAll("dd", "ddd", "16"), "dd");
        QCOMPARE(replaceAll("qqq", "qqq", "qqq"), "qqq");
        QCOMPARE(replaceAll("", "ppp", "8"), "");
    }

    // The link target is the maker's address with its scheme, the link text the same without.
    void footerLinkTextIsItsTarget() {
        QVERIFY(kMakerUrl.starts_with("https://"));
        QCOMPARE(kMakerUrl.substr(8), kMakerUrlText);
    }

    // Every page as it is written, byte for byte: tests/data/pages/classic-NxN[-solve].html, with
    // the maker's address the build was given. A change of the page shows as a diff of these.
    void everyPageAsWritten_data() { addCombinations(); }
    void everyPageAsWritten() {
        QFETCH(int, n);
        QFETCH(bool, solve);
        QFile golden(QStringLiteral(TILEMAVEN_TEST_DATA_DIR "/pages/classic-%1x%1%2.html")
                         .arg(n)
                         .arg(solve ? "-solve" : ""));
        QVERIFY(golden.open(QIODevice::ReadOnly));
        std::string expected = golden.readAll().toStdString();
        expected = replaceAll(expected, "https://tilemaven.example", kMakerUrl);
        expected =
            replaceAll(expected, ">tilemaven.example<", ">" + std::string(kMakerUrlText) + "<");
        QCOMPARE(pageText(*rowForGrid(n), solve), expected);
    }

    void everyPage_data() { addCombinations(); }
    void everyPage() {
        QFETCH(int, n);
        QFETCH(bool, solve);
        const SizeRow& row = *rowForGrid(n);
        const std::string filled = fillTemplate(std::string(pageTemplate()), row);
        const std::string table = tableText(row, solve);
        const std::string page = pageText(row, solve);
        QCOMPARE(page, filled + table);

        for (std::string_view placeholder : {"ddd", "ppp", "qqq"})
            QCOMPARE(count(lower(page), placeholder), 0);
        const auto lines = splitLines(page);
        QCOMPARE(lines.size(), std::size_t(96));
        const std::string pieces = std::to_string(n * n);
        const std::string last = std::to_string(n * n - 1);
        QCOMPARE(lines[10], "for(j=0;j<" + pieces + ";j++)");
        QCOMPARE(lines[26], "var a=\"" + std::string(row.scrambleOrder) + "\"");
        QCOMPARE(lines[29], "var bb=Math.round(" + last + "*Math.random())");
        QCOMPARE(lines[32], "while(I<" + pieces + ")");
        QCOMPARE(lines[38], "if(bb!=" + last + ")");
        QCOMPARE(lines[72], "for(j=0;j<" + pieces + ";j++)");

        // The table text carries no line end: it starts on the template's last line, after the tab.
        QVERIFY(table.find('\r') == std::string::npos && table.find('\n') == std::string::npos);
        QVERIFY(lines[95].starts_with("\t<td><A HREF='JavaScript:void doit(0,document.images[0]"));
        QVERIFY(page.ends_with("</body></html>"));

        // Walk the table: cells in index order, one separator after every row but the last.
        const std::regex token(
            R"(<td><A HREF='JavaScript:void doit\((\d+),document\.images\[(\d+)\]\.src\)'[^]*?</td>|</tr><tr>|</tr><TR>|</tr></table>)");
        std::vector<std::string> seen;
        int cells = 0;
        std::size_t end = 0;
        for (auto it = std::sregex_iterator(table.begin(), table.end(), token);
             it != std::sregex_iterator(); ++it) {
            const std::smatch& m = *it;
            QCOMPARE(std::size_t(m.position(0)), end); // nothing between tokens
            end = std::size_t(m.position(0) + m.length(0));
            if (m[1].matched) {
                QCOMPARE(m[1].str(), std::to_string(cells));
                QCOMPARE(m[2].str(), std::to_string(cells));
                ++cells;
                if (cells % n == 0)
                    seen.push_back(cells == n * n ? "</tr></table>"
                                                  : std::string(row.separator(cells / n - 1)));
            } else {
                QVERIFY(!seen.empty());
                QCOMPARE(m[0].str(), seen.back());
                if (m[0] == "</tr></table>")
                    break;
            }
        }
        QCOMPARE(cells, n * n);
        QCOMPARE(count(table, "</tr></table>"), 1);
        QCOMPARE(count(table, "</tr><TR>"), n == 7 ? 1 : n == 8 ? 2 : 0);
        QCOMPARE(count(table, "</tr><tr>") + count(table, "</tr><TR>"), n - 1);
        QCOMPARE(table.substr(end), footerFor(row, solve));
        QCOMPARE(count(table, "<IMG"), n * n);

        // No image outside the table, so the script's image k is cell k.
        QCOMPARE(count(lower(page), "<img"), n * n);
        QCOMPARE(page.find("FORM") != std::string::npos, solve);
        if (solve && n == 3)
            QVERIFY(page.ends_with("</SMALL></p></FORM></body></html>"));
        if (solve && n > 3) {
            QVERIFY(page.ends_with("</SMALL></p></body></html>"));
            QVERIFY(page.find("onClick='sol()'></FORM><p><SMALL>") != std::string::npos);
        }
    }
};

QTEST_APPLESS_MAIN(TestPage)
#include "tst_page.moc"
