// SPDX-License-Identifier: MIT
// The modern page as the page builder writes it: what every size carries, what a title can and
// cannot do to the page, the addresses of the pieces and the grid chosen for a picture.

#include "puzzle/modernpage.h"
#include "puzzle/sizetable.h"

#include <QSize>
#include <QTest>

#include <regex>
#include <set>

using namespace puzzle;

namespace {

ModernPage pageFor(GridSides grid, bool solve = false) {
    ModernPage page;
    page.grid = grid;
    page.id = "0f1e2d3c4b5a6978";
    page.pieceWidth = 46;
    page.pieceHeight = 34;
    page.solveButton = solve;
    for (int k = 0; k < grid.columns * grid.rows; ++k)
        page.pieces.push_back(pieceAddress(k, "0123abcdef"));
    return page;
}

std::size_t count(const std::string& text, std::string_view what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + what.size()))
        ++n;
    return n;
}

// The JSON the page reads its puzzle from.
std::string dataOf(const std::string& page) {
    static const std::regex kData(R"(<script type="application/json" id="data">([^<]*)</script>)");
    std::smatch match;
    return std::regex_search(page, match, kData) ? match[1].str() : std::string();
}

} // namespace

class TestModernPage : public QObject {
    Q_OBJECT

private slots:
    void everySize_data() {
        QTest::addColumn<int>("n");
        QTest::addColumn<bool>("solve");
        for (const SizeRow& row : sizeTable())
            for (const bool solve : {false, true})
                QTest::addRow("%s%s", row.caption.data(), solve ? " solve" : "") << row.n << solve;
    }

    void everySize() {
        QFETCH(int, n);
        QFETCH(bool, solve);
        const std::string page = modernPageText(pageFor({n, n}, solve));

        QVERIFY(page.starts_with("<!DOCTYPE html>\n"));
        QVERIFY(page.find("<meta name=\"viewport\" content=\"width=device-width") !=
                std::string::npos);
        // The page's own text, all its languages included, stays small enough to load at once on
        // a slow line.
        QVERIFY2(page.size() <= 24 * 1024, std::to_string(page.size()).c_str());
        // Nothing is left to fill, nothing is fetched (no script, style or frame from elsewhere)
        // and nothing leads away: the credit is plain text.
        for (const char* left : {"{{title}}", "{{solve}}", "{{data}}", " src=", "<link", "@import",
                                 "<iframe", "url(", "<a ", "href", "http:", "https:"})
            QVERIFY2(page.find(left) == std::string::npos, left);
        QCOMPARE(count(page, "<small>Made with Tilemaven</small>"), std::size_t(1));
        QCOMPARE(count(page, "<noscript>\n<p>This puzzle needs JavaScript."), std::size_t(1));

        const std::string data = dataOf(page);
        const std::string expected = "{\"c\":" + std::to_string(n) + ",\"r\":" + std::to_string(n) +
                                     ",\"w\":46,\"h\":34,\"id\":\"0f1e2d3c4b5a6978\",\"pieces\":[";
        QVERIFY2(data.starts_with(expected), data.c_str());
        for (int k = 0; k < n * n; ++k)
            QCOMPARE(count(data, "\"Image" + std::to_string(k) + ".jpg?v=0123abcdef\""),
                     std::size_t(1));
        QCOMPARE(count(page, "id=\"solve\""), std::size_t(solve ? 1 : 0));
        QCOMPARE(count(page, "id=\"shuffle\""), std::size_t(1));
        QCOMPARE(count(page, "<title>Solve It</title>"), std::size_t(1));
        QCOMPARE(count(page, "<h1>Solve It</h1>"), std::size_t(1));
    }

    void titleIsText_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("shown");
        QTest::newRow("markup") << "<b>Bold</b>"
                                << "&lt;b&gt;Bold&lt;/b&gt;";
        QTest::newRow("script end") << "</title><script>alert(1)</script>"
                                    << "&lt;/title&gt;&lt;script&gt;alert(1)&lt;/script&gt;";
        QTest::newRow("ampersand and quotes") << "Tom & \"Jerry's\""
                                              << "Tom &amp; &quot;Jerry&#39;s&quot;";
        QTest::newRow("a field's name") << "{{data}} {{solve}}"
                                        << "{{data}} {{solve}}";
        QTest::newRow("letters beyond ASCII") << "Île aux fleurs — 春"
                                              << "Île aux fleurs — 春";
    }

    void titleIsText() {
        QFETCH(QString, title);
        QFETCH(QString, shown);
        ModernPage input = pageFor({4, 4}, true);
        input.title = title.toStdString();
        const std::string page = modernPageText(input);
        const std::string escaped = shown.toStdString();
        QCOMPARE(count(page, "<title>" + escaped + "</title>"), std::size_t(1));
        QCOMPARE(count(page, "<h1>" + escaped + "</h1>"), std::size_t(1));
        // The title changed nothing else: one button, one data block, the same data.
        QCOMPARE(count(page, "id=\"solve\""), std::size_t(1));
        QCOMPARE(count(page, "id=\"data\""), std::size_t(1));
        QCOMPARE(dataOf(page), dataOf(modernPageText(pageFor({4, 4}, true))));
    }

    void validTitles_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("valid");
        QTest::newRow("empty") << "" << true;
        QTest::newRow("plain") << "My holiday" << true;
        QTest::newRow("200 characters") << QString(200, QChar(u'x')) << true;
        QTest::newRow("201 characters") << QString(201, QChar(u'x')) << false;
        // Characters, not bytes: 200 of them take 400 bytes in UTF-8.
        QTest::newRow("200 accented") << QString(200, QChar(u'é')) << true;
        QTest::newRow("201 accented") << QString(201, QChar(u'é')) << false;
        QTest::newRow("newline") << "two\nlines" << false;
        QTest::newRow("carriage return") << "two\rlines" << false;
        QTest::newRow("trailing newline") << "title\n" << false;
    }

    void validTitles() {
        QFETCH(QString, title);
        QFETCH(bool, valid);
        QCOMPARE(validTitle(title.toStdString()), valid);
    }

    void dataUris_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("one") << QByteArray("\xff", 1);
        QTest::newRow("two") << QByteArray("\xff\xd8", 2);
        QTest::newRow("three") << QByteArray("\xff\xd8\xff", 3);
        QByteArray every;
        for (int i = 0; i < 256; ++i)
            every.append(char(i));
        QTest::newRow("every byte") << every;
    }

    void dataUris() {
        QFETCH(QByteArray, bytes);
        const std::string uri =
            jpegDataUri(std::string_view(bytes.constData(), std::size_t(bytes.size())));
        const std::string prefix = "data:image/jpeg;base64,";
        QVERIFY(uri.starts_with(prefix));
        QCOMPARE(QByteArray::fromBase64(QByteArray::fromStdString(uri.substr(prefix.size())),
                                        QByteArray::AbortOnBase64DecodingErrors),
                 bytes);
        QCOMPARE(QByteArray::fromStdString(uri.substr(prefix.size())), bytes.toBase64());
    }

    void pieceAddresses() {
        QCOMPARE(pieceAddress(0, "abc"), "Image0.jpg?v=abc");
        QCOMPARE(pieceAddress(80, "0f"), "Image80.jpg?v=0f");
        QCOMPARE(pieceAddress(7, ""), "Image7.jpg");
    }

    void refusesWhatCannotBeAPage() {
        ModernPage page = pageFor({3, 3});
        page.pieces.pop_back();
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, modernPageText(page));
        page = pageFor({3, 3});
        page.pieces[4] = "Image4.jpg\"</script>";
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, modernPageText(page));
        page = pageFor({3, 3});
        page.id = "abc\"";
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, modernPageText(page));
        for (const GridSides grid : {GridSides{1, 4}, GridSides{13, 2}, GridSides{12, 13}})
            QVERIFY_THROWS_EXCEPTION(std::invalid_argument, modernPageText(pageFor(grid)));
    }

    // Near 16 pieces, as square as the picture allows; within 2..12 a side and 144 pieces.
    void automaticGrids_data() {
        QTest::addColumn<QSize>("picture");
        QTest::addColumn<QSize>("grid");
        QTest::newRow("square") << QSize(1000, 1000) << QSize(4, 4);
        QTest::newRow("4:3 photo") << QSize(4000, 3000) << QSize(4, 3);
        QTest::newRow("3:2 photo") << QSize(6000, 4000) << QSize(5, 3);
        QTest::newRow("5:1 panorama") << QSize(10000, 2000) << QSize(10, 2);
        QTest::newRow("20:1 strip") << QSize(20000, 1000) << QSize(12, 2);
        QTest::newRow("too small for any") << QSize(1, 1) << QSize(2, 2);
    }

    void automaticGrids() {
        QFETCH(QSize, picture);
        QFETCH(QSize, grid);
        const GridSides chosen = autoGrid(picture.width(), picture.height());
        QCOMPARE(QSize(chosen.columns, chosen.rows), grid);
    }

    // Every movement waits for a visitor who has not asked for less of it.
    void motionOnlyWhenWelcome() {
        const std::string page = modernPageText(pageFor({5, 5}, true));
        const std::size_t welcome = page.find("@media (prefers-reduced-motion: no-preference) {");
        QVERIFY(welcome != std::string::npos);
        const std::size_t end = page.find("\n}\n", welcome);
        QVERIFY(end != std::string::npos);
        std::size_t moving = 0;
        for (const char* motion : {"transition", "animation", "@keyframes", "scroll-behavior"})
            for (std::size_t at = page.find(motion); at != std::string::npos;
                 at = page.find(motion, at + 1)) {
                QVERIFY2(at > welcome && at < end, motion);
                ++moving;
            }
        QVERIFY(moving > 0);
    }
};

QTEST_APPLESS_MAIN(TestModernPage)
#include "tst_modernpage.moc"
