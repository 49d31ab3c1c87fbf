// SPDX-License-Identifier: MIT
// Runs that are stopped, killed, raced or fed what is not a picture file. A folder that already
// holds an older puzzle and files of the user's own must afterwards hold exactly the older puzzle
// or exactly the new one (as a run without trouble writes it), plus the user's files as they were,
// and nothing else.

#include "robustness.h"

#include "folder/stagedfolder.h"
#include "jpegfiles.h"
#include "platform/filetypes.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// 3000 x 2250 of noise over a gradient: a run long enough to be caught at many moments.
QImage largePicture() {
    QImage image = testpictures::gradient(3000, 2250);
    quint32 state = 7;
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            state = state * 1664525u + 1013904223u;
            line[x] ^= (state >> 24) & 0x1F1F1F;
        }
    }
    return image;
}

void restore(const QString& folder, const robust::Snapshot& snapshot) {
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    for (auto it = snapshot.begin(); it != snapshot.end(); ++it) {
        const QString path = folder + "/" + it.key();
        if (it.value() == "<folder>")
            QDir().mkpath(path);
        else
            testpictures::writeFile(path, it.value());
    }
}

QString describe(const robust::Snapshot& now, const robust::Snapshot& older,
                 const robust::Snapshot& newer) {
    return QStringLiteral("neither the older puzzle (%1) nor the new one (%2)")
        .arg(robust::snapshotDifference(older, now), robust::snapshotDifference(newer, now));
}

} // namespace

class TestInterruptions : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_picture;
    QString m_folder;
    robust::Snapshot m_older; // the folder before a run
    robust::Snapshot m_newer; // the folder after a 9x9 run without trouble
    int m_endedOlder = 0, m_endedNewer = 0;

    QStringList args(int n, const QString& picture) const {
        return robust::commandArgs(n, picture, m_folder);
    }

    // A 9x9 run over the older puzzle, sent `signal` after `delayMs`, to its end.
    void signalledRun(QProcess& process, int signal, int delayMs) {
        restore(m_folder, m_older);
        process.start(TILEMAVEN_BINARY, args(9, m_picture));
        QVERIFY(process.waitForStarted());
        QThread::msleep(ulong(delayMs));
        ::kill(pid_t(process.processId()), signal);
        QVERIFY(process.waitForFinished(60000));
    }

    // The new 9x9 puzzle over the older state, made by a run without trouble.
    robust::Snapshot cleanRun(int n) {
        restore(m_folder, m_older);
        const robust::CommandRun run = robust::runCommand(TILEMAVEN_BINARY, args(n, m_picture));
        if (run.status != 0)
            qWarning("clean run: %s", qPrintable(run.err));
        return robust::snapshot(m_folder);
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        platform::InitFileTypes();
        m_picture = testpictures::saveJpeg(largePicture(), m_dir.filePath("large.jpg"), 90);
        QVERIFY(!m_picture.isEmpty());
        m_folder = m_dir.filePath("puzzle");
        QVERIFY(QDir().mkpath(m_folder + "/photos"));
        const QString older =
            testpictures::saveJpeg(testpictures::gradient(500, 400), m_dir.filePath("older.jpg"));
        QCOMPARE(robust::runCommand(TILEMAVEN_BINARY, args(5, older)).status, 0);
        QVERIFY(testpictures::writeFile(m_folder + "/notes.txt", "the user's notes"));
        QVERIFY(testpictures::writeFile(m_folder + "/photos/beach.jpg", "not really a photo"));
        m_older = robust::snapshot(m_folder);
        m_newer = cleanRun(9);
        QVERIFY(m_newer != m_older);
        QVERIFY(m_newer.contains("Image80.jpg"));
    }

    // SIGINT, SIGTERM and SIGHUP at many moments of a run: the process ends by that signal, and
    // the folder holds the older puzzle, or the new one when the signal came during the moves.
    void stoppedBySignal_data() {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("delayMs");
        for (const auto& [signal, name] :
             {std::pair{SIGINT, "SIGINT"}, std::pair{SIGTERM, "SIGTERM"},
              std::pair{SIGHUP, "SIGHUP"}})
            for (int delay = 0; delay <= 400; delay += 40)
                QTest::addRow("%s after %d ms", name, delay) << signal << delay;
    }
    void stoppedBySignal() {
        QFETCH(int, signal);
        QFETCH(int, delayMs);
        QProcess process;
        signalledRun(process, signal, delayMs);
        if (QTest::currentTestFailed())
            return;
        // Stopped before the end, it ends by the signal; a run that had finished may exit 0.
        QVERIFY2(process.exitStatus() == QProcess::CrashExit || process.exitCode() == 0,
                 qPrintable(process.readAllStandardError()));
        const robust::Snapshot now = robust::snapshot(m_folder);
        QVERIFY2(now == m_older || now == m_newer, qPrintable(describe(now, m_older, m_newer)));
        ++(now == m_older ? m_endedOlder : m_endedNewer);
    }

    void cleanupTestCase() {
        qInfo("stopped and killed runs: %d left the older puzzle, %d the new one", m_endedOlder,
              m_endedNewer);
    }

    // A run killed outright may leave its hidden files; the next run into the folder finds them
    // and, before anything else, makes the folder hold exactly one of the two puzzles again.
    void killedOutright_data() {
        QTest::addColumn<int>("delayMs");
        for (int delay = 0; delay <= 400; delay += 25)
            QTest::addRow("after %d ms", delay) << delay;
    }
    void killedOutright() {
        QFETCH(int, delayMs);
        QProcess process;
        signalledRun(process, SIGKILL, delayMs);
        if (QTest::currentTestFailed())
            return;
        // The user's own files are never touched, even by a run that dies.
        const robust::Snapshot killed = robust::snapshot(m_folder);
        QCOMPARE(killed.value("notes.txt"), m_older.value("notes.txt"));
        QCOMPARE(killed.value("photos/beach.jpg"), m_older.value("photos/beach.jpg"));
        { folder::StagedFolder next(m_folder); }
        const robust::Snapshot now = robust::snapshot(m_folder);
        QVERIFY2(now == m_older || now == m_newer, qPrintable(describe(now, m_older, m_newer)));
        ++(now == m_older ? m_endedOlder : m_endedNewer);
    }

    // Two runs into one folder at once: the second waits for the first, both succeed, and the
    // folder holds all of the one that came last, none of it mixed with the other.
    void twoRunsAtOnce() {
        const robust::Snapshot newer3 = cleanRun(3);
        for (int round = 0; round < 6; ++round) {
            restore(m_folder, m_older);
            QProcess big, small;
            big.start(TILEMAVEN_BINARY, args(9, m_picture));
            small.start(TILEMAVEN_BINARY, args(3, m_picture));
            QVERIFY(big.waitForFinished(60000) && small.waitForFinished(60000));
            QCOMPARE(big.exitCode(), 0);
            QCOMPARE(small.exitCode(), 0);
            const robust::Snapshot now = robust::snapshot(m_folder);
            // 3x3 last: its files over the 9x9 puzzle, whose higher pieces stay.
            robust::Snapshot smallLast = m_newer;
            QStringList written{QStringLiteral("white.jpg"), QStringLiteral("index.html")};
            for (int k = 0; k < 9; ++k)
                written << QStringLiteral("Image%1.jpg").arg(k);
            for (const QString& name : written)
                smallLast.insert(name, newer3.value(name));
            QVERIFY2(now == m_newer || now == smallLast,
                     qPrintable(QStringLiteral("round %1: %2")
                                    .arg(round)
                                    .arg(describe(now, smallLast, m_newer))));
        }
    }

    // A run that made the folder and fails takes it away again while other runs into it wait for
    // its lock: they make it again and succeed.
    void failedRunThatMadeTheFolder() {
        const QByteArray good = testpictures::contents(m_picture);
        const QString damaged = m_dir.filePath("damaged.jpg");
        QVERIFY(
            testpictures::writeFile(damaged, jpegfiles::damaged(good, good.size() * 19 / 20, 64)));
        for (int round = 0; round < 3; ++round) {
            const QString folder = m_dir.filePath(QStringLiteral("made-%1/puzzle").arg(round));
            QProcess first, others[4];
            first.start(TILEMAVEN_BINARY, robust::commandArgs(9, damaged, folder));
            for (int waited = 0; !QFileInfo(folder).isDir() && waited < 20000; ++waited)
                QThread::msleep(1);
            for (QProcess& other : others)
                other.start(TILEMAVEN_BINARY, robust::commandArgs(3, m_picture, folder));
            QVERIFY(first.waitForFinished(60000) && first.exitCode() == 1);
            for (QProcess& other : others)
                QVERIFY2(other.waitForFinished(60000) && other.exitCode() == 0,
                         other.readAllStandardError().constData());
        }
    }

    // What is not a regular file is refused at once, through both roads, before a folder is
    // asked for or made; nothing is read from it.
    void notAPictureFile_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("cause");
        QTest::newRow("/dev/zero") << "device"
                                   << "device";
        QTest::newRow("a pipe") << "pipe"
                                << "pipe";
        QTest::newRow("a FIFO with a writer") << "fifo"
                                              << "pipe";
        QTest::newRow("a folder") << "folder"
                                  << "folder";
    }
    void notAPictureFile() {
        QFETCH(QString, kind);
        QFETCH(QString, cause);
        const QString folder = m_dir.filePath("never-made");
        QString picture;
        int writer = -1;
        int pipeFds[2] = {-1, -1};
        const auto closeAll = qScopeGuard([&] {
            for (int fd : {writer, pipeFds[0], pipeFds[1]})
                if (fd >= 0)
                    ::close(fd);
        });
        if (kind == "device") {
            picture = QStringLiteral("/dev/zero");
        } else if (kind == "pipe") {
            QCOMPARE(pipe(pipeFds), 0);
            QCOMPARE(fcntl(pipeFds[1], F_SETFL, O_NONBLOCK), 0);
            (void)!::write(pipeFds[1], "\xFF\xD8\xFF", 3);
            // The child inherits no descriptor of ours but reaches the pipe through /proc.
            picture = QStringLiteral("/proc/%1/fd/%2").arg(getpid()).arg(pipeFds[0]);
        } else if (kind == "fifo") {
            picture = m_dir.filePath("fifo.jpg");
            QFile::remove(picture);
            QCOMPARE(mkfifo(QFile::encodeName(picture).constData(), 0644), 0);
            // Holding it open for writing (and reading, so that the open does not wait) gives
            // the FIFO a writer that never writes.
            writer = ::open(QFile::encodeName(picture).constData(), O_RDWR);
            QVERIFY(writer >= 0);
        } else {
            picture = m_dir.filePath("a-folder.jpg");
            QVERIFY(QDir().mkpath(picture));
        }

        const robust::CommandRun run = robust::runCommand(TILEMAVEN_BINARY, args(3, picture));
        const QString commandProblem = robust::failedCommandProblem(run, cause);
        QVERIFY2(commandProblem.isEmpty(), qPrintable(commandProblem));
        QVERIFY(!QFileInfo::exists(folder));

        const FakeInteraction ui = robust::runWindow(3, picture, folder);
        QVERIFY2(!ui.events.contains("folder"), qPrintable(ui.events.join(" | ")));
        const QString windowProblem = robust::failedRunProblem(ui.events, cause);
        QVERIFY2(windowProblem.isEmpty(), qPrintable(windowProblem));
    }

    // Too little memory even for the encoders' threads ends in the failure, not an abort.
    void tooLittleMemory() {
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("AddressSanitizer reserves more address space than the limit");
#endif
        restore(m_folder, m_older);
        const robust::CommandRun run = robust::runCommand(
            QStringLiteral("bash"),
            QStringList{QStringLiteral("-c"), QStringLiteral("ulimit -v 80000; exec \"$0\" \"$@\""),
                        QStringLiteral(TILEMAVEN_BINARY)} +
                args(9, m_picture));
        QVERIFY2(run.status == 0 || run.status == 1, qPrintable(run.err));
        if (run.status == 1) {
            const QString problem = robust::failedCommandProblem(run, QStringLiteral("memory"));
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
        }
        const robust::Snapshot now = robust::snapshot(m_folder);
        QVERIFY2(now == m_older || now == m_newer, qPrintable(describe(now, m_older, m_newer)));
    }
};

QTEST_GUILESS_MAIN(TestInterruptions)
#include "tst_interruptions.moc"
