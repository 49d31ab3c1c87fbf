// SPDX-License-Identifier: MIT
#include "gifwriter.h"
#include "picture/gifdecoder.h"
#include "wholepicture.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using picture::GifDecoder;

namespace {

// A frame of `colours` colours whose indices change along both directions and now and then in
// runs, so that any row or pixel out of place shows and the compressor finds strings to reuse.
QImage frameImage(int width, int height, int colours = 256, quint32 seed = 1) {
    QImage image(width, height, QImage::Format_Indexed8);
    QList<QRgb> table;
    for (int i = 0; i < colours; ++i)
        table << qRgb(i, (i * 7) & 255, 255 - i);
    image.setColorTable(table);
    quint32 state = seed;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            state = state * 1664525u + 1013904223u;
            const int value = (state >> 28) < 5 ? int(state >> 16) : (x / 3 + y * 5);
            image.scanLine(y)[x] = uchar(value % colours);
        }
    return image;
}

GifFrame compressed(const QImage& image) {
    GifFrame frame{image};
    frame.compress = true;
    return frame;
}

GifFrame withCodeSize(const QImage& image, int codeSize, bool compress) {
    GifFrame frame{image};
    frame.codeSize = codeSize;
    frame.tableBits = codeSize;
    frame.compress = compress;
    return frame;
}

// A device that hands out at most a few bytes a read, as a pipe does, cannot seek, and counts
// what was taken from it.
class TrickleDevice : public QIODevice {
public:
    explicit TrickleDevice(QByteArray data)
        : m_data(std::move(data)) {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }
    qint64 taken() const { return m_at; }

protected:
    qint64 readData(char* to, qint64 max) override {
        const qint64 n = std::min({max, qint64(7), qint64(m_data.size()) - m_at});
        std::copy_n(m_data.constData() + m_at, n, to);
        m_at += n;
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray m_data;
    qint64 m_at = 0;
};

bool decode(const QByteArray& bytes, GifDecoder& gif, qint64 cap = 1 << 30) {
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return gif.read(buffer, cap);
}

QImage render(const GifDecoder& gif, int bandRows) {
    QImage image(gif.size(), QImage::Format_ARGB32);
    image.fill(0x12345678); // whatever renderRows leaves alone shows
    for (int y = 0; y < image.height(); y += bandRows) {
        const int rows = std::min(bandRows, image.height() - y);
        gif.renderRows(y, rows, image.scanLine(y), image.bytesPerLine());
    }
    return image;
}

// Where in `frame` each pixel of `picture` differs from the frame's indices; empty when none.
QString indexDifference(const GifDecoder& gif, const QImage& frame) {
    for (int y = 0; y < frame.height(); ++y)
        for (int x = 0; x < frame.width(); ++x)
            if (gif.index(x, y) != frame.pixelIndex(x, y))
                return QStringLiteral("index %1 at (%2, %3), expected %4")
                    .arg(gif.index(x, y))
                    .arg(x)
                    .arg(y)
                    .arg(frame.pixelIndex(x, y));
    return {};
}

QString pixelDifference(const QImage& actual, const QImage& expected) {
    if (actual.size() != expected.size())
        return QStringLiteral("size %1 x %2, expected %3 x %4")
            .arg(actual.width())
            .arg(actual.height())
            .arg(expected.width())
            .arg(expected.height());
    for (int y = 0; y < actual.height(); ++y)
        for (int x = 0; x < actual.width(); ++x)
            if (actual.pixel(x, y) != expected.pixel(x, y))
                return QStringLiteral("%1 at (%2, %3), expected %4")
                    .arg(actual.pixel(x, y), 8, 16, QChar(u'0'))
                    .arg(x)
                    .arg(y)
                    .arg(expected.pixel(x, y), 8, 16, QChar(u'0'));
    return {};
}

// A frame of four indices in a diagonal pattern, for the cases that are about colours and
// placement rather than decoding.
QImage diagonal(int width, int height, QList<QRgb> table) {
    QImage image(width, height, QImage::Format_Indexed8);
    image.setColorTable(table);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.scanLine(y)[x] = uchar((x + y) % 4);
    return image;
}

const QRgb kA = qRgb(200, 10, 10), kB = qRgb(10, 200, 10), kC = qRgb(10, 10, 200),
           kD = qRgb(90, 90, 90);
const QRgb kNone = 0x00000000;

} // namespace

class TestGifDecoder : public QObject {
    Q_OBJECT

private slots:
    // Intact files of every make decode to the very indices the writer was given.
    void decodesTheFrame_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QImage>("frame");
        const QImage big = frameImage(300, 200);
        const QImage few = frameImage(400, 300, 5, 7); // long runs: KwKwK codes, a full table
        QTest::newRow("one code a pixel") << gifwriter::encode(300, 200, {{big}}) << big;
        QTest::newRow("compressed, clear when full")
            << gifwriter::encode(300, 200, {compressed(big)}) << big;
        GifFrame noClear = compressed(few);
        noClear.clearWhenFull = false;
        QTest::newRow("compressed, table kept full")
            << gifwriter::encode(400, 300, {noClear}) << few;
        QTest::newRow("compressed, few colours")
            << gifwriter::encode(400, 300, {compressed(few)}) << few;
        for (int codeSize : {1, 2, 3, 5, 7, 8, 9, 11})
            for (bool compress : {false, true}) {
                if (compress && codeSize == 1) // no growing table at code size 1
                    continue;
                const int bits = std::min(codeSize, 8);
                const QImage image = frameImage(97, 61, 1 << bits, quint32(codeSize));
                GifFrame frame = withCodeSize(image, codeSize, compress);
                frame.tableBits = bits;
                QTest::addRow("code size %d%s", codeSize, compress ? ", compressed" : "")
                    << gifwriter::encode(97, 61, {frame}) << image;
            }
        // Heights around the steps of the four passes.
        for (int height : {1, 2, 3, 4, 5, 7, 8, 9, 12, 16, 17, 33})
            for (bool compress : {false, true}) {
                const QImage image = frameImage(13, height, 256, quint32(height));
                GifFrame frame{image};
                frame.interlaced = true;
                frame.compress = compress;
                QTest::addRow("interlaced, %d rows%s", height, compress ? ", compressed" : "")
                    << gifwriter::encode(13, height, {frame}) << image;
            }
        const QImage small = frameImage(40, 30);
        GifFrame extra{small};
        extra.extraPixels = 77;
        QTest::newRow("pixels past the frame's end") << gifwriter::encode(40, 30, {extra}) << small;
        GifFrame after{small};
        after.afterEnd = QByteArray(600, char(0xA5));
        QTest::newRow("data after the end code") << gifwriter::encode(40, 30, {after}) << small;
        GifFrame noEnd{small};
        noEnd.endCode = false;
        QTest::newRow("no end code, every pixel there")
            << gifwriter::encode(40, 30, {noEnd}) << small;
        GifFile extensions;
        static const char blocks[] = "\x21\xFE\x05hello\x00"                    // comment
                                     "\x21\x99\x03\x01\x02\x03\x02\x04\x05\x00" // unknown
                                     "\x21\x01\x0C"                             // plain text
                                     "\x00\x00\x00\x00\x08\x00\x08\x00\x08\x08\x01\x00"
                                     "\x02hi\x00";
        extensions.beforeFrames = QByteArray(blocks, sizeof(blocks) - 1);
        QTest::newRow("extensions before the frame")
            << gifwriter::encode(40, 30, {{small}}, extensions) << small;
        GifFile noTrailer;
        noTrailer.trailer = false;
        QTest::newRow("no trailer") << gifwriter::encode(40, 30, {{small}}, noTrailer) << small;
        GifFrame broken{small};
        broken.declaredCodeSize = 12;
        broken.codedPixels = 5;
        QTest::newRow("a damaged second frame")
            << gifwriter::encode(40, 30, {{small}, broken}) << small;
        QTest::newRow("cut in the second frame")
            << gifwriter::encode(40, 30, {{small}, {small}}).chopped(500) << small;
        // A code for the string being defined (KwKwK): 1, then "1 1" for three pixels.
        QImage ones(3, 1, QImage::Format_Indexed8);
        ones.setColorTable({kA, kB, kC, kD});
        ones.fill(1);
        GifFrame kwkwk{ones};
        kwkwk.codeSize = 2;
        kwkwk.tableBits = 2;
        kwkwk.codes = {4, 1, 6, 5};
        QTest::newRow("code defined by its own use") << gifwriter::encode(3, 1, {kwkwk}) << ones;
    }
    void decodesTheFrame() {
        QFETCH(QByteArray, bytes);
        QFETCH(QImage, frame);
        GifDecoder gif;
        QVERIFY2(decode(bytes, gif), qPrintable(gif.error()));
        QCOMPARE(gif.frameRect(), QRect(QPoint(0, 0), frame.size()));
        const QString difference = indexDifference(gif, frame);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
    }

    // The picture as it has been shown so far: the screen's size, the frame where the file puts
    // it, nothing where it does not reach, and the colours of the table that applies.
    void rendersThePicture_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QPoint>("at");         // where the frame's top left pixel shows
        QTest::addColumn<QList<QRgb>>("shown"); // the colour shown for indices 0 to 3
        QTest::addColumn<bool>("alpha");
        const QList<QRgb> table{kA, kB, kC, kD};
        const QImage frame = diagonal(5, 4, table);
        auto at = [&](int left, int top) {
            GifFrame f{frame};
            f.left = left;
            f.top = top;
            return f;
        };
        const QList<QRgb> opaque{kA, kB, kC, kD};
        QTest::newRow("frame covers the screen")
            << gifwriter::encode(5, 4, {{frame}}) << QSize(5, 4) << QPoint(0, 0) << opaque << false;
        QTest::newRow("frame inside the screen")
            << gifwriter::encode(9, 7, {at(2, 1)}) << QSize(9, 7) << QPoint(2, 1) << opaque << true;
        QTest::newRow("frame partly off the screen")
            << gifwriter::encode(7, 6, {at(4, 3)}) << QSize(7, 6) << QPoint(4, 3) << opaque << true;
        QTest::newRow("frame larger than the screen")
            << gifwriter::encode(3, 2, {{frame}}) << QSize(3, 2) << QPoint(0, 0) << opaque << false;
        QTest::newRow("frame larger and shifted")
            << gifwriter::encode(3, 2, {at(1, 1)}) << QSize(3, 2) << QPoint(1, 1) << opaque << true;
        QTest::newRow("frame off the screen") << gifwriter::encode(6, 5, {at(10, 10)})
                                              << QSize(6, 5) << QPoint(10, 10) << opaque << true;
        QTest::newRow("screen 0 x 0")
            << gifwriter::encode(0, 0, {{frame}}) << QSize(5, 4) << QPoint(0, 0) << opaque << false;
        QTest::newRow("screen 0 x 0, frame shifted")
            << gifwriter::encode(0, 0, {at(2, 1)}) << QSize(7, 5) << QPoint(2, 1) << opaque << true;
        QTest::newRow("screen 9 x 0, frame shifted")
            << gifwriter::encode(9, 0, {at(2, 1)}) << QSize(9, 5) << QPoint(2, 1) << opaque << true;
        GifFrame clear{frame, 2};
        QTest::newRow("transparent index")
            << gifwriter::encode(5, 4, {clear}) << QSize(5, 4) << QPoint(0, 0)
            << QList<QRgb>{kA, kB, kC & 0x00FFFFFF, kD} << true;
        GifFrame global{frame};
        global.tableBits = 0;
        GifFile globalTable;
        globalTable.globalTable = {kD, kC, kB, kA};
        QTest::newRow("global table")
            << gifwriter::encode(5, 4, {global}, globalTable) << QSize(5, 4) << QPoint(0, 0)
            << QList<QRgb>{kD, kC, kB, kA} << false;
        GifFrame shortTable{frame};
        shortTable.tableBits = 1;
        QTest::newRow("indices past the table")
            << gifwriter::encode(5, 4, {shortTable}) << QSize(5, 4) << QPoint(0, 0)
            << QList<QRgb>{kA, kB, 0xFFFFFFFF, 0xFFFFFFFF} << false;
        shortTable.transparentIndex = 0;
        QTest::newRow("indices past the table, transparent index")
            << gifwriter::encode(5, 4, {shortTable}) << QSize(5, 4) << QPoint(0, 0)
            << QList<QRgb>{kA & 0x00FFFFFF, kB, 0x00FFFFFF, 0x00FFFFFF} << true;
        QTest::newRow("no table") << gifwriter::encode(5, 4, {global}) << QSize(5, 4)
                                  << QPoint(0, 0)
                                  << QList<QRgb>{0xFF000000, 0xFF000000, 0xFF000000, 0xFFFFFFFF}
                                  << false;
        // Only the last graphic control before the frame counts.
        GifFile earlier;
        earlier.beforeFrames = QByteArray("\x21\xF9\x04\x01\x00\x00\x01\x00", 8);
        QTest::newRow("graphic control overridden")
            << gifwriter::encode(5, 4, {{frame}}, earlier) << QSize(5, 4) << QPoint(0, 0) << opaque
            << false;
    }
    void rendersThePicture() {
        QFETCH(QByteArray, bytes);
        QFETCH(QSize, size);
        QFETCH(QPoint, at);
        QFETCH(QList<QRgb>, shown);
        QFETCH(bool, alpha);
        GifDecoder gif;
        QVERIFY2(decode(bytes, gif), qPrintable(gif.error()));
        QCOMPARE(gif.size(), size);
        QCOMPARE(gif.hasAlpha(), alpha);
        QImage expected(size, QImage::Format_ARGB32);
        expected.fill(kNone);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 5; ++x)
                if (expected.rect().contains(at + QPoint(x, y)))
                    expected.setPixel(at + QPoint(x, y), shown[(x + y) % 4]);
        for (int band : {1, 3, size.height()}) {
            const QString difference = pixelDifference(render(gif, band), expected);
            QVERIFY2(difference.isEmpty(),
                     qPrintable(QStringLiteral("bands of %1: %2").arg(band).arg(difference)));
        }
    }

    // Every way a pixel could go missing, be made up or be garbled is refused, with its cause.
    void refusesDamage_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("cause");
        const QImage image = frameImage(40, 30);
        const QByteArray intact = gifwriter::encode(40, 30, {{image}});
        const QString fileEnds = QStringLiteral("the file ends before the picture does");
        const QString dataEnds = QStringLiteral("the data ends before the picture does");
        const QString damaged = QStringLiteral("the data is damaged");
        for (bool interlaced : {false, true})
            for (bool compress : {false, true})
                for (int missing : {1, 40, 1199}) {
                    GifFrame frame{image};
                    frame.interlaced = interlaced;
                    frame.compress = compress;
                    frame.codedPixels = 1200 - missing;
                    QTest::addRow("%d pixel(s) short%s%s", missing,
                                  interlaced ? ", interlaced" : "", compress ? ", compressed" : "")
                        << gifwriter::encode(40, 30, {frame}) << dataEnds;
                }
        GifFrame noEnd{image};
        noEnd.codedPixels = 1199;
        noEnd.endCode = false;
        QTest::newRow("data stops a pixel short") << gifwriter::encode(40, 30, {noEnd}) << dataEnds;
        for (int size : {0, 12, 255}) {
            GifFrame frame{image};
            frame.declaredCodeSize = size;
            QTest::addRow("code size %d", size)
                << gifwriter::encode(40, 30, {frame}) << QStringLiteral("code size %1").arg(size);
        }
        for (bool compress : {false, true})
            for (int at : {0, 1, 600, 1199}) {
                GifFrame frame{image};
                frame.compress = compress;
                frame.undefinedCodeAt = at;
                QTest::addRow("undefined code at pixel %d%s", at, compress ? ", compressed" : "")
                    << gifwriter::encode(40, 30, {frame}) << damaged;
            }
        QImage three(3, 1, QImage::Format_Indexed8);
        three.setColorTable({kA, kB, kC, kD});
        three.fill(1);
        GifFrame kwkwkFirst{three};
        kwkwkFirst.codeSize = 2;
        kwkwkFirst.tableBits = 2;
        kwkwkFirst.codes = {4, 6, 1, 1};
        QTest::newRow("next code right after a clear")
            << gifwriter::encode(3, 1, {kwkwkFirst}) << damaged;
        // Cut at each part of the file before the frame's data is over.
        GifFrame withLocal{image};
        GifFile global;
        global.globalTable = image.colorTable();
        const QByteArray both = gifwriter::encode(40, 30, {withLocal}, global);
        QTest::newRow("empty") << QByteArray() << fileEnds;
        QTest::newRow("cut in the screen descriptor") << intact.left(9) << fileEnds;
        QTest::newRow("cut in the global table") << both.left(13 + 400) << fileEnds;
        QTest::newRow("cut in the graphic control") << intact.left(16) << fileEnds;
        QTest::newRow("cut in the frame descriptor") << intact.left(25) << fileEnds;
        QTest::newRow("cut in the local table") << intact.left(32 + 300) << fileEnds;
        QTest::newRow("cut before the code size") << intact.left(31 + 768) << fileEnds;
        QTest::newRow("cut in the data") << intact.left(intact.size() / 2) << fileEnds;
        QTest::newRow("cut before the last block") << intact.chopped(3) << fileEnds;
        QTest::newRow("cut before the terminator") << intact.chopped(2) << fileEnds;
        GifFrame after{image};
        after.afterEnd = QByteArray(600, char(0xA5));
        QTest::newRow("cut in the data after the end code")
            << gifwriter::encode(40, 30, {after}).chopped(100) << fileEnds;
        QTest::newRow("no frame") << intact.left(13) + ';' << "holds no picture";
        QTest::newRow("unknown block") << intact.left(13) + '\x42' + intact.mid(13) << damaged;
        QTest::newRow("not a GIF") << QByteArray("GIF90a") + intact.mid(6) << "not a GIF";
        QByteArray zeroWide = intact;
        zeroWide[26] = 0; // the frame descriptor's width
        zeroWide[27] = 0;
        QTest::newRow("frame 0 wide") << zeroWide << "has no pixels";
    }
    void refusesDamage() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, cause);
        GifDecoder gif;
        QVERIFY(!decode(bytes, gif));
        QVERIFY2(gif.error().contains(cause), qPrintable(gif.error()));
        QVERIFY(!gif.error().contains(u'\n'));
    }

    // Sizes are looked at before anything is allocated for them; a file far too small to hold
    // its pixels costs no more memory than the pixels it does hold.
    void limits_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("cause"); // empty: accepted
        const QImage one = frameImage(1, 1);
        QTest::newRow("screen 25000 x 10001")
            << gifwriter::encode(25000, 10001, {{one}})
            << "it is 25000 x 10001 pixels, more than the 250 megapixels that can be read";
        QTest::newRow("screen 25000 x 10000")
            << gifwriter::encode(25000, 10000, {{one}}) << QString();
        QTest::newRow("frame 25000 x 10001")
            << gifwriter::encode(10, 10, {{one, -1, 25000, 10001}}) << "25000 x 10001 pixels";
        QTest::newRow("frame 25000 x 10000, its data one pixel")
            << gifwriter::encode(10, 10, {{one, -1, 25000, 10000}})
            << "the data ends before the picture does";
        GifFrame far{one, -1, 20000, 1};
        far.left = 0;
        far.top = 20000;
        QTest::newRow("screen 0 x 0 reaching 20000 x 20001")
            << gifwriter::encode(0, 0, {far}) << "20000 x 20001 pixels";
    }
    void limits() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, cause);
        GifDecoder gif;
        const bool read = decode(bytes, gif);
        QCOMPARE(read, cause.isEmpty());
        QVERIFY2(gif.error().contains(cause), qPrintable(gif.error()));
    }

    // A pipe gives what it has; the decoder reads ahead in blocks but never past the cap, which
    // it reads as the end of the file, and what follows the first frame changes nothing.
    void readsSequentiallyUpToTheFirstFrame_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<qint64>("cap");
        QTest::addColumn<qint64>("taken"); // how much the decoder may take
        QTest::addColumn<bool>("works");
        const QImage image = frameImage(50, 40);
        GifFile open;
        open.trailer = false;
        const QByteArray first = gifwriter::encode(50, 40, {compressed(image)}, open);
        const QByteArray later = first + QByteArray("\x21\xF9\x04\x00\x00\x00\x00\x00\x2C", 9) +
                                 QByteArray(5000, char(0xFF));
        QTest::newRow("later frames left")
            << later << qint64(1 << 30) << qint64(later.size()) << true;
        QTest::newRow("cap at the frame's end")
            << later << qint64(first.size()) << qint64(first.size()) << true;
        QTest::newRow("cap a byte short")
            << later << qint64(first.size() - 1) << qint64(first.size() - 1) << false;
        QTest::newRow("cap in the header") << later << qint64(10) << qint64(10) << false;
    }
    void readsSequentiallyUpToTheFirstFrame() {
        QFETCH(QByteArray, bytes);
        QFETCH(qint64, cap);
        QFETCH(qint64, taken);
        QFETCH(bool, works);
        TrickleDevice device(bytes);
        GifDecoder gif;
        QCOMPARE(gif.read(device, cap), works);
        QVERIFY(device.taken() <= taken);
        if (!works)
            QVERIFY2(gif.error().contains("ends before"), qPrintable(gif.error()));
        else if (cap < bytes.size())
            QCOMPARE(device.taken(), taken);
    }

    // The whole-picture road gives what the bands give, in the format the alpha calls for, and
    // a refusal as the usual failure line.
    void openAsPictureUsesTheDecoder_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("error"); // the part after the path; empty: it works
        const QImage image = frameImage(64, 48);
        GifFrame interlaced = compressed(image);
        interlaced.interlaced = true;
        QTest::newRow("interlaced") << gifwriter::encode(64, 48, {interlaced}) << QString();
        QTest::newRow("on a larger screen")
            << gifwriter::encode(80, 60, {{image, 3, 0, 0, 9, 5}}) << QString();
        GifFrame cut{image};
        cut.codedPixels = 64 * 48 - 1;
        QTest::newRow("a pixel short")
            << gifwriter::encode(64, 48, {cut}) << "the data ends before the picture does";
    }
    void openAsPictureUsesTheDecoder() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, error);
        QTemporaryDir dir;
        const QString path = dir.filePath("p.gif");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();
        const picture::DecodedPicture picture = picture::openAsPicture(path);
        if (!error.isEmpty()) {
            QVERIFY(picture.image.isNull());
            QCOMPARE(picture.error, QStringLiteral("Could not read the picture %1: %2")
                                        .arg(QDir::toNativeSeparators(path), error));
            return;
        }
        GifDecoder gif;
        QVERIFY(decode(bytes, gif));
        QVERIFY2(!picture.image.isNull(), qPrintable(picture.error));
        QCOMPARE(picture.image.format(),
                 gif.hasAlpha() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
        const QString difference =
            pixelDifference(picture.image.convertToFormat(QImage::Format_ARGB32), render(gif, 7));
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
    }
};

QTEST_GUILESS_MAIN(TestGifDecoder)
#include "tst_gifdecoder.moc"
