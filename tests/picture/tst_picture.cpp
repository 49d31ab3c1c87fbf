// SPDX-License-Identifier: MIT
#include "gifwriter.h"
#include "wholepicture.h"

#include <QBuffer>
#include <QFile>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <thread>

using picture::openAsPicture;

namespace {

QImage leftRedRightBlue(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, x < width / 2 ? qRgb(255, 0, 0) : qRgb(0, 0, 255));
    return image;
}

QByteArray jpegBytes(const QImage& image, bool progressive = false) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setProgressiveScanWrite(progressive);
    if (!writer.write(image))
        qFatal("could not make a test JPEG: %s", qPrintable(writer.errorString()));
    return bytes;
}

// Offset of the first baseline start-of-frame marker.
qsizetype sofAt(const QByteArray& jpeg) {
    return jpeg.indexOf(QByteArray("\xFF\xC0", 2));
}

QByteArray withClaimedSize(QByteArray jpeg, int width, int height) {
    const qsizetype sof = sofAt(jpeg);
    jpeg[sof + 5] = char(height >> 8);
    jpeg[sof + 6] = char(height & 0xFF);
    jpeg[sof + 7] = char(width >> 8);
    jpeg[sof + 8] = char(width & 0xFF);
    return jpeg;
}

// An APP1 segment holding an EXIF block with one IFD0 entry: Orientation (0x0112), SHORT.
// `ifdOffset` other than 8 makes it point past the end of the block.
QByteArray exifSegment(int orientation, quint32 ifdOffset = 8) {
    QByteArray tiff("MM\x00\x2A", 4);
    for (int shift = 24; shift >= 0; shift -= 8)
        tiff.append(char((ifdOffset >> shift) & 0xFF));
    tiff.append("\x00\x01", 2);                         // one entry
    tiff.append("\x01\x12\x00\x03\x00\x00\x00\x01", 8); // Orientation, SHORT, count 1
    tiff.append(char(0));
    tiff.append(char(orientation));
    tiff.append(2, char(0));
    tiff.append(4, char(0)); // no next IFD
    const QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    const int length = int(payload.size()) + 2;
    return QByteArray("\xFF\xE1", 2) + char(length >> 8) + char(length & 0xFF) + payload;
}

QByteArray withExif(const QByteArray& jpeg, const QByteArray& segment) {
    return jpeg.left(2) + segment + jpeg.mid(2); // right after the start-of-image marker
}

bool nearColour(QRgb actual, QRgb expected, int tolerance = 40) {
    return qAbs(qRed(actual) - qRed(expected)) <= tolerance &&
           qAbs(qGreen(actual) - qGreen(expected)) <= tolerance &&
           qAbs(qBlue(actual) - qBlue(expected)) <= tolerance;
}

QStringList g_logged;
void recordingHandler(QtMsgType, const QMessageLogContext&, const QString& text) {
    g_logged << text;
}

} // namespace

class TestPicture : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString put(const QString& name, const QByteArray& bytes) {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("could not write %s", qPrintable(path));
        return path;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void decodes_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QSize>("size");
        const QImage source = leftRedRightBlue(40, 30);
        const QByteArray jpeg = jpegBytes(source);
        const QByteArray gif = gifwriter::encode(40, 30, {{source}});
        QTest::newRow("jpeg") << jpeg << "a.jpg" << QSize(40, 30);
        QTest::newRow("jpeg named .gif") << jpeg << "a.gif" << QSize(40, 30);
        QTest::newRow("progressive jpeg") << jpegBytes(source, true) << "p.jpg" << QSize(40, 30);
        QTest::newRow("jpeg without end marker") << jpeg.chopped(2) << "e.jpg" << QSize(40, 30);
        QTest::newRow("jpeg broken exif")
            << withExif(jpeg, exifSegment(6, 0x7FFF)) << "x.jpg" << QSize(40, 30);
        QTest::newRow("gif named .jpg") << gif << "g.jpg" << QSize(40, 30);
        QImage green(40, 30, QImage::Format_RGB32);
        green.fill(qRgb(0, 255, 0));
        QTest::newRow("animated gif")
            << gifwriter::encode(40, 30, {{source}, {green}}) << "an.gif" << QSize(40, 30);
    }
    // Every picture that decodes comes back in 32 bits, red on the left and blue on the right.
    void decodes() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, name);
        QFETCH(QSize, size);
        const picture::DecodedPicture picture = openAsPicture(put(name, bytes));
        QVERIFY2(!picture.image.isNull(), qPrintable(picture.error));
        QVERIFY(picture.error.isEmpty());
        QCOMPARE(picture.image.size(), size);
        QVERIFY(picture.image.format() == QImage::Format_RGB32 ||
                picture.image.format() == QImage::Format_ARGB32);
        QVERIFY(nearColour(picture.image.pixel(2, 2), qRgb(255, 0, 0)));
        QVERIFY(
            nearColour(picture.image.pixel(size.width() - 3, size.height() - 3), qRgb(0, 0, 255)));
    }

    void grayscaleJpegBecomes32Bit() {
        QImage gray(20, 20, QImage::Format_Grayscale8);
        gray.fill(128);
        const auto picture = openAsPicture(put("gray.jpg", jpegBytes(gray)));
        QVERIFY2(!picture.image.isNull(), qPrintable(picture.error));
        QCOMPARE(picture.image.format(), QImage::Format_RGB32);
        QVERIFY(nearColour(picture.image.pixel(10, 10), qRgb(128, 128, 128), 4));
    }

    void transparentGifKeepsItsAlpha() {
        const QImage source = leftRedRightBlue(40, 30);
        const int red = source.convertToFormat(QImage::Format_Indexed8).pixelIndex(0, 0);
        const auto picture =
            openAsPicture(put("t.gif", gifwriter::encode(40, 30, {{source, red}})));
        QVERIFY2(!picture.image.isNull(), qPrintable(picture.error));
        QCOMPARE(picture.image.format(), QImage::Format_ARGB32);
        QCOMPARE(qAlpha(picture.image.pixel(2, 2)), 0);
        QCOMPARE(picture.image.pixel(30, 2), qRgb(0, 0, 255));
    }

    void frameSmallerThanScreenDecodes() {
        const auto picture = openAsPicture(
            put("screen.gif", gifwriter::encode(4000, 3000, {{leftRedRightBlue(40, 30)}})));
        QVERIFY2(!picture.image.isNull(), qPrintable(picture.error));
        QVERIFY(nearColour(picture.image.pixel(2, 2), qRgb(255, 0, 0)));
    }

    void exifOrientation_data() {
        QTest::addColumn<int>("orientation");
        QTest::addColumn<QRgb>("top");
        QTest::addColumn<QRgb>("bottom");
        // Stored 40 x 20, red left, blue right; turned a quarter, red ends up at top or bottom.
        QTest::newRow("6: turned clockwise") << 6 << qRgb(255, 0, 0) << qRgb(0, 0, 255);
        QTest::newRow("8: turned anticlockwise") << 8 << qRgb(0, 0, 255) << qRgb(255, 0, 0);
    }
    void exifOrientation() {
        QFETCH(int, orientation);
        QFETCH(QRgb, top);
        QFETCH(QRgb, bottom);
        const QByteArray jpeg =
            withExif(jpegBytes(leftRedRightBlue(40, 20)), exifSegment(orientation));
        const auto picture = openAsPicture(put("exif.jpg", jpeg));
        QVERIFY2(!picture.image.isNull(), qPrintable(picture.error));
        QCOMPARE(picture.image.size(), QSize(20, 40));
        QVERIFY(nearColour(picture.image.pixel(10, 3), top));
        QVERIFY(nearColour(picture.image.pixel(10, 36), bottom));
    }

    // Debian's default limit stops at 128 MB; 35 megapixels need 140 MB.
    void pictureOverTheDefaultLimitDecodes() {
        QImage big(7000, 5000, QImage::Format_RGB32);
        big.fill(qRgb(10, 200, 10));
        const auto picture = openAsPicture(put("big.jpg", jpegBytes(big)));
        QVERIFY2(!picture.image.isNull(), qPrintable(picture.error));
        QCOMPARE(picture.image.size(), QSize(7000, 5000));
    }

    void fails_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("cause"); // part of the reason given
        const QImage source = leftRedRightBlue(200, 150);
        const QByteArray jpeg = jpegBytes(source);
        const QByteArray gif = gifwriter::encode(200, 150, {{source}});
        QByteArray corrupt = jpeg;
        for (qsizetype i = 0; i < 40; ++i)
            corrupt[corrupt.size() / 2 + i] = char(i * 37);
        QByteArray twelveBit = jpeg;
        twelveBit[sofAt(jpeg) + 4] = 12;

        QTest::newRow("zero bytes") << QByteArray() << "empty.jpg"
                                    << "empty";
        QTest::newRow("text named .jpg") << QByteArray("just some words\n") << "text.jpg"
                                         << "not a JPEG or GIF";
        QTest::newRow("truncated jpeg") << jpeg.left(jpeg.size() / 2) << "half.jpg"
                                        << "Corrupt JPEG data";
        QTest::newRow("corrupt jpeg scan") << corrupt << "corrupt.jpg"
                                           << "Corrupt JPEG data";
        QTest::newRow("12-bit jpeg") << twelveBit << "twelve.jpg"
                                     << "precision";
        QTest::newRow("jpeg header 65000 x 65000")
            << withClaimedSize(jpeg, 65000, 65000) << "huge.jpg"
            << "65000 x 65000";
        QTest::newRow("truncated gif") << gif.left(gif.size() / 2) << "half.gif"
                                       << "ends before";
        QTest::newRow("gif cut before its last block") << gif.chopped(3) << "cut.gif"
                                                       << "ends before";
        QTest::newRow("gif frame 65535 x 65535")
            << gifwriter::encode(40, 30, {{leftRedRightBlue(40, 30), -1, 65535, 65535}})
            << "frame.gif"
            << "65535 x 65535";
        QTest::newRow("gif screen 60000 x 60000")
            << gifwriter::encode(60000, 60000, {{leftRedRightBlue(40, 30)}}) << "screen.gif"
            << "60000 x 60000";
        QTest::newRow("gif header only") << QByteArray("GIF89a") << "short.gif"
                                         << "ends before";
    }
    void fails() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, name);
        QFETCH(QString, cause);
        const QString path = put(name, bytes);
        const auto picture = openAsPicture(path);
        QVERIFY(picture.image.isNull());
        QVERIFY2(picture.error.startsWith("Could not read the picture " + path + ": "),
                 qPrintable(picture.error));
        QVERIFY2(picture.error.contains(cause), qPrintable(picture.error));
        QVERIFY(!picture.error.contains(u'\n'));
    }

    // The decoder's complaints become the failure instead of reaching the log, and whatever
    // handler was installed before is back afterwards.
    void decoderWarningsAreCaughtAndHandlerRestored() {
        g_logged.clear();
        const QtMessageHandler before = qInstallMessageHandler(&recordingHandler);
        const QByteArray jpeg = jpegBytes(leftRedRightBlue(200, 150));
        const auto picture = openAsPicture(put("warn.jpg", jpeg.left(jpeg.size() / 2)));
        qWarning("after");
        qInstallMessageHandler(before);
        QVERIFY(picture.image.isNull());
        QCOMPARE(g_logged, QStringList{"after"});
    }

    // Warnings are caught per thread: a damaged picture decoded on one thread must not fail a
    // sound one decoded on another at the same moment.
    void decodesOnSeveralThreadsKeepTheirWarningsApart() {
        const QByteArray jpeg = jpegBytes(leftRedRightBlue(200, 150));
        const QString good = put("good.jpg", jpeg);
        const QString bad = put("bad.jpg", jpeg.left(jpeg.size() / 2));
        std::atomic<int> wrong = 0;
        auto decode = [&](const QString& path, bool shouldWork) {
            for (int i = 0; i < 1000; ++i)
                if (openAsPicture(path).image.isNull() == shouldWork)
                    ++wrong;
        };
        std::thread first(decode, good, true), second(decode, bad, false);
        decode(good, true);
        first.join();
        second.join();
        QCOMPARE(wrong.load(), 0);
    }
};

QTEST_GUILESS_MAIN(TestPicture)
#include "tst_picture.moc"
