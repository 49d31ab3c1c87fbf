// SPDX-License-Identifier: MIT
// The command line as a user runs it: the built program in a process of its own, with no display.

#include "puzzle/modernpage.h"
#include "puzzle/page.h"
#include "puzzle/sizetable.h"
#include "testpictures.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QImageWriter>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

struct Run {
    int status = -1;
    QString out;
    QString err;
};

// Neither a platform plugin nor an X display is offered (but `display`, when given): the command
// line must need neither.
Run runTilemaven(const QStringList& args, const QString& display = {}) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    if (!display.isEmpty())
        env.insert(QStringLiteral("DISPLAY"), display);
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(TILEMAVEN_BINARY), args);
    Run run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.status = process.exitCode();
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

QStringList lines(const QString& text) {
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The piece addresses a modern page carries, Image0 first.
QStringList pageAddresses(const QByteArray& page) {
    static const QRegularExpression kPieces(QStringLiteral("\"pieces\":\\[([^\\]]*)\\]"));
    const QRegularExpressionMatch match = kPieces.match(QString::fromUtf8(page));
    if (!match.hasMatch())
        return {};
    // Between quotes: a data address holds a comma of its own.
    const QString list = match.captured(1);
    return list.mid(1, list.size() - 2).split(QStringLiteral("\",\""));
}

const char* const kUsageLine = "Usage: tilemaven --grid N [--solve-button] PICTURE FOLDER";

} // namespace

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void usageErrors_data();
    void usageErrors();
    void helpAndVersion();
    void windowWithoutDisplay_data();
    void windowWithoutDisplay();
    void writesPuzzle_data();
    void writesPuzzle();
    void keepsOtherFilesOfFolder();
    void unreadablePicture_data();
    void unreadablePicture();
    void pictureTooSmall();
    void folderIsFile();
    void namesAreTakenAsTheirBytes();
    void writeFails();
    void modernPage_data();
    void modernPage();
    void reusedFolderGetsNewAddresses();
    void singleFile();
    void fit_data();
    void fit();
    void modernPageFitsBigPictures_data();
    void modernPageFitsBigPictures();

private:
    QTemporaryDir m_dir;
    QString m_picture;
};

void TestCommandLine::initTestCase() {
    QVERIFY(m_dir.isValid());
    // 100 x 77 divides by none of the grid sizes, so every run trims both edges.
    m_picture =
        testpictures::saveJpeg(testpictures::gradient(100, 77), m_dir.filePath("picture.jpg"));
    QVERIFY(!m_picture.isEmpty());
}

void TestCommandLine::usageErrors_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("problem");
    const QString pic = QStringLiteral("PIC");
    const QString out = QStringLiteral("OUT");
    QTest::newRow("no grid") << QStringList{"--solve-button", pic, out} << "--grid N is required";
    // Names alone are the command line's, never the window's; so is all after "--".
    QTest::newRow("names alone") << QStringList{pic, out} << "--grid N is required";
    QTest::newRow("names beside Qt's")
        << QStringList{"-platform", "offscreen", pic, out} << "--grid N is required";
    QTest::newRow("-- first") << QStringList{"--", "--grid", "3", pic, out}
                              << "--grid N is required";
    QTest::newRow("window, grid") << QStringList{"--window", "--grid", "3"} << "--window asks";
    QTest::newRow("window, names") << QStringList{"--window", pic, out} << "--window asks";
    QTest::newRow("window, fit 0x0") << QStringList{"--window", "--fit=0x0"} << "'0x0'";
    QTest::newRow("empty picture") << QStringList{"--grid", "3", "", out} << "PICTURE is empty";
    QTest::newRow("empty folder") << QStringList{"--grid", "3", pic, ""} << "FOLDER is empty";
    QTest::newRow("grid 2") << QStringList{"--grid", "2", pic, out} << "from 3 to 9, not '2'";
    QTest::newRow("grid 10") << QStringList{"--grid", "10", pic, out} << "from 3 to 9, not '10'";
    QTest::newRow("grid -5") << QStringList{"--grid=-5", pic, out} << "from 3 to 9, not '-5'";
    QTest::newRow("grid 4.5") << QStringList{"--grid", "4.5", pic, out} << "not '4.5'";
    QTest::newRow("grid word") << QStringList{"--grid", "five", pic, out} << "not 'five'";
    QTest::newRow("grid empty") << QStringList{"--grid=", pic, out} << "not ''";
    QTest::newRow("grid without value") << QStringList{pic, out, "--grid"} << "--grid";
    QTest::newRow("grid twice") << QStringList{"--grid", "3", "--grid", "4", pic, out}
                                << "more than once";
    QTest::newRow("no folder") << QStringList{"--grid", "3", pic} << "got 1 argument.";
    QTest::newRow("nothing to cut")
        << QStringList{"--grid", "3", "--solve-button"} << "got 0 arguments";
    QTest::newRow("three paths") << QStringList{"--grid", "3", pic, out, "extra"}
                                 << "got 3 arguments";
    QTest::newRow("unknown option")
        << QStringList{"--grid", "3", "--colour", pic, out} << "Unknown option 'colour'";
    QTest::newRow("value for a switch")
        << QStringList{"--grid", "3", "--solve-button=yes", pic, out} << "--solve-button";
    QTest::newRow("fit 0x0") << QStringList{"--grid", "3", "--fit", "0x0", pic, out} << "'0x0'";
    QTest::newRow("fit one number")
        << QStringList{"--grid", "3", "--fit", "100", pic, out} << "'100'";
    QTest::newRow("fit letters") << QStringList{"--grid", "3", "--fit", "axb", pic, out} << "'axb'";
    QTest::newRow("fit one side 0")
        << QStringList{"--grid", "3", "--fit=100x0", pic, out} << "'100x0'";
    QTest::newRow("fit negative") << QStringList{"--grid", "3", "--fit=-4x3", pic, out} << "'-4x3'";
    QTest::newRow("fit twice") << QStringList{"--grid", "3",   "--fit", "9x9",
                                              "--fit",  "8x8", pic,     out}
                               << "--fit is given more than once";
    QTest::newRow("page foo") << QStringList{"--grid", "3", "--page", "foo", pic, out}
                              << "classic or modern, not 'foo'";
    QTest::newRow("page twice") << QStringList{"--grid",         "3", "--page=modern",
                                               "--page=classic", pic, out}
                                << "--page is given more than once";
    QTest::newRow("single file alone") << QStringList{"--grid", "3", "--single-file", pic, out}
                                       << "--single-file needs --page modern";
    QTest::newRow("single file, classic")
        << QStringList{"--grid", "3", "--page", "classic", "--single-file", pic, out}
        << "--single-file needs --page modern";
    QTest::newRow("title, classic")
        << QStringList{"--grid", "3", "--title", "Hi", pic, out} << "--title needs --page modern";
    QTest::newRow("title with a newline")
        << QStringList{"--grid", "3", "--page", "modern", "--title", "a\nb", pic, out}
        << "one line of at most 200 characters";
    QTest::newRow("title of 201 characters")
        << QStringList{"--grid", "3", "--page", "modern", "--title", QString(201, 'x'), pic, out}
        << "one line of at most 200 characters";
    // Columns by rows and the automatic grid are the modern page's; the classic page is 3 to 9.
    QTest::newRow("grid CxR, classic")
        << QStringList{"--grid", "6x4", pic, out} << "--grid 6x4 needs --page modern";
    QTest::newRow("grid auto, classic") << QStringList{"--grid=auto", "--page=classic", pic, out}
                                        << "--grid auto needs --page modern";
    const auto modern = [&](const char* grid) {
        return QStringList{"--page", "modern", "--grid", grid, pic, out};
    };
    QTest::newRow("grid 13x2") << modern("13x2") << "from 2 to 12, at most 144 pieces, not '13x2'";
    QTest::newRow("grid 1x4") << modern("1x4") << "not '1x4'";
    QTest::newRow("grid 4x") << modern("4x") << "N, CxR or auto, not '4x'";
}

void TestCommandLine::usageErrors() {
    QFETCH(QStringList, args);
    QFETCH(QString, problem);
    // Real paths, so a run that goes wrong would leave traces to find.
    args.replaceInStrings(QStringLiteral("PIC"), m_picture);
    const QString out = m_dir.filePath(QStringLiteral("usage-") + QTest::currentDataTag());
    args.replaceInStrings(QStringLiteral("OUT"), out);

    const Run run = runTilemaven(args);
    QCOMPARE(run.status, 2);
    QVERIFY(run.out.isEmpty());
    const QStringList err = lines(run.err);
    QVERIFY2(err.size() >= 2, qPrintable(run.err));
    QVERIFY2(err.front().startsWith("tilemaven: ") && err.front().contains(problem),
             qPrintable(err.front()));
    QCOMPARE(err.at(1), QString::fromLatin1(kUsageLine));
    QVERIFY(!QFileInfo::exists(out));
}

void TestCommandLine::helpAndVersion() {
    const Run version = runTilemaven({"--version"});
    QCOMPARE(version.status, 0);
    QCOMPARE(version.out, QStringLiteral("tilemaven " TILEMAVEN_EXPECTED_VERSION "\n"));
    QVERIFY(version.err.isEmpty());

    const Run help = runTilemaven({"--help"});
    QCOMPARE(help.status, 0);
    QVERIFY(help.err.isEmpty());
    for (const char* mention : {"--grid <N>", "--solve-button", "PICTURE", "FOLDER", "--version",
                                "--help-all", "symbolic link"})
        QVERIFY2(help.out.contains(QLatin1String(mention)), mention);

    // --help-all wins over everything else, as --help does, and adds what the window takes.
    for (const QStringList& args :
         {QStringList{"--help-all"}, QStringList{"--grid", "3", "--help-all"}}) {
        const Run all = runTilemaven(args);
        QCOMPARE(all.status, 0);
        QVERIFY(all.out.startsWith(help.out));
        QVERIFY(all.out.contains("-session"));
    }
}

// A window that reaches no display says so in one line, which points to the command line.
void TestCommandLine::windowWithoutDisplay_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("display");
    QTest::newRow("none set") << QStringList{} << QString();
    QTest::newRow("none there") << QStringList{"--window", "--page", "modern"} << ":4093";
    QTest::newRow("Qt's own") << QStringList{"-style", "fusion"} << ":4093";
}

void TestCommandLine::windowWithoutDisplay() {
    QFETCH(QStringList, args);
    QFETCH(QString, display);
    const Run run = runTilemaven(args, display);
    QCOMPARE(run.status, 2);
    QVERIFY(run.out.isEmpty());
    QCOMPARE(lines(run.err).size(), 1);
    QVERIFY2(run.err.startsWith("tilemaven: ") && run.err.contains("--grid N PICTURE FOLDER") &&
                 run.err.contains(display.isEmpty() ? "DISPLAY" : "DISPLAY=" + display),
             qPrintable(run.err));
}

void TestCommandLine::writesPuzzle_data() {
    QTest::addColumn<int>("n");
    QTest::addColumn<bool>("solve");
    for (const puzzle::SizeRow& row : puzzle::sizeTable())
        for (const bool solve : {false, true})
            QTest::addRow("%s%s", row.caption.data(), solve ? " solve" : "") << row.n << solve;
}

void TestCommandLine::writesPuzzle() {
    QFETCH(int, n);
    QFETCH(bool, solve);
    const puzzle::SizeRow* row = puzzle::rowForGrid(n);
    QVERIFY(row);
    // Two levels that do not exist yet: both are made.
    const QString folder = m_dir.filePath(QStringLiteral("made/%1%2").arg(n).arg(solve ? "s" : ""));
    QStringList args{"--grid", QString::number(n), m_picture, folder};
    if (solve)
        args.insert(2, QStringLiteral("--solve-button"));

    const Run run = runTilemaven(args);
    QVERIFY2(run.status == 0, qPrintable(run.err));
    QVERIFY(run.err.isEmpty());
    const int pw = 100 / n;
    const int ph = 77 / n;
    QCOMPARE(run.out, QStringLiteral("wrote %1 pieces of %2x%3, white.jpg and index.html to %4\n")
                          .arg(n * n)
                          .arg(pw)
                          .arg(ph)
                          .arg(folder));

    // The page is the one the page builder makes for this size and choice, byte for byte.
    const std::string page = puzzle::pageText(*row, solve);
    QCOMPARE(testpictures::contents(QDir(folder).filePath("index.html")),
             QByteArray(page.data(), qsizetype(page.size())));

    QStringList expected{QStringLiteral("index.html"), QStringLiteral("white.jpg")};
    for (int k = 0; k < n * n; ++k)
        expected << QStringLiteral("Image%1.jpg").arg(k);
    expected.sort();
    QCOMPARE(testpictures::entries(folder), expected);

    // The last piece is cut from the picture's used area, not from the trimmed edges.
    const QImage source = testpictures::read(m_picture);
    const QImage last =
        testpictures::read(QDir(folder).filePath(QStringLiteral("Image%1.jpg").arg(n * n - 1)));
    QCOMPARE(last.size(), QSize(pw, ph));
    QVERIFY(testpictures::meanError(last, source, QPoint((n - 1) * pw, (n - 1) * ph)) < 6);
    const QImage blank = testpictures::read(QDir(folder).filePath("white.jpg"));
    QCOMPARE(blank.size(), QSize(pw, ph));
    QVERIFY(testpictures::allNearly(blank, Qt::white));
}

void TestCommandLine::keepsOtherFilesOfFolder() {
    // A 9x9 puzzle's folder, then a 3x3 puzzle into it: the higher pieces and foreign files stay.
    const QString folder = m_dir.filePath(QStringLiteral("reused"));
    QCOMPARE(runTilemaven({"--grid", "9", m_picture, folder}).status, 0);
    QVERIFY(testpictures::writeFile(QDir(folder).filePath("notes.txt"), "mine"));
    const QByteArray oldLast = testpictures::contents(QDir(folder).filePath("Image80.jpg"));

    const Run run = runTilemaven({"--grid", "3", "--solve-button", m_picture, folder});
    QVERIFY2(run.status == 0, qPrintable(run.err));
    QCOMPARE(testpictures::contents(QDir(folder).filePath("notes.txt")), QByteArray("mine"));
    QCOMPARE(testpictures::contents(QDir(folder).filePath("Image80.jpg")), oldLast);
    QCOMPARE(testpictures::read(QDir(folder).filePath("Image8.jpg")).size(), QSize(33, 25));
    const std::string page = puzzle::pageText(*puzzle::rowForGrid(3), true);
    QCOMPARE(testpictures::contents(QDir(folder).filePath("index.html")),
             QByteArray(page.data(), qsizetype(page.size())));
}

void TestCommandLine::unreadablePicture_data() {
    QTest::addColumn<QByteArray>("content"); // empty: no file at all
    QTest::addColumn<QString>("cause");
    QTest::newRow("missing") << QByteArray() << "Could not read the picture";
    QTest::newRow("text named .jpg")
        << QByteArray("not a picture\n") << "Could not read the picture";
    QTest::newRow("damaged JPEG") << testpictures::contents(m_picture).left(300)
                                  << "Could not read the picture";
}

void TestCommandLine::unreadablePicture() {
    QFETCH(QByteArray, content);
    QFETCH(QString, cause);
    const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-');
    const QString picture = m_dir.filePath(tag + QStringLiteral(".jpg"));
    if (!content.isEmpty())
        QVERIFY(testpictures::writeFile(picture, content));
    const QString folder = m_dir.filePath(QStringLiteral("unreadable-") + tag);

    const Run run = runTilemaven({"--grid", "4", picture, folder});
    QCOMPARE(run.status, 1);
    QVERIFY(run.out.isEmpty());
    QCOMPARE(lines(run.err).size(), 1);
    QVERIFY2(run.err.startsWith("tilemaven: ") && run.err.contains(cause), qPrintable(run.err));
    // The picture is read first: no folder is made for a picture that cannot be cut.
    QVERIFY(!QFileInfo::exists(folder));
}

// A name is the bytes it is made of: one that the program could only turn into another name is
// refused, and a name that looks like one of Qt's options is still a name after "--".
void TestCommandLine::namesAreTakenAsTheirBytes() {
    const QByteArray base = QFile::encodeName(m_dir.path());
    const QByteArray badPicture = base + "/picture\xff.jpg";
    const QByteArray badFolder = base + "/out\xff";
    QVERIFY(::link(QFile::encodeName(m_picture).constData(), badPicture.constData()) == 0);
    // QProcess hands arguments over as text, which is what is being tested: bash hands over bytes.
    const auto quoted = [](const QByteArray& bytes) {
        QByteArray out = "$'";
        for (char c : bytes)
            out += "\\x" + QByteArray::number(uchar(c), 16).rightJustified(2, '0');
        return out + "'";
    };
    const QByteArray picture = QFile::encodeName(m_picture), good = base + "/out-good";
    for (const QByteArrayList& run :
         {QByteArrayList{badPicture, good, ""}, QByteArrayList{picture, badFolder, ""},
          QByteArrayList{picture, good, "--page modern --title $'caf\\xe9'"},
          QByteArrayList{picture, good, "--page modern --title=$'caf\\xe9'"}}) {
        QProcess process;
        process.start("bash",
                      {"-c", QString::fromLatin1("exec '" TILEMAVEN_BINARY "' --grid 3 " + run[2] +
                                                 ' ' + quoted(run[0]) + ' ' + quoted(run[1]))});
        QVERIFY(process.waitForFinished(60000));
        const QString err = QString::fromLocal8Bit(process.readAllStandardError());
        QCOMPARE(process.exitCode(), run[2].isEmpty() ? 1 : 2);
        QVERIFY2(err.contains(run[2].isEmpty() ? "not valid in the system's encoding"
                                               : "--title is not valid UTF-8: 'caf\uFFFD'"),
                 qPrintable(err));
        QVERIFY(!QFileInfo::exists(QFile::decodeName(badFolder)));
        QVERIFY(!QFileInfo::exists(QFile::decodeName(base + "/out-good")));
        QVERIFY(!QFileInfo::exists(m_dir.filePath(QStringLiteral("out\uFFFD"))));
    }
    // Qt takes "-qmljsdebugger=..." out of the arguments it is given; after "--" it is a folder.
    QProcess process;
    process.setWorkingDirectory(m_dir.path());
    process.start(TILEMAVEN_BINARY, {"--grid", "3", "--", m_picture, "-qmljsdebugger=port:1234"});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(QFileInfo::exists(m_dir.filePath("-qmljsdebugger=port:1234/index.html")));
}

void TestCommandLine::pictureTooSmall() {
    const QString picture =
        testpictures::saveJpeg(testpictures::gradient(8, 40), m_dir.filePath("narrow.jpg"));
    QVERIFY(!picture.isEmpty());
    const QString folder = m_dir.filePath(QStringLiteral("narrow"));

    const Run run = runTilemaven({"--grid", "9", picture, folder});
    QCOMPARE(run.status, 1);
    QCOMPARE(lines(run.err).size(), 1);
    QVERIFY2(run.err.contains("too small"), qPrintable(run.err));
    // The folder this run made is empty, and goes again.
    QVERIFY(!QFileInfo::exists(folder));
}

void TestCommandLine::folderIsFile() {
    const QString file = m_dir.filePath(QStringLiteral("plain-file"));
    QVERIFY(testpictures::writeFile(file, "data"));

    const Run run = runTilemaven({"--grid", "3", m_picture, file});
    QCOMPARE(run.status, 1);
    QCOMPARE(lines(run.err).size(), 1);
    QVERIFY2(run.err.startsWith("tilemaven: "), qPrintable(run.err));
    QCOMPARE(testpictures::contents(file), QByteArray("data"));
}

void TestCommandLine::writeFails() {
    // A directory where index.html should go: the page cannot be written, so nothing is.
    const QString folder = m_dir.filePath(QStringLiteral("blocked"));
    QVERIFY(QDir().mkpath(QDir(folder).filePath("index.html")));
    QVERIFY(testpictures::writeFile(QDir(folder).filePath("Image0.jpg"), "older"));

    const Run run = runTilemaven({"--grid", "3", m_picture, folder});
    QCOMPARE(run.status, 1);
    QVERIFY(run.out.isEmpty());
    QCOMPARE(lines(run.err).size(), 1);
    QVERIFY2(run.err.contains("index.html"), qPrintable(run.err));
    QCOMPARE(testpictures::contents(QDir(folder).filePath("Image0.jpg")), QByteArray("older"));
    QCOMPARE(testpictures::entries(folder), (QStringList{"Image0.jpg", "index.html"}));
}

void TestCommandLine::modernPage_data() {
    QTest::addColumn<int>("n");
    for (const puzzle::SizeRow& row : puzzle::sizeTable())
        QTest::addRow("%s", row.caption.data()) << row.n;
}

// The files of the classic folder, and a page whose addresses carry each piece's own version.
void TestCommandLine::modernPage() {
    QFETCH(int, n);
    const QString folder = m_dir.filePath(QStringLiteral("modern/%1").arg(n));
    const Run run = runTilemaven({"--grid", QString::number(n), "--page", "modern", "--title",
                                  QChar(0xFEFF) + QString("Tom & Jerry <3"), m_picture, folder});
    QVERIFY2(run.status == 0, qPrintable(run.err));
    QCOMPARE(run.out, QStringLiteral("wrote %1 pieces of %2x%3, white.jpg and index.html to %4\n")
                          .arg(n * n)
                          .arg(100 / n)
                          .arg(77 / n)
                          .arg(folder));
    QStringList expected{QStringLiteral("index.html"), QStringLiteral("white.jpg")};
    for (int k = 0; k < n * n; ++k)
        expected << QStringLiteral("Image%1.jpg").arg(k);
    expected.sort();
    QCOMPARE(testpictures::entries(folder), expected);

    const QByteArray page = testpictures::contents(QDir(folder).filePath("index.html"));
    QVERIFY(page.startsWith("<!DOCTYPE html>"));
    QVERIFY(page.contains("<h1>\xEF\xBB\xBFTom &amp; Jerry &lt;3</h1>")); // a mark kept as given
    const QStringList addresses = pageAddresses(page);
    QCOMPARE(addresses.size(), n * n);
    for (int k = 0; k < n * n; ++k) {
        const QByteArray piece =
            testpictures::contents(QDir(folder).filePath(QStringLiteral("Image%1.jpg").arg(k)));
        const QByteArray digest =
            QCryptographicHash::hash(piece, QCryptographicHash::Sha256).toHex().left(10);
        QCOMPARE(addresses.at(k), QStringLiteral("Image%1.jpg?v=%2").arg(k).arg(digest));
    }
    // The pieces themselves are the classic page's.
    const QString classic = m_dir.filePath(QStringLiteral("modern/%1-classic").arg(n));
    QCOMPARE(runTilemaven({"--grid", QString::number(n), m_picture, classic}).status, 0);
    for (const QString& name : expected)
        if (name != QLatin1String("index.html"))
            QCOMPARE(testpictures::contents(QDir(folder).filePath(name)),
                     testpictures::contents(QDir(classic).filePath(name)));
}

void TestCommandLine::reusedFolderGetsNewAddresses() {
    const QString other = testpictures::saveJpeg(
        testpictures::gradient(100, 77).mirrored(true, false), m_dir.filePath("other.jpg"));
    QVERIFY(!other.isEmpty());
    const QString folder = m_dir.filePath(QStringLiteral("reused-modern"));
    const auto addresses = [&](const QString& picture) {
        const Run run = runTilemaven({"--grid", "4", "--page", "modern", picture, folder});
        return run.status == 0
                   ? pageAddresses(testpictures::contents(QDir(folder).filePath("index.html")))
                   : QStringList();
    };
    const QStringList first = addresses(m_picture);
    QCOMPARE(first.size(), 16);
    QCOMPARE(addresses(m_picture), first); // the same pieces keep their addresses
    const QStringList second = addresses(other);
    QCOMPARE(second.size(), 16);
    for (int k = 0; k < 16; ++k)
        QVERIFY2(first.at(k) != second.at(k), qPrintable(first.at(k)));
}

void TestCommandLine::singleFile() {
    const QString folder = m_dir.filePath(QStringLiteral("single"));
    const Run run = runTilemaven(
        {"--grid", "5", "--page", "modern", "--single-file", "--solve-button", m_picture, folder});
    QVERIFY2(run.status == 0, qPrintable(run.err));
    QCOMPARE(run.out,
             QStringLiteral("wrote 25 pieces of 20x15 inside index.html to %1\n").arg(folder));
    // One file, and nothing left over anywhere in the folder.
    QCOMPARE(testpictures::entries(folder), QStringList{"index.html"});

    const QByteArray page = testpictures::contents(QDir(folder).filePath("index.html"));
    QVERIFY(page.contains("id=\"solve\""));
    const QStringList addresses = pageAddresses(page);
    QCOMPARE(addresses.size(), 25);
    const QString folders = m_dir.filePath(QStringLiteral("single-as-files"));
    QCOMPARE(runTilemaven({"--grid", "5", "--page", "modern", m_picture, folders}).status, 0);
    const QString prefix = QStringLiteral("data:image/jpeg;base64,");
    for (int k = 0; k < 25; ++k) {
        QVERIFY(addresses.at(k).startsWith(prefix));
        const QByteArray piece = QByteArray::fromBase64(
            addresses.at(k).mid(prefix.size()).toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        QCOMPARE(piece, testpictures::contents(
                            QDir(folders).filePath(QStringLiteral("Image%1.jpg").arg(k))));
    }
}

void TestCommandLine::fit_data() {
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QSize>("fitted"); // the picture after fitting
    QTest::addColumn<bool>("progressive");
    QTest::addColumn<QString>("grid"); // N, CxR or auto, and the columns x rows cut
    QTest::addColumn<QSize>("sides");
    const QSize three(3, 3);
    QTest::newRow("classic, halved") << "classic"
                                     << "50x50" << QSize(50, 39) << false << "3" << three;
    QTest::newRow("modern, by height") << "modern"
                                       << "500x30" << QSize(39, 30) << false << "3" << three;
    QTest::newRow("fits already") << "classic"
                                  << "100x77" << QSize(100, 77) << false << "3" << three;
    // A progressive file is decoded whole when it is opened; it is scaled from its rows all the
    // same.
    QTest::newRow("progressive, halved") << "classic"
                                         << "50x50" << QSize(50, 39) << true << "3" << three;
    QTest::newRow("6x4") << "modern"
                         << "100x77" << QSize(100, 77) << false << "6x4" << QSize(6, 4);
    QTest::newRow("12x12") << "modern"
                           << "100x77" << QSize(100, 77) << false << "12x12" << QSize(12, 12);
    // The most square pieces near 16: 25x25.
    QTest::newRow("auto") << "modern"
                          << "100x77" << QSize(100, 77) << false << "auto" << QSize(4, 3);
    QTest::newRow("auto, fitted") << "modern"
                                  << "500x40" << QSize(52, 40) << false << "auto" << QSize(5, 4);
}

void TestCommandLine::fit() {
    QFETCH(QString, page);
    QFETCH(QString, box);
    QFETCH(QSize, fitted);
    QFETCH(bool, progressive);
    QFETCH(QString, grid);
    QFETCH(QSize, sides);
    const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-');
    const QString folder = m_dir.filePath(QStringLiteral("fit-") + tag);
    QString picture = m_picture;
    if (progressive) {
        picture = m_dir.filePath(QStringLiteral("progressive.jpg"));
        QImageWriter writer(picture, "jpeg");
        writer.setProgressiveScanWrite(true);
        QVERIFY(writer.write(testpictures::read(m_picture)));
    }
    const Run run = runTilemaven({"--grid", grid, "--page", page, "--fit", box, picture, folder});
    QVERIFY2(run.status == 0, qPrintable(run.err));
    const int columns = sides.width(), pieces = columns * sides.height();
    const int pw = fitted.width() / columns, ph = fitted.height() / sides.height();
    const QString chosen =
        grid == "3" ? "" : QStringLiteral("(%1x%2) ").arg(columns).arg(sides.height());
    QVERIFY2(
        run.out.startsWith(
            QStringLiteral("wrote %1 pieces %2of %3x%4,").arg(pieces).arg(chosen).arg(pw).arg(ph)),
        qPrintable(run.out));

    // Cut from the scaled picture as from any other: each piece shows its part of it.
    const QImage scaled = testpictures::read(m_picture).scaled(fitted, Qt::IgnoreAspectRatio,
                                                               Qt::SmoothTransformation);
    for (int k = 0; k < pieces; ++k) {
        const QImage piece =
            testpictures::read(QDir(folder).filePath(QStringLiteral("Image%1.jpg").arg(k)));
        QCOMPARE(piece.size(), QSize(pw, ph));
        QVERIFY2(
            testpictures::meanError(piece, scaled, QPoint(k % columns * pw, k / columns * ph)) < 8,
            qPrintable(QStringLiteral("piece %1").arg(k)));
    }
    if (fitted == QSize(100, 77) && grid == "3") {
        // Not enlarged, not even touched: the very pieces of a run without --fit.
        const QString plain = m_dir.filePath(QStringLiteral("fit-plain"));
        QCOMPARE(runTilemaven({"--grid", "3", m_picture, plain}).status, 0);
        for (int k = 0; k < 9; ++k) {
            const QString name = QStringLiteral("Image%1.jpg").arg(k);
            QCOMPARE(testpictures::contents(QDir(folder).filePath(name)),
                     testpictures::contents(QDir(plain).filePath(name)));
        }
    }
}

// The modern page fits a picture within 2560x2560 unless --fit says otherwise; the classic page
// keeps every pixel.
void TestCommandLine::modernPageFitsBigPictures_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("pieceWidth");
    QTest::newRow("modern") << QStringList{"--page", "modern"} << 2560 / 3;
    QTest::newRow("modern, fit none") << QStringList{"--page=modern", "--fit", "none"} << 2600 / 3;
    QTest::newRow("classic") << QStringList{} << 2600 / 3;
}

void TestCommandLine::modernPageFitsBigPictures() {
    QFETCH(QStringList, options);
    QFETCH(int, pieceWidth);
    const QString wide = m_dir.filePath(QStringLiteral("wide.jpg"));
    if (!QFileInfo::exists(wide))
        QVERIFY(!testpictures::saveJpeg(testpictures::gradient(2600, 30), wide).isEmpty());
    const QString folder = m_dir.filePath(QStringLiteral("big-") + QTest::currentDataTag());
    const Run run = runTilemaven(QStringList{"--grid", "3"} + options + QStringList{wide, folder});
    QVERIFY2(run.status == 0, qPrintable(run.err));
    QVERIFY2(run.out.startsWith(QStringLiteral("wrote 9 pieces of %1x").arg(pieceWidth)),
             qPrintable(run.out));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
