// SPDX-License-Identifier: MIT
#include "fakehost.h"
#include "fakeinteraction.h"
#include "folder/stagedfolder.h"
#include "platform/filetypes.h"
#include "puzzle/page.h"
#include "puzzle/project.h"
#include "puzzle/sizecommand.h"
#include "testpictures.h"
#include "wholepicture.h"

#include <QPainter>
#include <QTemporaryDir>
#include <QTest>

using namespace puzzle;
using namespace testpictures;

namespace {

QString msg(const char* text) {
    return "msg:" + QString::fromLatin1(text);
}

QStringList expectedPieceFiles(int n) {
    QStringList names;
    for (int k = 0; k < n * n; ++k)
        names << QStringLiteral("Image%1.jpg").arg(k);
    names << "index.html"
          << "white.jpg";
    names.sort();
    return names;
}

} // namespace

class TestExportRun : public QObject {
    Q_OBJECT

    QTemporaryDir m_tmp;
    QString m_picture; // a gradient whose sides divide by none of the sizes

    QString openEvent() const {
        const QString filter = *platform::FileTypes::pImageJpeg + *platform::FileTypes::pImageGif;
        return "open:" + platform::FileTypeRegistry::instance().nameFilters(filter).join(";;");
    }

    // A fresh output folder under the test's temporary folder.
    QString newFolder(const QString& name) {
        const QString path = m_tmp.filePath(name);
        QDir().mkpath(path);
        return path;
    }

    FakeInteraction scripted(const QString& picture, const QString& folder) {
        FakeInteraction ui;
        ui.openAnswers.push_back(picture);
        ui.folderAnswers.push_back(folder);
        return ui;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_tmp.isValid());
        platform::InitFileTypes();
        m_picture = saveJpeg(gradient(2521, 1087), m_tmp.filePath("source.jpg"));
        QVERIFY(!m_picture.isEmpty());
    }

    void cleanupTestCase() { platform::FileTypes::Release(); }

    void filterOffersOnlyPictures() {
        const QString filter = *platform::FileTypes::pImageJpeg + *platform::FileTypes::pImageGif;
        QCOMPARE(filter, "image/jpeg;image/gif");
        const QString offered = openEvent();
        for (const char* ext : {"*.jpg", "*.jpeg", "*.jpe", "*.gif"})
            QVERIFY2(offered.contains(ext), ext);
        QVERIFY(!offered.contains("*.txt"));
    }

    void fillingByPatternMatchesThePageBuilder_data() {
        QTest::addColumn<int>("n");
        for (int n = kMinGrid; n <= kMaxGrid; ++n)
            QTest::newRow(qPrintable(QStringLiteral("%1x%1").arg(n))) << n;
    }
    void fillingByPatternMatchesThePageBuilder() {
        QFETCH(int, n);
        const SizeRow& row = *rowForGrid(n);
        const QString filled = fillPlaceholders(
            QString::fromLatin1(pageTemplate().data(), qsizetype(pageTemplate().size())), row);
        QCOMPARE(filled.toStdString(), fillTemplate(std::string(pageTemplate()), row));
        QCOMPARE(filled.split('\r').at(10), QStringLiteral("for(j=0;j<%1;j++)").arg(n * n));
        QCOMPARE(buildTableText(row, true).toStdString(), tableText(row, true));
        QCOMPARE(buildTableText(row, false).toStdString(), tableText(row, false));
    }

    void wholeRun_data() {
        QTest::addColumn<int>("n");
        QTest::addColumn<bool>("solve");
        for (int n = kMinGrid; n <= kMaxGrid; ++n)
            QTest::newRow(qPrintable(QStringLiteral("%1x%1%2").arg(n).arg(n % 2 ? " solve" : "")))
                << n << bool(n % 2);
    }
    void wholeRun() {
        QFETCH(int, n);
        QFETCH(bool, solve);
        const QString folder = newFolder(QStringLiteral("whole%1").arg(n));
        FakeHost host;
        host.select(n);
        host.solve = solve;
        FakeInteraction ui = scripted(m_picture, folder);

        host.person = &ui;

        runSizeCommand(*rowForGrid(n), host, ui);

        QCOMPARE(ui.events, QStringList({msg(kChoosePicture), openEvent(), msg(kChooseFolder),
                                         "folder", msg(kDone), "quit:0"}));
        QCOMPARE(entries(folder), expectedPieceFiles(n));

        const QImage source = read(m_picture);
        const int pw = source.width() / n, ph = source.height() / n;
        for (int k = 0; k < n * n; ++k) {
            const QImage piece = read(folder + QStringLiteral("/Image%1.jpg").arg(k));
            QCOMPARE(piece.size(), QSize(pw, ph));
            const QPoint origin((k % n) * pw, (k / n) * ph);
            QVERIFY2(meanError(piece, source, origin) < 4, qPrintable(QString::number(k)));
        }
        const QImage blank = read(folder + "/white.jpg");
        QCOMPARE(blank.size(), QSize(pw, ph));
        QVERIFY(allNearly(blank, Qt::white));

        const QByteArray page = contents(folder + "/index.html");
        QCOMPARE(page.toStdString(), pageText(*rowForGrid(n), solve));
        QCOMPARE(host.field, QString::fromLatin1(page));

        // The preview shows every piece in index order, then the blank piece.
        QCOMPARE(host.previews.size(), n * n + 1);
        QVERIFY(meanError(host.previews.first(), source) < 4);
        QVERIFY(allNearly(host.previews.last(), Qt::white, 0));
    }

    void trimming_data() {
        QTest::addColumn<int>("n");
        QTest::addColumn<QSize>("picture");
        QTest::addColumn<QSize>("piece");
        QTest::newRow("640x480 at 7x7") << 7 << QSize(640, 480) << QSize(91, 68);
        QTest::newRow("100x50 at 3x3") << 3 << QSize(100, 50) << QSize(33, 16);
        QTest::newRow("200x900 at 4x4") << 4 << QSize(200, 900) << QSize(50, 225);
        QTest::newRow("300x150 at 5x5") << 5 << QSize(300, 150) << QSize(60, 30);
    }
    void trimming() {
        QFETCH(int, n);
        QFETCH(QSize, picture);
        QFETCH(QSize, piece);
        const QImage image = gradient(picture.width(), picture.height());
        const QString folder = newFolder(QStringLiteral("trim%1x%2").arg(picture.width()).arg(n));
        const auto source = picture::sourceFromImage(image);
        const ProjectOutcome outcome =
            writeProject(*source, Grid::square(n), folder, QByteArray("page"));
        QVERIFY2(outcome.ok, qPrintable(outcome.error));
        QCOMPARE(outcome.pieceSize, piece);
        // The bottom-right piece ends where the used area ends: trimmed at the right and bottom
        // only.
        const int last = n * n - 1;
        const QImage corner = read(folder + QStringLiteral("/Image%1.jpg").arg(last));
        QCOMPARE(corner.size(), piece);
        QVERIFY(meanError(corner, image,
                          QPoint((n - 1) * piece.width(), (n - 1) * piece.height())) < 4);
        QCOMPARE(read(folder + "/white.jpg").size(), piece);
    }

    void transparentAreasStayWhiteInEveryPiece() {
        // Left half opaque red, right half transparent: pieces on the right must not show the
        // piece before them.
        QImage image(90, 90, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        QPainter(&image).fillRect(0, 0, 45, 90, Qt::red);
        const QString folder = newFolder("transparent");
        const auto source = picture::sourceFromImage(image);
        QVERIFY(writeProject(*source, Grid::square(3), folder, QByteArray("page")).ok);
        for (int k : {2, 5, 8})
            QVERIFY2(allNearly(read(folder + QStringLiteral("/Image%1.jpg").arg(k)), Qt::white),
                     qPrintable(QString::number(k)));
        QVERIFY(allNearly(read(folder + "/Image0.jpg"), Qt::red, 6));
    }

    void cancelledPicture() {
        const QString folder = newFolder("cancel-picture");
        FakeHost host;
        host.select(4);
        FakeInteraction ui = scripted("", folder);
        host.person = &ui;
        runSizeCommand(*rowForGrid(4), host, ui);
        QCOMPARE(ui.events,
                 QStringList({msg(kChoosePicture), openEvent(), msg(kNeedPicture), "quit:0"}));
        QVERIFY(entries(folder).isEmpty());
    }

    void cancelledFolder() {
        FakeHost host;
        host.select(4);
        FakeInteraction ui = scripted(m_picture, "");
        host.person = &ui;
        runSizeCommand(*rowForGrid(4), host, ui);
        QCOMPARE(ui.events, QStringList({msg(kChoosePicture), openEvent(), msg(kChooseFolder),
                                         "folder", msg(kNeedFolder), "quit:0"}));
    }

    void undecodablePicture_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("text") << QByteArray("this is not a picture\n");
        QTest::newRow("truncated JPEG") << contents(m_picture).left(2000);
    }
    void undecodablePicture() {
        QFETCH(QByteArray, bytes);
        const QString bad = m_tmp.filePath("bad.jpg");
        QVERIFY(writeFile(bad, bytes));
        const QString folder = newFolder("undecodable");
        FakeHost host;
        host.select(3);
        FakeInteraction ui = scripted(bad, folder);
        host.person = &ui;
        runSizeCommand(*rowForGrid(3), host, ui);
        QCOMPARE(ui.mainEvents(),
                 QStringList({msg(kChoosePicture), openEvent(), msg(kFailure), "quit:0"}));
        QVERIFY(!ui.details.last().isEmpty());
        QVERIFY(entries(folder).isEmpty());
    }

    void pictureSmallerThanTheGrid() {
        const QString tiny = saveJpeg(gradient(2, 100), m_tmp.filePath("tiny.jpg"));
        const QString folder = newFolder("tiny");
        FakeHost host;
        host.select(9);
        FakeInteraction ui = scripted(tiny, folder);
        host.person = &ui;
        runSizeCommand(*rowForGrid(9), host, ui);
        QVERIFY(ui.mainEvents().contains(msg(kFailure)));
        QVERIFY(!ui.events.contains(msg(kDone)));
        QVERIFY(entries(folder).isEmpty());
    }

    void directoryInTheWay_data() {
        QTest::addColumn<QString>("blocked");
        QTest::newRow("a piece") << "Image3.jpg";
        QTest::newRow("the blank piece") << "white.jpg";
        QTest::newRow("the page") << "index.html";
    }
    void directoryInTheWay() {
        QFETCH(QString, blocked);
        const QString folder = newFolder("blocked-" + blocked);
        QVERIFY(QDir(folder).mkdir(blocked));
        const QByteArray older = "older file, to be kept";
        for (const char* name : {"Image0.jpg", "index.html", "white.jpg"})
            if (blocked != name)
                QVERIFY(writeFile(folder + "/" + name, older));
        const QStringList before = entries(folder);

        FakeHost host;
        host.select(3);
        FakeInteraction ui = scripted(m_picture, folder);
        host.person = &ui;
        runSizeCommand(*rowForGrid(3), host, ui);

        QCOMPARE(ui.mainEvents().mid(4), QStringList({msg(kFailure), "quit:0"}));
        QVERIFY2(ui.details.last().contains(blocked), qPrintable(ui.details.last()));
        QCOMPARE(entries(folder), before); // no temporary file left, nothing new
        for (const char* name : {"Image0.jpg", "index.html", "white.jpg"})
            if (blocked != name)
                QCOMPARE(contents(folder + "/" + name), older);
    }

    void overAnOlderPuzzle() {
        const QString folder = newFolder("older");
        QVERIFY(writeFile(folder + "/notes.txt", "mine"));
        QVERIFY(QDir(folder).mkdir("photos"));
        {
            FakeHost host;
            host.select(9);
            FakeInteraction ui = scripted(m_picture, folder);
            host.person = &ui;
            runSizeCommand(*rowForGrid(9), host, ui);
            QVERIFY(ui.events.contains(msg(kDone)));
        }
        const QByteArray nine80 = contents(folder + "/Image80.jpg");
        const QByteArray nine0 = contents(folder + "/Image0.jpg");
        FakeHost host;
        host.select(3);
        FakeInteraction ui = scripted(m_picture, folder);
        host.person = &ui;
        runSizeCommand(*rowForGrid(3), host, ui);
        QVERIFY(ui.events.contains(msg(kDone)));

        QCOMPARE(entries(folder).size(), 81 + 2 + 2);
        QCOMPARE(contents(folder + "/Image80.jpg"), nine80); // a larger puzzle's pieces remain
        QVERIFY(contents(folder + "/Image0.jpg") != nine0);
        QCOMPARE(read(folder + "/Image0.jpg").width(), 2521 / 3);
        QCOMPARE(contents(folder + "/notes.txt"), QByteArray("mine"));
        QCOMPARE(contents(folder + "/index.html").toStdString(), pageText(*rowForGrid(3), false));
    }

    void unselectedButtonDoesNothing() {
        FakeHost host;
        host.select(5);
        const QString fieldBefore = host.field;
        FakeInteraction ui;
        host.person = &ui;
        runSizeCommand(*rowForGrid(4), host, ui);
        QVERIFY(ui.events.isEmpty());
        QCOMPARE(host.field, fieldBefore);
    }
};

QTEST_GUILESS_MAIN(TestExportRun)
#include "tst_exportrun.moc"
