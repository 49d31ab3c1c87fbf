// SPDX-License-Identifier: MIT
// The banded JPEG decoder: what it decodes, what it refuses, and which files it leaves to the
// whole-picture decoder.
#include "jpegfiles.h"
#include "picture/jpegsource.h"
#include "picture/picturesource.h"
#include "testpictures.h"

#include "gifwriter.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace picture;
using namespace jpegfiles;

namespace {

enum class Expect { Works, FailsAtOpen, FailsWhileReading };

// Reads the whole picture through the source in bands of uneven heights.
bool readAll(Source& source, QImage& picture, QString& error) {
    const QSize size = source.size();
    picture = QImage(size, QImage::Format_RGB32);
    static constexpr int kHeights[] = {1, 7, 16, 33, 250};
    int y = 0;
    for (int i = 0; y < size.height(); ++i) {
        const int rows = std::min(kHeights[i % 5], size.height() - y);
        QImage band;
        if (!source.nextRows(rows, band, error))
            return false;
        if (band.format() != QImage::Format_RGB32 || band.size() != QSize(size.width(), rows)) {
            error = QStringLiteral("band of the wrong shape");
            return false;
        }
        for (int r = 0; r < rows; ++r)
            std::memcpy(picture.scanLine(y + r), band.constScanLine(r),
                        std::size_t(size.width()) * 4);
        y += rows;
    }
    return true;
}

} // namespace

Q_DECLARE_METATYPE(picture::JpegVerdict)

class TestJpegSource : public QObject {
    Q_OBJECT

    QTemporaryDir m_tmp;
    int m_files = 0;

    QString file(const QByteArray& bytes) {
        const QString path = m_tmp.filePath(QStringLiteral("picture%1.jpg").arg(m_files++));
        return testpictures::writeFile(path, bytes) ? path : QString();
    }

private slots:
    void initTestCase() { QVERIFY(m_tmp.isValid()); }

    void bandsMatchTheFrameworkDecoder_data() {
        QTest::addColumn<QByteArray>("jpeg");
        const QImage odd = photo(641, 479);
        QTest::newRow("baseline 641x479") << qtJpeg(odd);
        QTest::newRow("progressive 641x479") << qtJpeg(odd, true);
        QTest::newRow("one column") << qtJpeg(photo(1, 300));
        QTest::newRow("one row") << qtJpeg(photo(300, 1));
        QTest::newRow("narrow and tall") << qtJpeg(photo(37, 2003));
        QTest::newRow("grey") << libjpegFile(odd, {.grey = true});
        QTest::newRow("4:4:4") << libjpegFile(odd, {.lumaH = 1, .lumaV = 1});
        QTest::newRow("4:2:2") << libjpegFile(odd, {.lumaH = 2, .lumaV = 1});
        QTest::newRow("restart markers") << libjpegFile(odd, {.restartRows = 2});
        QTest::newRow("upright EXIF") << withApp1(qtJpeg(odd), orientationSegment(1));
        QTest::newRow("XMP, not EXIF") << withApp1(qtJpeg(odd), "http://ns.adobe.com/xap/1.0/\0x");
        QTest::newRow("no end marker") << qtJpeg(odd).chopped(2);
    }
    void bandsMatchTheFrameworkDecoder() {
        QFETCH(QByteArray, jpeg);
        const QString path = file(jpeg);
        JpegOpening opening = openJpegSource(path);
        QCOMPARE(opening.verdict, JpegVerdict::Banded);
        const QImage expected = testpictures::read(path);
        QCOMPARE(opening.source->size(), expected.size());
        QImage decoded;
        QString error;
        QVERIFY2(readAll(*opening.source, decoded, error), qPrintable(error));
        QVERIFY(testpictures::maxDifference(decoded, expected) <= 1);
        // Nothing is left to read.
        QImage band;
        QVERIFY(!opening.source->nextRows(1, band, error));
    }

    void decodesIntoTheCallersMemory() {
        const QString path = file(qtJpeg(photo(300, 200)));
        JpegOpening opening = openJpegSource(path);
        QCOMPARE(opening.verdict, JpegVerdict::Banded);
        std::vector<uchar> memory(300 * 4 * 20);
        QImage band(memory.data(), 300, 20, 300 * 4, QImage::Format_RGB32);
        QString error;
        QVERIFY(opening.source->nextRows(20, band, error));
        QCOMPARE(band.constBits(), memory.data());
        QVERIFY(testpictures::maxDifference(band, testpictures::read(path).copy(0, 0, 300, 20)) <=
                1);
    }

    void damagedFiles_data() {
        QTest::addColumn<QByteArray>("jpeg");
        QTest::addColumn<Expect>("expect");
        const QByteArray good = qtJpeg(photo(400, 300));
        const qsizetype scan = scanStart(good);
        QVERIFY(scan > 0);
        const qsizetype data = good.size() - 2 - scan;
        QTest::newRow("cut in the header") << good.left(scan - 20) << Expect::FailsAtOpen;
        QTest::newRow("cut at a tenth of the scan")
            << good.left(scan + data / 10) << Expect::FailsAtOpen;
        QTest::newRow("cut near the end of the scan")
            << good.left(scan + data - 40) << Expect::FailsAtOpen;
        QTest::newRow("only the end marker missing") << good.chopped(2) << Expect::Works;
        const QByteArray progressive = qtJpeg(photo(400, 300), true);
        QTest::newRow("progressive without its end marker")
            << progressive.chopped(2) << Expect::Works;
        // Entropy-coded data never holds 0xFF 0xDA, so this is where the last scan starts.
        const qsizetype lastScan = progressive.lastIndexOf(QByteArray("\xFF\xDA", 2));
        QTest::newRow("progressive cut before its last scan")
            << progressive.left(lastScan) << Expect::FailsAtOpen;
        QTest::newRow("progressive cut short")
            << progressive.left(progressive.size() * 2 / 3) << Expect::FailsAtOpen;
        QTest::newRow("corrupt in the middle")
            << damaged(good, scan + data / 2, 64) << Expect::FailsWhileReading;
        QByteArray twelveBit = good;
        twelveBit[precisionByte(good)] = 12;
        QTest::newRow("12-bit") << twelveBit << Expect::FailsAtOpen;
        QByteArray huge = good;
        const qsizetype sof = precisionByte(good);
        for (int i : {1, 2, 3, 4})
            huge[sof + i] = char(i % 2 ? 0xFD : 0xE8); // 65000 x 65000
        QTest::newRow("header claims 65000 x 65000") << huge << Expect::FailsAtOpen;
    }
    void damagedFiles() {
        QFETCH(QByteArray, jpeg);
        QFETCH(Expect, expect);
        const QString path = file(jpeg);
        JpegOpening opening = openJpegSource(path);
        if (expect == Expect::FailsAtOpen) {
            QCOMPARE(opening.verdict, JpegVerdict::Failed);
            QVERIFY(opening.error.contains(QDir::toNativeSeparators(path)));
            return;
        }
        QCOMPARE(opening.verdict, JpegVerdict::Banded);
        QImage decoded;
        QString error;
        const bool read = readAll(*opening.source, decoded, error);
        QCOMPARE(read, expect == Expect::Works);
        if (!read)
            QVERIFY(!error.isEmpty());
        // Asked to, the opening reads every row's data and finds the damage before any row.
        QCOMPARE(openJpegSource(path, true).verdict,
                 expect == Expect::Works ? JpegVerdict::Banded : JpegVerdict::Failed);
    }

    // Every JPEG is read band by band, as stored, with the turn a viewer gives it; other content
    // is left to the other decoders.
    void howFilesAreOpened_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<JpegVerdict>("verdict");
        QTest::addColumn<int>("orientation");
        const QByteArray jpeg = qtJpeg(photo(120, 80));
        for (int o = 2; o <= 8; ++o)
            QTest::addRow("EXIF orientation %d", o)
                << withApp1(jpeg, orientationSegment(o)) << JpegVerdict::Banded << o;
        QTest::newRow("EXIF orientation 6, big-endian")
            << withApp1(jpeg, orientationSegment(6, true)) << JpegVerdict::Banded << 6;
        QTest::newRow("broken EXIF")
            << withApp1(jpeg, orientationSegment(6).left(20)) << JpegVerdict::Banded << 1;
        QTest::newRow("CMYK") << libjpegFile(photo(120, 80), {.cmyk = true}) << JpegVerdict::Banded
                              << 1;
        QImage gif(60, 40, QImage::Format_RGB32);
        gif.fill(Qt::red);
        QTest::newRow("GIF") << gifwriter::encode(60, 40, {GifFrame{gif}})
                             << JpegVerdict::WholePicture << 1;
        QTest::newRow("text") << QByteArray("not a picture") << JpegVerdict::WholePicture << 1;
        QTest::newRow("empty") << QByteArray() << JpegVerdict::WholePicture << 1;
    }
    void howFilesAreOpened() {
        QFETCH(QByteArray, bytes);
        QFETCH(JpegVerdict, verdict);
        QFETCH(int, orientation);
        const JpegOpening opening = openJpegSource(file(bytes));
        QCOMPARE(opening.verdict, verdict);
        QCOMPARE(bool(opening.source), verdict == JpegVerdict::Banded);
        if (verdict == JpegVerdict::Banded)
            QCOMPARE(exifValue(opening.orientation), orientation);
    }

    void exifOrientation_data() {
        QTest::addColumn<QByteArray>("segment");
        QTest::addColumn<int>("orientation");
        for (int o = 1; o <= 8; ++o) {
            QTest::addRow("%d little-endian", o) << orientationSegment(o) << o;
            QTest::addRow("%d big-endian", o) << orientationSegment(o, true) << o;
        }
        const Entry make{0x010F, 2, 4, 0};
        QTest::newRow("none") << exifSegment({{make}}) << 0;
        QTest::newRow("no directories") << exifSegment({{}}) << 0;
        // The second directory is the thumbnail's: its orientation is not the picture's.
        QTest::newRow("in the second directory") << exifSegment({{make}, {{0x0112, 3, 1, 6}}}) << 0;
        QTest::newRow("the first of two")
            << exifSegment({{{0x0112, 3, 1, 3}, {0x0112, 3, 1, 6}}}) << 3;
        QTest::newRow("stored as a long") << exifSegment({{{0x0112, 4, 1, 6}}}) << -1;
        QTest::newRow("two values") << exifSegment({{{0x0112, 3, 2, 6}}}) << -1;
        QTest::newRow("zero") << orientationSegment(0) << -1;
        QTest::newRow("nine") << orientationSegment(9) << -1;
        const QByteArray whole = orientationSegment(6);
        QTest::newRow("cut inside the directory") << whole.left(whole.size() - 10) << -1;
        QTest::newRow("the link cut short") << whole.left(whole.size() - 2) << 6;
        QTest::newRow("no link") << whole.left(whole.size() - 4) << 6;
        QTest::newRow("only the header") << whole.left(14) << -1;
        QTest::newRow("not even that") << whole.left(9) << -1;
        QByteArray order = whole;
        order[6] = 'X';
        QTest::newRow("unknown byte order") << order << -1;
        QByteArray magic = whole;
        magic[8] = 43;
        QTest::newRow("not 42") << magic << -1;
        QByteArray far = whole;
        far[10] = char(0xF0);
        QTest::newRow("first directory past the end") << far << -1;
        QByteArray loop = exifSegment({{make}});
        loop[6 + 8 + 2 + 12] = 8; // the directory links back to itself
        QTest::newRow("a directory linking to itself") << loop << 0;
        QList<QList<Entry>> ten(10, QList<Entry>{make});
        ten.back() = {{0x0112, 3, 1, 8}};
        QTest::newRow("in the tenth directory") << exifSegment(ten) << 0;
    }
    void exifOrientation() {
        QFETCH(QByteArray, segment);
        QFETCH(int, orientation);
        QCOMPARE(
            picture::exifOrientation(reinterpret_cast<const unsigned char*>(segment.constData()),
                                     std::size_t(segment.size())),
            orientation);
    }

    // What decoding needs against what /proc/meminfo, covered in the child's own mount namespace
    // (74 MB, 10 MB to spare; or nothing said), has to spare: this machine's memory decides
    // nothing.
    void memoryNeeded_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("meminfo");
        QTest::addColumn<bool>("refused");
        const QImage large = photo(2000, 2000), plain = testpictures::gradient(1000, 1000);
        const QByteArray spare = "MemTotal: 8000000 kB\nMemAvailable: 72266 kB\n";
        const QByteArray progressive444 =
            libjpegFile(large, {.lumaH = 1, .lumaV = 1, .progressive = true});
        QTest::newRow("progressive 4:4:4, 24 MB") << progressive444 << spare << true;
        QTest::newRow("the same, nothing said")
            << progressive444 << QByteArray("MemTotal: 9 kB") << false;
        QTest::newRow("progressive 4:2:0, 12 MB")
            << libjpegFile(large, {.progressive = true}) << spare << true;
        QTest::newRow("progressive 4:2:0, 3 MB")
            << libjpegFile(photo(1000, 1000), {.progressive = true}) << spare << false;
        QTest::newRow("baseline 4:4:4, read in bands")
            << libjpegFile(large, {.lumaH = 1, .lumaV = 1}) << spare << false;
        QTest::newRow("GIF frame of 16 MB")
            << gifwriter::encode(
                   4000, 4000,
                   {GifFrame{.image = plain, .declaredWidth = 4000, .declaredHeight = 4000}})
            << spare << true;
        QTest::newRow("GIF frame of 1 MB")
            << gifwriter::encode(1000, 1000, {GifFrame{plain}}) << spare << false;
        // Small pictures of the other formats, with a kilobyte to spare: only those decoded whole.
        for (const char* name : {"grey-16-bit-interlaced.png", "plain.png", "lossy.webp",
                                 "plain.heic", "transparent.avif"})
            QTest::newRow(name) << testpictures::contents(TILEMAVEN_CORPUS_DIR "/" + QString(name))
                                << QByteArray("MemAvailable: 62501 kB")
                                << (qstrcmp(name, "plain.png") != 0);
    }
    void memoryNeeded() {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, meminfo);
        QFETCH(bool, refused);
        const QString path = file(bytes), fake = m_tmp.filePath("meminfo");
        QVERIFY(testpictures::writeFile(fake, meminfo));
        if (geteuid() != 0)
            QSKIP("needs root to cover /proc/meminfo");
        const pid_t child = fork();
        if (child == 0) {
            if (unshare(CLONE_NEWNS) != 0 ||
                mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount(QFile::encodeName(fake).constData(), "/proc/meminfo", nullptr, MS_BIND,
                      nullptr) != 0)
                _exit(3);
            QString error;
            const bool opened = openSource(path, error) != nullptr;
            const bool named = error.contains("only 10 MB can be spared (74 MB available") ||
                               error.contains("only 0 MB can be spared (64 MB available");
            _exit(opened ? 0 : named ? 1 : 2);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QCOMPARE(WIFEXITED(status) ? WEXITSTATUS(status) : -1, refused ? 1 : 0);
    }
};

QTEST_GUILESS_MAIN(TestJpegSource)
#include "tst_jpegsource.moc"
