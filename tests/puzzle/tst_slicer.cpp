// SPDX-License-Identifier: MIT
// The pipelined slicing pass, over banded JPEG sources and whole pictures alike.
#include "jpegfiles.h"
#include "picture/fitsource.h"
#include "picture/jpegencode.h"
#include "picture/jpegidct.h"
#include "picture/jpegsource.h"
#include "puzzle/project.h"
#include "testpictures.h"
#include "wholepicture.h"

#include "gifwriter.h"

#include <QBuffer>
#include <QDir>
#include <QImageWriter>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using namespace puzzle;
using namespace picture;
using namespace jpegfiles;
using namespace testpictures;

// The same JPEG source, but one that keeps its inverse DCT on the thread that reads the file, and
// so, when turned, is read in RGB rows.
class TransformingWhileReading final : public Source, public JpegPlanes {
public:
    explicit TransformingWhileReading(std::unique_ptr<Source> source)
        : m_source(std::move(source))
        , m_planes(*dynamic_cast<JpegPlanes*>(m_source.get())) {}
    QSize size() const override { return m_source->size(); }
    Orientation orientation() const override { return m_source->orientation(); }
    bool nextRows(int rows, QImage& band, QString& error) override {
        return m_source->nextRows(rows, band, error);
    }
    bool canReadPlanes() const override { return m_planes.canReadPlanes(); }
    PlaneLayout planeLayout() const override { return m_planes.planeLayout(); }
    bool nextPlanes(uchar* y, uchar* cb, uchar* cr, int& rows, QString& error) override {
        return m_planes.nextPlanes(y, cb, cr, rows, error);
    }
    bool deferInverseDct() override { return false; }
    void inverseDct(int, const uchar*, qsizetype, int, int, int, uchar*, qsizetype) const override {
        QFAIL("asked to transform blocks it never handed out");
    }
    void inverseDctTurned(int, const uchar*, qsizetype, int, int, int, Orientation, int, int, int,
                          uchar*, qsizetype) const override {
        QFAIL("asked to turn blocks it never handed out");
    }

private:
    std::unique_ptr<Source> m_source;
    JpegPlanes& m_planes;
};

class TestSlicer : public QObject {
    Q_OBJECT

    QTemporaryDir m_tmp;
    int m_count = 0;

    QString newFile(const QByteArray& bytes, const char* suffix = ".jpg") {
        const QString path =
            m_tmp.filePath(QStringLiteral("picture%1%2").arg(m_count++).arg(suffix));
        return writeFile(path, bytes) ? path : QString();
    }
    QString newFolder() {
        const QString path = m_tmp.filePath(QStringLiteral("out%1").arg(m_count++));
        return QDir().mkpath(path) ? path : QString();
    }

    // Every piece has its size and shows its region of `expected`; the blank piece is white.
    static void checkPieces(const QString& folder, const QImage& expected, int n,
                            double tolerance = 4) {
        const int pw = expected.width() / n, ph = expected.height() / n;
        for (int k = 0; k < n * n; ++k) {
            const QImage piece = read(folder + QStringLiteral("/Image%1.jpg").arg(k));
            QCOMPARE(piece.size(), QSize(pw, ph));
            const double error = meanError(piece, expected, QPoint((k % n) * pw, (k / n) * ph));
            QVERIFY2(error < tolerance,
                     qPrintable(QStringLiteral("piece %1: %2").arg(k).arg(error)));
        }
        const QImage blank = read(folder + "/white.jpg");
        QCOMPARE(blank.size(), QSize(pw, ph));
        QVERIFY(allNearly(blank, Qt::white));
    }

    // For each piece in `folder`, how far it is from its region of `shown` as the pieces' encoder
    // makes it: the largest and the mean difference.
    static std::vector<std::pair<int, double>> errorsAgainstTheEncoder(const QString& folder,
                                                                       const QImage& shown, int n) {
        std::vector<std::pair<int, double>> errors;
        const int pw = shown.width() / n, ph = shown.height() / n;
        for (int k = 0; k < n * n; ++k) {
            const QImage region = shown.copy((k % n) * pw, (k / n) * ph, pw, ph)
                                      .convertToFormat(QImage::Format_RGB32);
            picture::JpegEncoder encoder;
            QByteArray expected;
            bool made = encoder.begin(pw, ph);
            for (int y = 0; y < ph && made; ++y) {
                const uchar* row = region.constScanLine(y);
                made = encoder.write(&row, 1);
            }
            const QImage a = read(folder + QStringLiteral("/Image%1.jpg").arg(k));
            const QImage b = made && encoder.end(expected)
                                 ? QImage::fromData(expected).convertToFormat(QImage::Format_RGB32)
                                 : QImage();
            errors.emplace_back(a.size() == b.size() ? maxDifference(a, b) : 1000,
                                a.size() == b.size() ? meanError(a, b) : 1000.0);
        }
        return errors;
    }

private slots:
    void initTestCase() { QVERIFY(m_tmp.isValid()); }

    void piecesShowTheirRegion_data() {
        QTest::addColumn<QByteArray>("jpeg");
        QTest::addColumn<int>("n");
        QTest::addColumn<double>("tolerance");
        const QByteArray odd = qtJpeg(photo(641, 479));
        QTest::newRow("641x479 at 3x3") << odd << 3 << 4.0;
        QTest::newRow("641x479 at 9x9") << odd << 9 << 4.0;
        // Bands taller than one run of decoded rows.
        const QByteArray wide = qtJpeg(photo(4001, 1003), false, 90);
        QTest::newRow("4001x1003 at 3x3") << wide << 3 << 4.0;
        QTest::newRow("4001x1003 at 7x7") << wide << 7 << 4.0;
        QTest::newRow("37x2003 at 4x4") << qtJpeg(photo(37, 2003)) << 4 << 4.0;
        // One-pixel pieces, each keeping the chroma sample it was stored with, against a decoder
        // that interpolates chroma across a steep gradient.
        QTest::newRow("9x9 at 9x9") << qtJpeg(photo(9, 9)) << 9 << 16.0;
        QTest::newRow("progressive at 5x5") << qtJpeg(photo(641, 479), true) << 5 << 4.0;
        QTest::newRow("grey at 6x6") << libjpegFile(photo(641, 479), {.grey = true}) << 6 << 4.0;
        QTest::newRow("4:2:2 at 3x3")
            << libjpegFile(photo(641, 479), {.lumaH = 2, .lumaV = 1}) << 3 << 4.0;
        QTest::newRow("4:4:0 at 4x4")
            << libjpegFile(photo(641, 479), {.lumaH = 1, .lumaV = 2}) << 4 << 4.0;
        QTest::newRow("restart markers at 7x7")
            << libjpegFile(photo(641, 479), {.restartRows = 1}) << 7 << 4.0;
        QTest::newRow("4:4:4 at 8x8")
            << libjpegFile(photo(641, 479), {.lumaH = 1, .lumaV = 1}) << 8 << 4.0;
        QTest::newRow("4:1:1 at 5x5")
            << libjpegFile(photo(641, 479), {.lumaH = 4, .lumaV = 1}) << 5 << 4.0;
        QTest::newRow("progressive 4:4:4 at 3x3")
            << libjpegFile(photo(641, 479), {.lumaH = 1, .lumaV = 1, .progressive = true}) << 3
            << 4.0;
        // Turned pictures are cut as they are shown, band by band as they are stored.
        const QByteArray stored = qtJpeg(photo(301, 200));
        for (int o = 2; o <= 8; ++o)
            for (int n : {3, 7})
                QTest::addRow("EXIF %d at %dx%d", o, n, n)
                    << withApp1(stored, orientationSegment(o, o % 2 == 0)) << n << 4.0;
        for (const auto& [name, layout] :
             {std::pair{"4:4:4", Layout{.lumaH = 1, .lumaV = 1}},
              std::pair{"4:1:1", Layout{.lumaH = 4, .lumaV = 1}},
              std::pair{"4:4:0", Layout{.lumaH = 1, .lumaV = 2}},
              std::pair{"grey", Layout{.grey = true}}, std::pair{"CMYK", Layout{.cmyk = true}},
              std::pair{"progressive", Layout{.progressive = true}}})
            QTest::addRow("EXIF 6, %s, at 5x5", name)
                << withApp1(libjpegFile(photo(301, 200), layout), orientationSegment(6)) << 5
                << 4.0;
    }
    void piecesShowTheirRegion() {
        QFETCH(QByteArray, jpeg);
        QFETCH(int, n);
        QFETCH(double, tolerance);
        const QString path = newFile(jpeg);
        QCOMPARE(openJpegSource(path).verdict, JpegVerdict::Banded);
        QString error;
        const auto source = openSource(path, error);
        QVERIFY2(source, qPrintable(error));
        const QString folder = newFolder();
        const ProjectOutcome outcome =
            writeProject(*source, Grid::square(n), folder, QByteArray("page"));
        QVERIFY2(outcome.ok, qPrintable(outcome.error));
        QCOMPARE(outcome.pieces, n * n);
        QCOMPARE(entries(folder).size(), n * n + 2);
        QCOMPARE(contents(folder + "/index.html"), QByteArray("page"));
        checkPieces(folder, read(path), n, tolerance);
    }

    // The workers turn the blocks into samples, each column those under it, and the pieces are
    // byte for byte what they are when the reading thread does it: whatever the chroma layout,
    // wherever the columns cut the blocks. Turned, each piece is made from the blocks under it,
    // turned, and shows what the RGB rows show.
    void blocksTransformedByTheWorkers_data() {
        QTest::addColumn<QByteArray>("jpeg");
        QTest::addColumn<int>("n");
        const QByteArray odd = qtJpeg(photo(1201, 803));
        for (int n = 3; n <= 9; ++n)
            QTest::addRow("4:2:0 at %dx%d", n, n) << odd << n;
        for (const auto& [name, layout] :
             {std::pair{"4:4:4", Layout{.lumaH = 1, .lumaV = 1}},
              std::pair{"4:2:2", Layout{.lumaH = 2, .lumaV = 1}},
              std::pair{"4:4:0", Layout{.lumaH = 1, .lumaV = 2}},
              std::pair{"4:1:1", Layout{.lumaH = 4, .lumaV = 1}},
              std::pair{"grey", Layout{.lumaH = 1, .lumaV = 1, .grey = true}},
              std::pair{"progressive", Layout{.progressive = true}},
              std::pair{"restart markers", Layout{.restartRows = 1}}})
            QTest::addRow("%s at 7x7", name) << libjpegFile(photo(1201, 803), layout) << 7;
        const std::pair<const char*, Layout> layouts[] = {
            {"4:2:0", {}},
            {"4:2:2", {.lumaH = 2, .lumaV = 1}},
            {"4:4:0", {.lumaH = 1, .lumaV = 2}},
            {"4:4:4", {.lumaH = 1, .lumaV = 1}},
            {"grey", {.lumaH = 1, .lumaV = 1, .grey = true}},
            {"4:1:1", {.lumaH = 4, .lumaV = 1}},
            {"restart markers", {.restartRows = 1}}};
        for (int o = 2; o <= 8; ++o) {
            const auto& [name, layout] = layouts[o - 2];
            QTest::addRow("EXIF %d, %s, at %dx%d", o, name, o + 1, o + 1)
                << withApp1(libjpegFile(photo(1201, 803), layout), orientationSegment(o)) << o + 1;
        }
        // Grey is read eight rows at a time but cut in 16-row steps, like the 4:2:0 it is fed as;
        // so wide that a slot holds an odd number of reads.
        QTest::newRow("EXIF 6, grey, 6000 wide, at 3x3")
            << withApp1(libjpegFile(photo(6000, 200), {.lumaH = 1, .lumaV = 1, .grey = true}),
                        orientationSegment(6))
            << 3;
        // So wide that a slot holds eight rows, the eight above the cells fill a slot of their
        // own, which every column passes over before the ring comes round to it again.
        for (int o : {3, 6})
            QTest::addRow("EXIF %d, 4:4:4, 11000 wide, at 9x9", o)
                << withApp1(libjpegFile(photo(11000, 161), {.lumaH = 1, .lumaV = 1}),
                            orientationSegment(o))
                << 9;
    }
    void blocksTransformedByTheWorkers() {
        QFETCH(QByteArray, jpeg);
        QFETCH(int, n);
        const QString path = newFile(jpeg);
        QString error;
        auto deferred = openSource(path, error);
        QVERIFY2(deferred, qPrintable(error));
        auto opened = openSource(path, error);
        QVERIFY2(opened, qPrintable(error));
        TransformingWhileReading reading(std::move(opened));
        const QString workers = newFolder(), reader = newFolder();
        QVERIFY(writeProject(*deferred, Grid::square(n), workers, QByteArray("p")).ok);
        QVERIFY(writeProject(reading, Grid::square(n), reader, QByteArray("p")).ok);
        QCOMPARE(entries(workers), entries(reader));
        for (const QString& name : entries(reader)) {
            const QByteArray made = contents(workers + '/' + name);
            if (isUpright(reading.orientation()) || !name.endsWith(QLatin1String(".jpg"))) {
                QVERIFY2(made == contents(reader + '/' + name), qPrintable(name));
            } else {
                // Without its blocks handed out, a turned picture is read in RGB rows, through
                // the decoder's colour conversion and the encoder's: a few levels apart.
                const QImage a = read(workers + '/' + name), b = read(reader + '/' + name);
                QCOMPARE(a.size(), b.size());
                QVERIFY2(maxDifference(a, b) <= 24 && meanError(a, b) < 1, qPrintable(name));
            }
        }
    }

    // The deferred transform checks itself against the library's on this machine; distrusted, a
    // run takes the library's own road and writes, byte for byte, what a reader that never
    // defers its transform writes, upright and turned.
    void publicRoadWhenTheDeferredTransformIsDistrusted_data() {
        QTest::addColumn<QByteArray>("jpeg");
        const QImage picture = photo(601, 403);
        QTest::newRow("4:2:0") << qtJpeg(picture);
        QTest::newRow("4:4:4") << libjpegFile(picture, {.lumaH = 1, .lumaV = 1});
        QTest::newRow("EXIF 6") << withApp1(qtJpeg(picture), orientationSegment(6));
    }
    void publicRoadWhenTheDeferredTransformIsDistrusted() {
        QFETCH(QByteArray, jpeg);
        QVERIFY(picture::jpeg::deferredTransformTrusted());
        const QString path = newFile(jpeg);
        QString error;
        auto opened = openSource(path, error);
        QVERIFY2(opened, qPrintable(error));
        TransformingWhileReading reading(std::move(opened));
        const QString distrusted = newFolder(), reader = newFolder();
        QVERIFY(writeProject(reading, Grid::square(5), reader, QByteArray("p")).ok);
        qputenv("TILEMAVEN_DEFERRED_IDCT", "off");
        const auto source = openSource(path, error);
        const bool written =
            source && writeProject(*source, Grid::square(5), distrusted, QByteArray("p")).ok;
        qunsetenv("TILEMAVEN_DEFERRED_IDCT");
        QVERIFY(written);
        for (const QString& name : entries(reader))
            QVERIFY2(contents(distrusted + '/' + name) == contents(reader + '/' + name),
                     qPrintable(name));
        checkPieces(distrusted, read(path), 5);
    }

    // A turned picture that gives only RGB rows (CMYK) has its pixels made into the encoder's
    // planes where they show, rows paired across the ring's slots: on colours that change from
    // pixel to pixel, each piece decodes as the encoder's own piece of the picture as shown but
    // for the rounding of the padding past its edges. The pieces are odd and even each way.
    void rgbRowsMadeAsTheEncoderMakesThem_data() {
        QTest::addColumn<int>("n");
        for (int n = 3; n <= 9; ++n)
            QTest::addRow("EXIF %d at %dx%d", n - 1, n, n) << n;
    }
    void rgbRowsMadeAsTheEncoderMakesThem() {
        QFETCH(int, n);
        QImage noisy((30 + n % 2) * n + 1, (16 + n / 2 % 2) * n + 2, QImage::Format_RGB32);
        QRandomGenerator random{quint32(n)};
        for (int y = 0; y < noisy.height(); ++y)
            for (int x = 0; x < noisy.width(); ++x)
                noisy.setPixel(x, y, random.generate() | 0xff000000u);
        const QString path =
            newFile(withApp1(libjpegFile(noisy, {.cmyk = true}), orientationSegment(n - 1)));
        const DecodedPicture shown = openAsPicture(path);
        QVERIFY2(!shown.image.isNull(), qPrintable(shown.error));
        QString error;
        const auto source = openSource(path, error);
        QVERIFY2(source, qPrintable(error));
        const QString folder = newFolder();
        QVERIFY(writeProject(*source, Grid::square(n), folder, QByteArray("p")).ok);
        // A chroma sample paired with the wrong pixels, or rounded the wrong way, is tens of
        // levels off here, or a few levels all over.
        for (const auto& [worst, mean] : errorsAgainstTheEncoder(folder, shown.image, n))
            QVERIFY(worst <= 8 && mean < 1.25);
    }

    // Whatever the turn, the chroma layout and where a piece starts, a turned picture's chroma
    // lands where an upright picture's does. The turned file is the upright one turned without
    // loss (jpegtran moves its blocks and their coefficients), so each of its pieces is the
    // upright file's piece, byte for byte; chroma half a pixel off is tens of levels off on the
    // sharp colour edges here.
    void turnedChromaWhereUprightChromaIs_data() {
        QTest::addColumn<Layout>("layout");
        QTest::addColumn<int>("orientation");
        QTest::addColumn<int>("n");
        const std::pair<const char*, Layout> layouts[] = {{"4:2:0", {}},
                                                          {"4:2:2", {.lumaH = 2, .lumaV = 1}},
                                                          {"4:4:0", {.lumaH = 1, .lumaV = 2}},
                                                          {"4:4:4", {.lumaH = 1, .lumaV = 1}},
                                                          {"grey", {.grey = true}}};
        for (const auto& [name, layout] : layouts)
            for (int o = 2; o <= 8; ++o)
                for (int n : {3, 7}) // pieces 26x21 and 11x9, from odd and even offsets
                    QTest::addRow("%s, EXIF %d, %dx%d", name, o, n, n) << layout << o << n;
    }
    void turnedChromaWhereUprightChromaIs() {
        QFETCH(Layout, layout);
        QFETCH(int, orientation);
        QFETCH(int, n);
        // Patches of saturated colour whose edges fall on odd and even pixels alike, on a picture
        // of whole MCUs each way, which jpegtran turns without loss.
        QImage shown(80, 64, QImage::Format_RGB32);
        QRandomGenerator random{quint32(orientation)};
        QPainter painter(&shown);
        for (int y = 0; y < shown.height(); y += 3)
            for (int x = 0; x < shown.width(); x += 5)
                painter.fillRect(x, y, 5, 3, QColor::fromRgb(random.generate() | 0xff000000u));
        painter.end();
        Layout upright = layout;
        if (orientation >= 5)
            std::swap(upright.lumaH, upright.lumaV);
        const QByteArray uprightFile = libjpegFile(shown, upright);
        // What turns the picture as shown into the picture as stored.
        const QStringList undo[] = {
            {"-flip", "horizontal"}, {"-rotate", "180"}, {"-flip", "vertical"}, {"-transpose"},
            {"-rotate", "270"},      {"-transverse"},    {"-rotate", "90"}};
        QProcess jpegtran;
        jpegtran.start(QStringLiteral("jpegtran"),
                       QStringList{"-perfect", "-copy", "none"} + undo[orientation - 2]);
        jpegtran.write(uprightFile);
        jpegtran.closeWriteChannel();
        QVERIFY(jpegtran.waitForFinished() && jpegtran.exitCode() == 0);
        const QByteArray turnedFile =
            withApp1(jpegtran.readAllStandardOutput(), orientationSegment(orientation));
        QString error;
        const QString uprightFolder = newFolder(), turnedFolder = newFolder();
        for (const auto& [file, folder] :
             {std::pair{uprightFile, uprightFolder}, std::pair{turnedFile, turnedFolder}}) {
            const auto source = openSource(newFile(file), error);
            QVERIFY2(source, qPrintable(error));
            QVERIFY(writeProject(*source, Grid::square(n), folder, QByteArray("p")).ok);
        }
        for (int k = 0; k < n * n; ++k) {
            const QString name = QStringLiteral("/Image%1.jpg").arg(k);
            QVERIFY2(contents(turnedFolder + name) == contents(uprightFolder + name),
                     qPrintable(name));
        }
    }

    // A decoded picture's pieces are exactly what the framework's own encoder makes of them; the
    // banded path, which hands the JPEG's own planes to the encoder, comes out the same but for
    // JPEG's rounding.
    void whatTheFrameworkEncoderWrites() {
        const QString path = newFile(qtJpeg(photo(641, 479)));
        const QImage decoded = read(path);
        const auto image = sourceFromImage(decoded);
        const QString whole = newFolder(), banded = newFolder();
        QVERIFY(writeProject(*image, Grid::square(4), whole, QByteArray("p")).ok);
        const int pw = decoded.width() / 4, ph = decoded.height() / 4;
        for (int k : {0, 6, 15}) {
            QByteArray framework;
            QBuffer buffer(&framework);
            buffer.open(QIODevice::WriteOnly);
            QImage piece(pw, ph, QImage::Format_RGB32);
            piece.fill(Qt::white);
            piece.setDotsPerMeterX(2835); // 72 dots per inch
            piece.setDotsPerMeterY(2835);
            QPainter(&piece).drawImage(QPoint(0, 0), decoded,
                                       QRect((k % 4) * pw, (k / 4) * ph, pw, ph));
            QVERIFY(QImageWriter(&buffer, "jpeg").write(piece));
            QVERIFY2(contents(whole + QStringLiteral("/Image%1.jpg").arg(k)) == framework,
                     qPrintable(QString::number(k)));
        }

        QString error;
        const auto source = openSource(path, error);
        QVERIFY(source);
        QVERIFY(writeProject(*source, Grid::square(4), banded, QByteArray("p")).ok);
        QCOMPARE(entries(banded), entries(whole));
        QCOMPARE(contents(banded + "/white.jpg"), contents(whole + "/white.jpg"));
        for (int k = 0; k < 16; ++k) {
            const QString name = QStringLiteral("/Image%1.jpg").arg(k);
            QVERIFY2(meanError(read(banded + name), read(whole + name)) < 1.5, qPrintable(name));
        }
    }

    // A turned picture fitted into a box is cut as it is shown, fitted: the turn and the fitting
    // do not get in each other's way.
    void turnedAndFitted_data() {
        QTest::addColumn<int>("orientation");
        for (int o = 1; o <= 8; ++o)
            QTest::addRow("EXIF %d", o) << o;
    }
    void turnedAndFitted() {
        QFETCH(int, orientation);
        const QString path =
            newFile(withApp1(qtJpeg(photo(801, 600)), orientationSegment(orientation)));
        QString error;
        auto source = openSource(path, error);
        QVERIFY2(source, qPrintable(error));
        source = picture::fitWithin(std::move(source), QSize(300, 300));
        const QImage shown = read(path);
        const QSize target = picture::fittedSize(shown.size(), QSize(300, 300));
        QCOMPARE(source->size(), target);
        const QString folder = newFolder();
        QVERIFY(writeProject(*source, Grid::square(3), folder, QByteArray("p")).ok);
        checkPieces(folder, shown.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation),
                    3, 6);
    }

    // A canvas that shows only a corner of each piece gets exactly that corner, for upright
    // and turned pictures alike, and the blank piece last.
    void previewIsTheCornerTheCanvasShows_data() {
        QTest::addColumn<QByteArray>("jpeg");
        QTest::addColumn<int>("n");
        const QByteArray upright = qtJpeg(photo(1201, 997));
        QTest::newRow("3x3") << upright << 3;
        QTest::newRow("9x9, pieces under 100 high") << upright << 9;
        QTest::newRow("turned, 4x4") << withApp1(upright, orientationSegment(6)) << 4;
        QTest::newRow("4:4:4, 5x5") << libjpegFile(photo(1201, 997), {.lumaH = 1, .lumaV = 1}) << 5;
    }
    void previewIsTheCornerTheCanvasShows() {
        QFETCH(QByteArray, jpeg);
        QFETCH(int, n);
        const QString path = newFile(jpeg);
        const auto previews = [&](QSize limit) {
            QString error;
            const auto source = openSource(path, error);
            QList<QImage> shown;
            SliceCallbacks callbacks;
            callbacks.preview = [&](int, const QImage& piece) { shown << piece; };
            callbacks.previewSize = limit;
            writeProject(*source, Grid::square(n), newFolder(), QByteArray("p"), callbacks);
            return shown;
        };
        const QList<QImage> whole = previews({});
        const QList<QImage> corners = previews({100, 100});
        QCOMPARE(corners.size(), n * n + 1);
        QCOMPARE(whole.size(), corners.size());
        for (qsizetype i = 0; i < whole.size(); ++i) {
            const QSize corner = whole[i].size().boundedTo({100, 100});
            QCOMPARE(corners[i].size(), corner);
            QVERIFY2(corners[i] == whole[i].copy(QRect(QPoint(0, 0), corner)),
                     qPrintable(QStringLiteral("preview %1").arg(i)));
        }
    }

    void previewsInIndexOrderWithTheirYields_data() {
        QTest::addColumn<int>("n");
        for (int n = 3; n <= 9; ++n)
            QTest::addRow("%dx%d", n, n) << n;
    }
    void previewsInIndexOrderWithTheirYields() {
        QFETCH(int, n);
        const QString path = newFile(qtJpeg(photo(1201, 997)));
        QString error;
        const auto source = openSource(path, error);
        QVERIFY(source);
        const QImage decoded = read(path);
        const int pw = decoded.width() / n, ph = decoded.height() / n;
        QList<int> order;
        int yields = 0;
        int wrong = -2;
        SliceCallbacks callbacks;
        callbacks.preview = [&](int k, const QImage& piece) {
            order << k;
            const QImage expected =
                k < 0 ? QImage() : decoded.copy((k % n) * pw, (k / n) * ph, pw, ph);
            if (piece.size() != QSize(pw, ph) ||
                (k >= 0 ? meanError(piece, expected) > 1.5 : !allNearly(piece, Qt::white, 0)))
                wrong = k;
        };
        callbacks.yield = [&] { ++yields; };
        const QString folder = newFolder();
        QVERIFY(writeProject(*source, Grid::square(n), folder, QByteArray("p"), callbacks).ok);
        QList<int> expected;
        for (int k = 0; k < n * n; ++k)
            expected << k;
        expected << -1;
        QCOMPARE(order, expected);
        QCOMPARE(wrong, -2);
        QCOMPARE(yields, n * n + n); // after every piece, and again after every row
    }

    // Damage that only shows while the rows are read: the run fails with the cause and the folder
    // keeps what it held.
    void damageFoundWhileSlicing() {
        const QByteArray good = qtJpeg(photo(800, 600));
        const qsizetype scan = scanStart(good);
        const QByteArray jpeg = damaged(good, scan + (good.size() - scan) * 3 / 4, 64);
        const QString path = newFile(jpeg);
        QString error;
        const auto source = openSource(path, error);
        QVERIFY2(source, qPrintable(error));
        const QString folder = newFolder();
        QVERIFY(writeFile(folder + "/Image0.jpg", "older piece"));
        const ProjectOutcome outcome =
            writeProject(*source, Grid::square(3), folder, QByteArray("page"));
        QVERIFY(!outcome.ok);
        QVERIFY2(outcome.error.contains(QDir::toNativeSeparators(path)), qPrintable(outcome.error));
        QCOMPARE(entries(folder), QStringList{"Image0.jpg"});
        QCOMPARE(contents(folder + "/Image0.jpg"), QByteArray("older piece"));
    }

    void wholePicturePathComesOutRight_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QSize>("size");
        const QByteArray jpeg = qtJpeg(photo(301, 200));
        QTest::newRow("EXIF turned a quarter")
            << withApp1(jpeg, orientationSegment(6)) << QSize(200, 301);
        QTest::newRow("EXIF upside down")
            << withApp1(jpeg, orientationSegment(3)) << QSize(301, 200);
        QTest::newRow("EXIF mirrored and turned")
            << withApp1(jpeg, orientationSegment(7, true)) << QSize(200, 301);
        QImage blocks(301, 200, QImage::Format_RGB32);
        for (int y = 0; y < 200; ++y)
            for (int x = 0; x < 301; ++x)
                blocks.setPixel(x, y, qRgb(x < 150 ? 255 : 0, y < 100 ? 255 : 0, 128));
        QTest::newRow("GIF") << gifwriter::encode(301, 200, {GifFrame{blocks}}) << QSize(301, 200);
    }
    void wholePicturePathComesOutRight() {
        QFETCH(QByteArray, bytes);
        QFETCH(QSize, size);
        const QString path = newFile(bytes);
        QString error;
        const auto source = openSource(path, error);
        QVERIFY2(source, qPrintable(error));
        QCOMPARE(source->size(), size);
        const QString folder = newFolder();
        QVERIFY(writeProject(*source, Grid::square(4), folder, QByteArray("p")).ok);
        checkPieces(folder, read(path), 4); // read() turns the picture as EXIF says
    }

    // A GIF is read band by band from its colour indices; the bands are the picture that
    // openAsPicture() gives whole, and damage is refused when the source is opened.
    void gifSourceGivesTheWholePictureInBands_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("works");
        QImage frame(90, 70, QImage::Format_Indexed8);
        frame.setColorTable({qRgb(250, 0, 0), qRgb(0, 250, 0), qRgb(0, 0, 250), qRgb(9, 9, 9)});
        for (int y = 0; y < frame.height(); ++y)
            for (int x = 0; x < frame.width(); ++x)
                frame.scanLine(y)[x] = uchar((x / 4 + y / 3) % 4);
        QTest::newRow("opaque") << gifwriter::encode(90, 70, {GifFrame{frame}}) << true;
        QTest::newRow("transparent index") << gifwriter::encode(90, 70, {{frame, 2}}) << true;
        QTest::newRow("frame on a larger screen")
            << gifwriter::encode(120, 100, {{frame, -1, 0, 0, 20, 40}}) << true;
        GifFrame interlaced{frame};
        interlaced.interlaced = true;
        interlaced.compress = true;
        QTest::newRow("interlaced") << gifwriter::encode(90, 70, {interlaced}) << true;
        GifFrame cut{frame};
        cut.codedPixels = 90 * 70 - 1;
        QTest::newRow("a pixel short") << gifwriter::encode(90, 70, {cut}) << false;
    }
    void gifSourceGivesTheWholePictureInBands() {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, works);
        const QString path = newFile(bytes, ".gif");
        const picture::DecodedPicture whole = picture::openAsPicture(path);
        QString error;
        const auto source = openSource(path, error);
        QCOMPARE(bool(source), works);
        if (!works) {
            QCOMPARE(error, whole.error);
            return;
        }
        QCOMPARE(source->size(), whole.image.size());
        QImage band;
        for (int y = 0; y < whole.image.height(); y += 7) {
            const int rows = std::min(7, whole.image.height() - y);
            QVERIFY2(source->nextRows(rows, band, error), qPrintable(error));
            QCOMPARE(band, whole.image.copy(0, y, whole.image.width(), rows));
        }
        QVERIFY(!source->nextRows(1, band, error));
    }
};

QTEST_GUILESS_MAIN(TestSlicer)
#include "tst_slicer.moc"
