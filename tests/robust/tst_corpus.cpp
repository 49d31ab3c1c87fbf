// SPDX-License-Identifier: MIT
// Every picture of the corpus (tests/data/makecorpus.cpp) through both roads a user has: the
// window's run and the command line. A picture that must be refused gives the failure with its
// cause and leaves the folder as it was; one that must work gives pieces that show the picture as
// a viewer shows it.

#include "robustness.h"

#include "picture/picturesource.h"

#include <QTemporaryDir>
#include <QTest>

namespace {

struct CorpusCase {
    QString file;
    int grid = 0;
    bool works = false;
    QString detail; // the cause a refusal must give, or the expected picture
};

QList<CorpusCase> loadCorpus() {
    QList<CorpusCase> cases;
    QFile manifest(QStringLiteral(TILEMAVEN_CORPUS_DIR "/corpus.tsv"));
    if (!manifest.open(QIODevice::ReadOnly))
        return cases;
    for (const QByteArray& line : manifest.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 4)
            continue;
        cases.append({QString::fromUtf8(fields[0]), fields[1].toInt(), fields[2] == "work",
                      QString::fromUtf8(fields[3])});
    }
    return cases;
}

QString corpusFile(const QString& name) {
    return QStringLiteral(TILEMAVEN_CORPUS_DIR "/") + name;
}

const QByteArray kOlderPiece = "an older Image0.jpg";
const QByteArray kOlderPage = "an older index.html";
const QByteArray kNotes = "the user's own notes";

} // namespace

class TestCorpus : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QList<CorpusCase> m_cases;
    int m_tried = 0;
    int m_passed = 0;
    int m_intact = 0;

    // A folder holding an older piece and page of the same names, and a file of the user's.
    QString preparedFolder(const QString& road, const QString& file) {
        const QString folder = m_dir.filePath(road + "-" + file);
        QDir().mkpath(folder);
        testpictures::writeFile(folder + "/notes.txt", kNotes);
        testpictures::writeFile(folder + "/Image0.jpg", kOlderPiece);
        testpictures::writeFile(folder + "/index.html", kOlderPage);
        return folder;
    }

    void addRows() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("grid");
        QTest::addColumn<bool>("works");
        QTest::addColumn<QString>("detail");
        for (const CorpusCase& c : m_cases)
            QTest::newRow(qPrintable(c.file)) << c.file << c.grid << c.works << c.detail;
    }

    // After a refusal: the folder exactly as before. After success: a whole puzzle of the
    // expected picture, and the user's file untouched.
    void checkFolder(const QString& folder, const robust::Snapshot& before, int grid, bool works,
                     const QString& detail) {
        if (!works) {
            const QString difference =
                robust::snapshotDifference(before, robust::snapshot(folder), &m_intact);
            QVERIFY2(difference.isEmpty(), qPrintable(difference));
            return;
        }
        const QImage expected(corpusFile(detail));
        QVERIFY(!expected.isNull());
        const QString problem = robust::puzzleProblem(folder, grid, expected);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QCOMPARE(testpictures::contents(folder + "/notes.txt"), kNotes);
        ++m_intact;
        QCOMPARE(testpictures::entries(folder).size(), grid * grid + 3);
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        platform::InitFileTypes();
        m_cases = loadCorpus();
        // Without its corpus this test would pass on nothing.
        const auto working = std::count_if(m_cases.begin(), m_cases.end(),
                                           [](const CorpusCase& c) { return c.works; });
        QVERIFY2(working >= 10 && m_cases.size() - working >= 10,
                 "the corpus is missing or incomplete");
    }

    void cleanupTestCase() {
        platform::FileTypes::Release();
        qInfo("corpus: %d cases tried (%lld pictures, two roads each), %d passed; %d files "
              "checked intact",
              m_tried, qlonglong(m_cases.size()), m_passed, m_intact);
    }

    // A HEIF picture's rows are libheif's own RGB and alpha (as heif-convert writes them).
    void heifRowsAreLibheifs_data() {
        QTest::addColumn<QString>("file");
        for (const CorpusCase& c : m_cases)
            if (QFileInfo::exists(corpusFile(c.file + ".libheif.png")))
                QTest::newRow(qPrintable(c.file)) << c.file;
    }
    void heifRowsAreLibheifs() {
        QFETCH(QString, file);
        const QImage expected = QImage(corpusFile(file + ".libheif.png"));
        QString error;
        const std::unique_ptr<picture::Source> source =
            picture::openSource(corpusFile(file), error);
        QImage rows;
        QVERIFY2(source && source->nextRows(expected.height(), rows, error), qPrintable(error));
        QCOMPARE(rows.size(), expected.size());
        int worst = 0;
        for (int y = 0; y < rows.height(); ++y)
            for (int x = 0; x < rows.width(); ++x)
                for (int shift = 0; shift < 32; shift += 8)
                    worst = std::max(worst, qAbs(int(rows.pixel(x, y) >> shift & 0xFF) -
                                                 int(expected.pixel(x, y) >> shift & 0xFF)));
        QVERIFY2(worst <= 1, qPrintable(QStringLiteral("a sample differs by %1").arg(worst)));
    }

    void throughTheWindow_data() { addRows(); }
    void throughTheWindow() {
        QFETCH(QString, file);
        QFETCH(int, grid);
        QFETCH(bool, works);
        QFETCH(QString, detail);
        ++m_tried;
        const QString folder = preparedFolder(QStringLiteral("window"), file);
        const robust::Snapshot before = robust::snapshot(folder);

        const FakeInteraction ui = robust::runWindow(grid, corpusFile(file), folder);

        if (works) {
            QCOMPARE(ui.events.last(2), (QStringList{robust::msg(puzzle::kDone), "quit:0"}));
            QVERIFY(!ui.events.contains(robust::msg(puzzle::kFailure)));
        } else {
            const QString problem = robust::failedRunProblem(ui.events, detail);
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
            // A picture that does not decode is refused before the user is sent to pick a
            // folder; only one too small for the grid decodes and is refused at the cut.
            if (detail != QStringLiteral("too small"))
                QVERIFY(!ui.events.contains(QStringLiteral("folder")));
        }
        checkFolder(folder, before, grid, works, detail);
        if (!QTest::currentTestFailed())
            ++m_passed;
    }

    void throughTheCommandLine_data() { addRows(); }
    void throughTheCommandLine() {
        QFETCH(QString, file);
        QFETCH(int, grid);
        QFETCH(bool, works);
        QFETCH(QString, detail);
        ++m_tried;
        const QString folder = preparedFolder(QStringLiteral("command"), file);
        const robust::Snapshot before = robust::snapshot(folder);

        const robust::CommandRun run = robust::runCommand(
            QStringLiteral(TILEMAVEN_BINARY), robust::commandArgs(grid, corpusFile(file), folder));

        if (works) {
            QVERIFY2(run.status == 0, qPrintable(run.err));
            QVERIFY(run.out.startsWith(QStringLiteral("wrote %1 pieces").arg(grid * grid)));
        } else {
            const QString problem = robust::failedCommandProblem(run, detail);
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
        }
        checkFolder(folder, before, grid, works, detail);
        // Both roads write the same bytes (the window's ran first, in throughTheWindow).
        if (works) {
            const robust::Snapshot window =
                robust::snapshot(m_dir.filePath(QStringLiteral("window-") + file));
            const QString difference = robust::snapshotDifference(window, robust::snapshot(folder));
            QVERIFY2(difference.isEmpty(), qPrintable("window and command line: " + difference));
        }
        if (!QTest::currentTestFailed())
            ++m_passed;
    }
};

QTEST_GUILESS_MAIN(TestCorpus)
#include "tst_corpus.moc"
