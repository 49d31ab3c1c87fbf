// SPDX-License-Identifier: MIT
// Fitting a picture into a box: the size it gets, the area averaging that scales it band by band
// without aliasing, and the JPEG decoder's own reduction that does most of the work.
#include "picture/fitsource.h"
#include "picture/jpegsource.h"
#include "testpictures.h"
#include "wholepicture.h"

#include <QTemporaryDir>
#include <QTest>

#include <cstring>

using namespace picture;

namespace {

// The whole picture through `source`, in bands of `rows` rows (the last one shorter).
QImage readAll(Source& source, int rows, QString* problem = nullptr) {
    const QSize size = source.size();
    QImage picture(size, QImage::Format_RGB32);
    QString error;
    for (int y = 0; y < size.height(); y += rows) {
        const int take = std::min(rows, size.height() - y);
        QImage band;
        if (!source.nextRows(take, band, error) || band.size() != QSize(size.width(), take)) {
            if (problem)
                *problem = error.isEmpty() ? QStringLiteral("band of the wrong shape") : error;
            return {};
        }
        for (int r = 0; r < take; ++r)
            std::memcpy(picture.scanLine(y + r), band.constScanLine(r),
                        std::size_t(size.width()) * 4);
    }
    return picture;
}

QImage checkerboard(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, (x + y) % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    return image;
}

// Each pixel the exact mean of the f x f block it stands for.
QImage blockMeans(const QImage& image, int f) {
    QImage out(image.width() / f, image.height() / f, QImage::Format_RGB32);
    for (int y = 0; y < out.height(); ++y)
        for (int x = 0; x < out.width(); ++x) {
            int r = 0, g = 0, b = 0;
            for (int j = 0; j < f; ++j)
                for (int i = 0; i < f; ++i) {
                    const QRgb p = image.pixel(x * f + i, y * f + j);
                    r += qRed(p);
                    g += qGreen(p);
                    b += qBlue(p);
                }
            const int n = f * f;
            out.setPixel(x, y, qRgb((r + n / 2) / n, (g + n / 2) / n, (b + n / 2) / n));
        }
    return out;
}

// A picture whose data is damaged from row `brokenAt` on.
class DamagedSource final : public Source {
public:
    explicit DamagedSource(int brokenAt)
        : m_brokenAt(brokenAt) {}
    QSize size() const override { return {120, 90}; }
    bool nextRows(int rows, QImage& band, QString& error) override {
        if (m_next + rows > m_brokenAt) {
            error = QStringLiteral("damaged at row %1").arg(m_brokenAt);
            return false;
        }
        band = QImage(120, rows, QImage::Format_RGB32);
        band.fill(Qt::gray);
        m_next += rows;
        return true;
    }

private:
    int m_brokenAt, m_next = 0;
};

} // namespace

class TestFitSource : public QObject {
    Q_OBJECT

private slots:
    void fittedSizes_data() {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QSize>("box");
        QTest::addColumn<QSize>("fitted");
        QTest::newRow("12 MP into its own shape")
            << QSize(4032, 3024) << QSize(1600, 1200) << QSize(1600, 1200);
        QTest::newRow("24 MP, the width decides")
            << QSize(6000, 4000) << QSize(1600, 1200) << QSize(1600, 1067);
        QTest::newRow("portrait, the height decides")
            << QSize(3024, 4032) << QSize(1600, 1200) << QSize(900, 1200);
        QTest::newRow("fits already: not enlarged")
            << QSize(800, 600) << QSize(1600, 1200) << QSize(800, 600);
        QTest::newRow("exactly the box")
            << QSize(1600, 1200) << QSize(1600, 1200) << QSize(1600, 1200);
        QTest::newRow("too wide by one")
            << QSize(1601, 100) << QSize(1600, 1200) << QSize(1600, 100);
        QTest::newRow("a line stays a pixel high")
            << QSize(5000, 2) << QSize(100, 100) << QSize(100, 1);
        QTest::newRow("a column stays a pixel wide")
            << QSize(3, 9000) << QSize(100, 100) << QSize(1, 100);
        QTest::newRow("rounds to the nearest")
            << QSize(421, 313) << QSize(200, 100) << QSize(135, 100);
    }

    void fittedSizes() {
        QFETCH(QSize, size);
        QFETCH(QSize, box);
        QFETCH(QSize, fitted);
        QCOMPARE(fittedSize(size, box), fitted);
    }

    // The finest pattern there is, scaled by an uneven factor: every output pixel is a grey near
    // the middle (a box of about 3x3 pixels holds 4 or 5 white ones), where picking pixels, or
    // blending the nearest two, would give black and white.
    void finePatternsAverageOut() {
        auto source = fitWithin(sourceFromImage(checkerboard(1000, 750)), QSize(333, 250));
        QCOMPARE(source->size(), QSize(333, 250));
        const QImage scaled = readAll(*source, 16);
        QVERIFY(!scaled.isNull());
        QVERIFY(testpictures::allNearly(scaled, QColor(128, 128, 128), 15));
        QImage mid(scaled.size(), QImage::Format_RGB32);
        mid.fill(QColor(128, 128, 128));
        QVERIFY(testpictures::meanError(scaled, mid) < 8);
    }

    // Whole factors: each pixel is the exact mean of its block, in any band height.
    void wholeFactorsAreBlockMeans_data() {
        QTest::addColumn<int>("factor");
        QTest::addColumn<int>("rows");
        QTest::newRow("1/2 a row at a time") << 2 << 1;
        QTest::newRow("1/3 seven rows at a time") << 3 << 7;
        QTest::newRow("1/5 all at once") << 5 << 1000;
    }

    void wholeFactorsAreBlockMeans() {
        QFETCH(int, factor);
        QFETCH(int, rows);
        const QImage picture = testpictures::gradient(300, 210);
        auto source = scaledDown(sourceFromImage(picture), QSize(300 / factor, 210 / factor));
        const QImage scaled = readAll(*source, rows);
        QVERIFY(!scaled.isNull());
        QVERIFY(testpictures::maxDifference(scaled, blockMeans(picture, factor)) <= 1);
    }

    void transparencyLiesOnWhite() {
        QImage picture(64, 64, QImage::Format_ARGB32);
        picture.fill(qRgba(0, 0, 0, 0));
        for (int y = 32; y < 64; ++y)
            for (int x = 0; x < 64; ++x)
                picture.setPixel(x, y, qRgba(0, 0, 255, 255));
        const QImage scaled = readAll(*fitWithin(sourceFromImage(picture), QSize(16, 16)), 5);
        QCOMPARE(scaled.size(), QSize(16, 16));
        QVERIFY(testpictures::allNearly(scaled.copy(0, 0, 16, 8), Qt::white, 0));
        QVERIFY(testpictures::allNearly(scaled.copy(0, 8, 16, 8), Qt::blue, 0));
    }

    void askingForTooManyRowsFails() {
        auto source = fitWithin(sourceFromImage(testpictures::gradient(90, 90)), QSize(30, 30));
        QImage band;
        QString error;
        QVERIFY(source->nextRows(20, band, error));
        QVERIFY(!source->nextRows(11, band, error));
        QVERIFY(!error.isEmpty());
        QVERIFY(source->nextRows(10, band, error));
    }

    // Damage found while decoding ahead reaches the reader as it is, where the rows run out.
    void damageFoundAheadIsReported() {
        auto source = fitWithin(std::make_unique<DamagedSource>(60), QSize(40, 30));
        QImage band;
        QString error;
        QVERIFY(source->nextRows(10, band, error)); // rows 0..29 of the picture
        QString problem;
        QVERIFY(readAll(*source, 5, &problem).isNull());
        QCOMPARE(problem, QStringLiteral("damaged at row 60"));
    }

    // Left after its first rows, as a failed slicing leaves it: it goes without waiting for
    // rows nobody takes.
    void leftHalfReadItGoes() {
        auto source =
            fitWithin(sourceFromImage(testpictures::gradient(400, 3000)), QSize(100, 100));
        QImage band;
        QString error;
        QVERIFY(source->nextRows(3, band, error));
        source.reset();
    }

    void aPictureThatFitsIsLeftAlone() {
        auto original = sourceFromImage(testpictures::gradient(90, 60));
        Source* raw = original.get();
        const auto fitted = fitWithin(std::move(original), QSize(90, 60));
        QCOMPARE(fitted.get(), raw);
    }

    // The decoder's reduction takes the picture most of the way: 1/4 here, as 1/8 would fall
    // below the target. The outcome is what averaging the whole picture would give.
    void jpegIsReducedWhileDecoding_data() {
        QTest::addColumn<QSize>("box");
        QTest::addColumn<QSize>("decoded"); // what the decoder alone makes
        QTest::newRow("a quarter, then averaging") << QSize(300, 300) << QSize(400, 300);
        QTest::newRow("an eighth exactly") << QSize(200, 200) << QSize(200, 150);
        QTest::newRow("a half, then averaging") << QSize(700, 700) << QSize(800, 600);
        QTest::newRow("too little for the decoder") << QSize(1500, 1500) << QSize(1600, 1200);
    }

    void jpegIsReducedWhileDecoding() {
        QFETCH(QSize, box);
        QFETCH(QSize, decoded);
        QTemporaryDir dir;
        const QImage picture = testpictures::gradient(1600, 1200);
        const QString path = testpictures::saveJpeg(picture, dir.filePath("big.jpg"));
        QVERIFY(!path.isEmpty());

        QString error;
        auto probe = openSource(path, error);
        QVERIFY2(probe, qPrintable(error));
        const int denom = 1600 / decoded.width();
        QCOMPARE(decodeJpegScaled(*probe, denom), denom > 1);
        QCOMPARE(probe->size(), decoded);

        auto source = openSource(path, error);
        QVERIFY2(source, qPrintable(error));
        source = fitWithin(std::move(source), box);
        const QSize target = fittedSize(QSize(1600, 1200), box);
        QCOMPARE(source->size(), target);
        const QImage scaled = readAll(*source, 16, &error);
        QVERIFY2(!scaled.isNull(), qPrintable(error));
        const QImage reference =
            readAll(*scaledDown(sourceFromImage(testpictures::read(path)), target), 64);
        QVERIFY2(testpictures::meanError(scaled, reference) < 2.0,
                 qPrintable(QString::number(testpictures::meanError(scaled, reference))));
    }

    void jpegReductionOnlyBeforeDecoding() {
        QTemporaryDir dir;
        const QString path =
            testpictures::saveJpeg(testpictures::gradient(160, 120), dir.filePath("p.jpg"));
        QString error;
        auto source = openSource(path, error);
        QVERIFY(source);
        QVERIFY(!decodeJpegScaled(*source, 3));
        QImage band;
        QVERIFY(source->nextRows(8, band, error));
        QVERIFY(!decodeJpegScaled(*source, 2));
        QCOMPARE(source->size(), QSize(160, 120));
        auto image = sourceFromImage(testpictures::gradient(16, 16));
        QVERIFY(!decodeJpegScaled(*image, 2));
    }
};

QTEST_GUILESS_MAIN(TestFitSource)
#include "tst_fitsource.moc"
