// SPDX-License-Identifier: MIT
#include "puzzle/sizetable.h"

#include <QTest>

#include <algorithm>
#include <set>
#include <sstream>
#include <vector>

using puzzle::SizeRow;

namespace {

std::vector<int> parseOrder(std::string_view text) {
    std::vector<int> out;
    std::stringstream in{std::string(text)};
    std::string item;
    while (std::getline(in, item, ','))
        out.push_back(item.empty() ? -1 : std::stoi(item));
    return out;
}

} // namespace

class TestSizeTable : public QObject {
    Q_OBJECT

private slots:
    void eachSize_data() {
        QTest::addColumn<int>("button");
        QTest::addColumn<int>("n");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<int>("upperSeparators");
        QTest::addColumn<bool>("footerA");
        QTest::newRow("3x3") << 1 << 3 << "3x3" << 0 << true;
        QTest::newRow("4x4") << 2 << 4 << "4x4" << 0 << false;
        QTest::newRow("5x5") << 3 << 5 << "5x5" << 0 << false;
        QTest::newRow("6x6") << 4 << 6 << "6x6" << 0 << false;
        QTest::newRow("7x7") << 5 << 7 << "7x7" << 1 << false;
        QTest::newRow("8x8") << 6 << 8 << "8x8" << 2 << false;
        QTest::newRow("9x9") << 7 << 9 << "9x9" << 0 << false;
    }

    void eachSize() {
        QFETCH(int, button);
        QFETCH(int, n);
        QFETCH(QString, caption);
        QFETCH(int, upperSeparators);
        QFETCH(bool, footerA);

        const SizeRow* row = puzzle::rowForButton(button);
        QVERIFY(row);
        QCOMPARE(row->n, n);
        QCOMPARE(QString::fromUtf8(row->caption.data(), qsizetype(row->caption.size())), caption);
        QCOMPARE(row->button, "RadioButton" + std::to_string(button));
        QCOMPARE(row->pieceCountText(), std::to_string(n * n));
        QCOMPARE(row->lastPieceIndexText(), std::to_string(n * n - 1));
        QCOMPARE(row->solveFooter == puzzle::SolveFooter::A, footerA);

        // The page's script shows each piece once only if the order is a permutation.
        const std::string_view order = row->scrambleOrder;
        QVERIFY(!order.empty() && order.front() != ',' && order.back() != ',');
        QVERIFY(order.find(' ') == std::string_view::npos);
        std::vector<int> entries = parseOrder(order);
        QCOMPARE(int(entries.size()), n * n);
        std::sort(entries.begin(), entries.end());
        for (int i = 0; i < n * n; ++i)
            QCOMPARE(entries[std::size_t(i)], i);

        // Separators: N-1 of them, the upper-case ones only at the end of 7x7 and 8x8.
        int upper = 0;
        for (int r = 0; r < n - 1; ++r) {
            const std::string_view sep = row->separator(r);
            QVERIFY(sep == puzzle::kRowSeparator || sep == puzzle::kRowSeparatorUpper);
            if (sep == puzzle::kRowSeparatorUpper) {
                QVERIFY2(r >= n - 1 - upperSeparators, "upper-case separator out of place");
                ++upper;
            }
        }
        QCOMPARE(upper, upperSeparators);
        for (int r = n - 1; r < puzzle::kMaxGrid - 1; ++r)
            QVERIFY(row->separator(r).empty());
    }

    void orderTextsAreTheFixedOnes() {
        QCOMPARE(puzzle::rowForGrid(3)->scrambleOrder, "4,1,7,3,2,8,6,0,5");
        QCOMPARE(puzzle::rowForGrid(4)->scrambleOrder, "15,1,14,13,12,3,11,0,9,5,2,8,7,10,4,6");
        const std::string_view nine = puzzle::rowForGrid(9)->scrambleOrder;
        QVERIFY(nine.starts_with("9,20,22,12,3,29,0,"));
        QVERIFY(nine.ends_with(",66,40,49,6,42"));
    }

    void lookups() {
        for (int b = 1; b <= puzzle::kSizeCount; ++b) {
            const SizeRow* row = puzzle::rowForButton(b);
            QCOMPARE(puzzle::rowForButton(row->button), row);
            QCOMPARE(puzzle::rowForGrid(row->n), row);
        }
        QVERIFY(!puzzle::rowForButton(0));
        QVERIFY(!puzzle::rowForButton(8));
        QVERIFY(!puzzle::rowForButton("RadioButton8"));
        QVERIFY(!puzzle::rowForGrid(2));
        QVERIFY(!puzzle::rowForGrid(10));
    }

    void selectedRowAsksButtonsInOrder() {
        std::array<bool, puzzle::kSizeCount> states{};
        QVERIFY(!puzzle::selectedRow(states));
        states[4] = true;
        QCOMPARE(puzzle::selectedRow(states)->n, 7);
        states[1] = true;
        QCOMPARE(puzzle::selectedRow(states)->n, 4);
    }
};

QTEST_APPLESS_MAIN(TestSizeTable)
#include "tst_sizetable.moc"
