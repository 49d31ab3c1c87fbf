// SPDX-License-Identifier: MIT
// What decoding a picture needs, known from its header, against what the machine has: a picture
// that cannot be had is refused at once, in one line naming both amounts.
#include "gifwriter.h"
#include "jpegfiles.h"
#include "picture/memoryneed.h"
#include "picture/picturesource.h"
#include "testpictures.h"

#include <QTemporaryDir>
#include <QTest>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray meminfo(qint64 availableKb) {
    return "MemTotal: 8000000 kB\nMemFree: 1000 kB\nMemAvailable:   " +
           QByteArray::number(availableKb) + " kB\nBuffers: 0 kB\n";
}

// A GIF whose frame says it is `side` pixels square; only the refused one is never decoded.
QByteArray gif(int side, int coded) {
    QImage image(coded, coded, QImage::Format_Indexed8);
    image.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
    image.fill(1);
    return gifwriter::encode(
        side, side, {GifFrame{.image = image, .declaredWidth = side, .declaredHeight = side}});
}

} // namespace

class TestMemoryNeed : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void shortfall_data() {
        QTest::addColumn<qint64>("needed");
        QTest::addColumn<QByteArray>("meminfo");
        QTest::addColumn<QString>("says"); // empty: not refused
        // 102.4 MB available, 38.4 MB of it to spare.
        const qint64 spare = 100'000 * 1024 - picture::kMemoryMargin;
        QTest::newRow("all there is") << spare << meminfo(100'000) << "";
        QTest::newRow("a byte more") << spare + 1 << meminfo(100'000)
                                     << "decoding it needs 39 MB of memory, but only 38 MB can be "
                                        "spared (102 MB available, less 64 MB for the rest";
        QTest::newRow("less than the margin")
            << qint64(1) << meminfo(1000) << "only 0 MB can be spared (1 MB available";
        QTest::newRow("nothing said") << qint64(1) << QByteArray("MemTotal: 1 kB\n") << "";
        QTest::newRow("not in kB") << qint64(1) << QByteArray("MemAvailable: 1 MB\n") << "";
    }
    void shortfall() {
        QFETCH(qint64, needed);
        QFETCH(QByteArray, meminfo);
        QFETCH(QString, says);
        const QString why = picture::memoryShortfall(needed, meminfo);
        QVERIFY2(says.isEmpty() ? why.isEmpty() : why.contains(says), qPrintable(why));
    }

    // Through the readers, with this machine's /proc/meminfo covered by one saying that 74 MB are
    // available, 10 MB to spare: what a picture needs, not how much memory this machine has,
    // decides.
    void readersRefuse_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("refused");
        using jpegfiles::libjpegFile;
        const QImage large = jpegfiles::photo(2000, 2000), small = jpegfiles::photo(1000, 1000);
        QTest::newRow("progressive 4:4:4, 24 MB of coefficients")
            << libjpegFile(large, {.lumaH = 1, .lumaV = 1, .progressive = true}) << true;
        QTest::newRow("progressive 4:2:0, 12 MB")
            << libjpegFile(large, {.progressive = true}) << true;
        QTest::newRow("progressive 4:2:0, 3 MB")
            << libjpegFile(small, {.progressive = true}) << false;
        QTest::newRow("baseline 4:4:4, read in bands")
            << libjpegFile(large, {.lumaH = 1, .lumaV = 1}) << false;
        QTest::newRow("GIF frame of 16 MB") << gif(4000, 10) << true;
        QTest::newRow("GIF frame of 1 MB") << gif(1000, 1000) << false;
    }
    void readersRefuse() {
        QFETCH(QByteArray, file);
        QFETCH(bool, refused);
        if (geteuid() != 0)
            QSKIP("needs root to cover /proc/meminfo in a mount namespace of its own");
        const QString path = m_dir.filePath(QTest::currentDataTag());
        const QString fake = m_dir.filePath("meminfo");
        QVERIFY(testpictures::writeFile(path, file) &&
                testpictures::writeFile(fake, meminfo(72'266)));
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            if (unshare(CLONE_NEWNS) != 0 ||
                mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount(QFile::encodeName(fake).constData(), "/proc/meminfo", nullptr, MS_BIND,
                      nullptr) != 0)
                _exit(3);
            QString error;
            const bool opened = picture::openSource(path, error) != nullptr;
            _exit(opened ? 0 : error.contains("only 10 MB can be spared (74 MB available") ? 1 : 2);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), refused ? 1 : 0);
    }
};

QTEST_GUILESS_MAIN(TestMemoryNeed)
#include "tst_memoryneed.moc"
