// SPDX-License-Identifier: MIT
// Faulty output folders, through the window's run and through the command line binary. Each
// folder already holds an older 5x5 puzzle and files of the user's own; a 3x3 puzzle is written
// into it while one fault is injected. A fault must end in the failure (message and cause, or
// exit status 1 and one line), never in "Done", and leave every file exactly as it was: no
// partial file under a final name, no temporary file, every older file intact byte for byte.

#include "robustness.h"

#include "puzzle/project.h"

#include <QPainter>
#include <QTemporaryDir>
#include <QTest>

#include <QScopeGuard>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum class Fault {
    None,
    DirectoryAtPiece,
    DirectoryAtBlank,
    DirectoryAtPage,
    FileAsFolder,
    FolderNotWritable,
    DiskFillsUp,
    // Entries that point outside the folder: the run succeeds and leaves what they point to alone.
    LinkToFileAtPage,
    LinkToFolderAtPiece,
    DanglingLinkAtBlank,
    // A name that cannot be replaced, found only when the files are moved into place.
    MountOverPiece,
    StickyFolderPieceOfAnotherUser,
    AppendOnlyFolder,
    FifoAtJournal, // refused at once, never waited on
};

bool linkFault(Fault fault) {
    return fault == Fault::LinkToFileAtPage || fault == Fault::LinkToFolderAtPiece ||
           fault == Fault::DanglingLinkAtBlank;
}

enum class Road { Window, CommandLine };

constexpr int kNobody = 65534;
constexpr int kFileLimitBlocks = 24; // of 1024 bytes, as `ulimit -f` counts them
// The first piece larger than the limit (see partwayPicture); the pieces before it fit.
const QString kFirstTooLarge = QStringLiteral("Image6.jpg");

// 900 x 900, smooth in its upper two thirds and noise in its lower third: at 3x3 the first six
// pieces are small and the last three far larger than the file size limit, so the disk "fills
// up" part-way through the pieces.
QImage partwayPicture() {
    QImage image = testpictures::gradient(900, 900);
    quint32 state = 99;
    for (int y = 600; y < 900; ++y)
        for (int x = 0; x < 900; ++x) {
            state = state * 1664525u + 1013904223u;
            image.setPixel(x, y, 0xFF000000u | (state >> 8));
        }
    return image;
}

bool becomeNobody() {
    return setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0;
}

constexpr int kOtherUser = 1; // "daemon" on Debian; any uid other than nobody's will do

// Root can replace any file; this also stands for a run by root where a mount hides a name.
bool mountOver(const QString& file, const QString& over) {
    return unshare(CLONE_NEWNS) == 0 &&
           mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount(QFile::encodeName(over).constData(), QFile::encodeName(file).constData(), nullptr,
                 MS_BIND, nullptr) == 0;
}

bool chownTo(const QString& path, int uid) {
    return ::chown(QFile::encodeName(path).constData(), uid_t(uid), gid_t(uid)) == 0;
}

bool limitFileSize() {
    std::signal(SIGXFSZ, SIG_IGN); // the write fails instead of killing the process
    const rlim_t bytes = rlim_t(kFileLimitBlocks) * 1024;
    const rlimit limit{bytes, bytes};
    return setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

} // namespace

Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(Road)

class TestFaultyFolders : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_picture;
    QString m_olderPicture;
    int m_cases = 0;
    int m_passed = 0;
    int m_faults = 0;
    int m_intact = 0;
    bool m_root = geteuid() == 0;

    // A folder with an older 5x5 puzzle, written by a real run, and the user's own files beside
    // and below it.
    QString olderPuzzleFolder(const QString& name) {
        const QString folder = m_dir.filePath(name);
        if (!QDir().mkpath(folder))
            return {};
        QString error;
        const auto source = picture::openSource(m_olderPicture, error);
        if (!source || !puzzle::writeProject(*source, puzzle::Grid::square(5), folder,
                                             QByteArray("older page"))
                            .ok)
            return {};
        const QDir dir(folder);
        dir.mkpath("photos/2019");
        testpictures::writeFile(dir.filePath("notes.txt"), "the user's notes");
        testpictures::writeFile(dir.filePath(".hidden"), "settings of some other program");
        testpictures::writeFile(dir.filePath("Image3.jpg.bak"), "a copy the user made");
        testpictures::writeFile(dir.filePath("photos/2019/beach.jpg"), "not really a photo");
        return folder;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        // Another user has to reach the picture and the folders.
        QVERIFY(QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                        QFile::ExeOwner | QFile::ReadOther |
                                                        QFile::ExeOther));
        platform::InitFileTypes();
        m_picture = testpictures::saveJpeg(partwayPicture(), m_dir.filePath("picture.jpg"));
        m_olderPicture =
            testpictures::saveJpeg(testpictures::gradient(500, 400), m_dir.filePath("older.jpg"));
        QVERIFY(!m_picture.isEmpty() && !m_olderPicture.isEmpty());

        // The picture does what the disk-full case needs of it: small pieces first, then large.
        const QString probe = m_dir.filePath("probe");
        QDir().mkpath(probe);
        QString error;
        const auto source = picture::openSource(m_picture, error);
        QVERIFY2(source, qPrintable(error));
        QVERIFY(
            puzzle::writeProject(*source, puzzle::Grid::square(3), probe, QByteArray("page")).ok);
        for (int k = 0; k < 9; ++k) {
            const qint64 size = QFileInfo(probe + QStringLiteral("/Image%1.jpg").arg(k)).size();
            QVERIFY2(k < 6 ? size < kFileLimitBlocks * 1024 : size > 2 * kFileLimitBlocks * 1024,
                     qPrintable(QStringLiteral("piece %1 has %2 bytes").arg(k).arg(size)));
        }
    }

    void cleanupTestCase() {
        platform::FileTypes::Release();
        qInfo("faulty folders: %d cases tried, %d passed; %d faults injected; %d files checked "
              "intact byte for byte",
              m_cases, m_passed, m_faults, m_intact);
    }

    void folder_data() {
        QTest::addColumn<Road>("road");
        QTest::addColumn<Fault>("fault");
        const std::pair<Fault, const char*> faults[] = {
            {Fault::None, "no fault"},
            {Fault::DirectoryAtPiece, "a folder at Image5.jpg"},
            {Fault::DirectoryAtBlank, "a folder at white.jpg"},
            {Fault::DirectoryAtPage, "a folder at index.html"},
            {Fault::FileAsFolder, "a regular file as the folder"},
            {Fault::FolderNotWritable, "a folder the user may not write"},
            {Fault::DiskFillsUp, "the disk fills up part-way"},
            {Fault::LinkToFileAtPage, "index.html links to a file elsewhere"},
            {Fault::LinkToFolderAtPiece, "Image5.jpg links to a folder elsewhere"},
            {Fault::DanglingLinkAtBlank, "white.jpg links to nothing elsewhere"},
            {Fault::MountOverPiece, "a mount over Image5.jpg"},
            {Fault::StickyFolderPieceOfAnotherUser, "a shared folder, Image5.jpg another's"},
            {Fault::AppendOnlyFolder, "an append-only folder"},
            {Fault::FifoAtJournal, "a FIFO at .tilemaven-journal"},
        };
        for (const auto& [road, roadName] :
             {std::pair{Road::Window, "window"}, std::pair{Road::CommandLine, "command line"}})
            for (const auto& [fault, faultName] : faults)
                QTest::addRow("%s: %s", roadName, faultName) << road << fault;
    }

    void folder() {
        QFETCH(Road, road);
        QFETCH(Fault, fault);
        ++m_cases;
        if (fault != Fault::None)
            ++m_faults;
        const bool needsRoot = fault == Fault::MountOverPiece ||
                               fault == Fault::StickyFolderPieceOfAnotherUser ||
                               fault == Fault::AppendOnlyFolder;
        if (needsRoot && !m_root)
            QSKIP("needs root");
        const QString name = QStringLiteral("case%1").arg(m_cases);
        const QString folder = olderPuzzleFolder(name);
        QVERIFY(!folder.isEmpty());
        const QDir dir(folder);

        // Inject the fault.
        QString target = folder; // what the user names as the folder
        QString cause;           // what the cause has to mention
        QString program = QStringLiteral(TILEMAVEN_BINARY);
        QStringList wrapper; // before the program's own arguments
        std::function<bool()> prepare;
        auto directoryAt = [&](const QString& file) {
            QFile::remove(dir.filePath(file));
            QVERIFY(dir.mkpath(file));
            QVERIFY(testpictures::writeFile(dir.filePath(file + "/inside.txt"), "kept"));
            cause = file;
        };
        switch (fault) {
        case Fault::None:
            break;
        case Fault::DirectoryAtPiece:
            directoryAt(QStringLiteral("Image5.jpg"));
            break;
        case Fault::DirectoryAtBlank:
            directoryAt(QStringLiteral("white.jpg"));
            break;
        case Fault::DirectoryAtPage:
            directoryAt(QStringLiteral("index.html"));
            break;
        case Fault::FileAsFolder:
            target = dir.filePath("notes.txt");
            cause = QStringLiteral("notes.txt");
            break;
        case Fault::FolderNotWritable:
            if (m_root) { // root writes anywhere: run as nobody, in a folder that is root's
                prepare = becomeNobody;
                wrapper = QStringList{QStringLiteral("--reuid=%1").arg(kNobody),
                                      QStringLiteral("--regid=%1").arg(kNobody),
                                      QStringLiteral("--clear-groups"), program};
                program = QStringLiteral("setpriv");
            } else {
                QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
            }
            cause = QStringLiteral("Image0.jpg");
            break;
        case Fault::FifoAtJournal:
            cause = QStringLiteral(".tilemaven-journal");
            QCOMPARE(mkfifo(QFile::encodeName(dir.filePath(cause)).constData(), 0666), 0);
            break;
        case Fault::DiskFillsUp:
            prepare = limitFileSize;
            wrapper = QStringList{QStringLiteral("-c"),
                                  QStringLiteral("trap '' XFSZ; ulimit -f %1; exec \"$0\" \"$@\"")
                                      .arg(kFileLimitBlocks),
                                  program};
            program = QStringLiteral("bash");
            cause = kFirstTooLarge;
            break;
        default: // set up below
            break;
        }
        // Elsewhere: what links at the puzzle's names point to, which must stay as it is.
        const QString elsewhere = m_dir.filePath(name + "-elsewhere");
        QVERIFY(QDir().mkpath(elsewhere + "/folder"));
        QVERIFY(testpictures::writeFile(elsewhere + "/file.txt", "the user's file elsewhere"));
        auto linkAt = [&](const QString& file, const QString& to) {
            QFile::remove(dir.filePath(file));
            QVERIFY(QFile::link(elsewhere + "/" + to, dir.filePath(file)));
        };
        const QString over = m_dir.filePath(name + "-over.txt");
        QVERIFY(testpictures::writeFile(over, "mounted over a piece"));
        bool appendOnly = false;
        const auto clearAppendOnly = qScopeGuard([&] {
            if (appendOnly)
                testpictures::setAppendOnly(folder, false);
        });
        switch (fault) {
        case Fault::LinkToFileAtPage:
            linkAt(QStringLiteral("index.html"), QStringLiteral("file.txt"));
            break;
        case Fault::LinkToFolderAtPiece:
            linkAt(QStringLiteral("Image5.jpg"), QStringLiteral("folder"));
            break;
        case Fault::DanglingLinkAtBlank:
            linkAt(QStringLiteral("white.jpg"), QStringLiteral("made-through-the-link"));
            break;
        case Fault::MountOverPiece:
            cause = QStringLiteral("Image5.jpg");
            if (road == Road::Window) {
                prepare = [=] { return mountOver(dir.filePath("Image5.jpg"), over); };
            } else {
                wrapper = QStringList{QStringLiteral("-m"),
                                      QStringLiteral("sh"),
                                      QStringLiteral("-c"),
                                      QStringLiteral("mount --bind \"$1\" \"$2\" && shift 2 && "
                                                     "exec \"$0\" \"$@\""),
                                      program,
                                      over,
                                      dir.filePath("Image5.jpg")};
                program = QStringLiteral("unshare");
            }
            break;
        case Fault::StickyFolderPieceOfAnotherUser:
            // Anyone may add files to a shared folder, but only replace their own.
            QCOMPARE(::chmod(QFile::encodeName(folder).constData(), 01777), 0);
            for (int k = 0; k < 25; ++k)
                QVERIFY(chownTo(dir.filePath(QStringLiteral("Image%1.jpg").arg(k)),
                                k == 5 ? kOtherUser : kNobody));
            QVERIFY(chownTo(dir.filePath("white.jpg"), kNobody));
            QVERIFY(chownTo(dir.filePath("index.html"), kNobody));
            prepare = becomeNobody;
            wrapper = QStringList{QStringLiteral("--reuid=%1").arg(kNobody),
                                  QStringLiteral("--regid=%1").arg(kNobody),
                                  QStringLiteral("--clear-groups"), program};
            program = QStringLiteral("setpriv");
            cause = QStringLiteral("Image5.jpg");
            break;
        case Fault::AppendOnlyFolder:
            appendOnly = testpictures::setAppendOnly(folder, true);
            if (!appendOnly)
                QSKIP("the file system here cannot make a folder append-only");
            cause = QStringLiteral("append-only");
            break;
        default:
            break;
        }
        if (QTest::currentTestFailed())
            return;
        const robust::Snapshot before = robust::snapshot(folder);
        const robust::Snapshot elsewhereBefore = robust::snapshot(elsewhere);

        // Make the puzzle.
        QString problem;
        if (road == Road::Window) {
            QStringList events;
            if (prepare) {
                QString error;
                events = robust::runWindowInChild(3, m_picture, target, prepare, error);
                QVERIFY2(error.isEmpty(), qPrintable(error));
            } else {
                events = robust::runWindow(3, m_picture, target).events;
            }
            if (fault == Fault::None || linkFault(fault)) {
                if (events.last(2) != QStringList{robust::msg(puzzle::kDone), "quit:0"})
                    problem = "no \"Done\": " + events.join(" | ");
            } else {
                problem = robust::failedRunProblem(events, cause);
            }
        } else {
            const robust::CommandRun run =
                robust::runCommand(program, wrapper + robust::commandArgs(3, m_picture, target));
            if (fault == Fault::None || linkFault(fault)) {
                if (run.status != 0)
                    problem = QStringLiteral("status %1: %2").arg(run.status).arg(run.err);
            } else {
                problem = robust::failedCommandProblem(run, cause);
            }
        }
        if (!m_root && fault == Fault::FolderNotWritable)
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));

        // Look at what is left.
        const QString elsewhereDifference =
            robust::snapshotDifference(elsewhereBefore, robust::snapshot(elsewhere));
        QVERIFY2(elsewhereDifference.isEmpty(), qPrintable(elsewhereDifference));
        const robust::Snapshot after = robust::snapshot(folder);
        if (fault != Fault::None && !linkFault(fault)) {
            const QString difference = robust::snapshotDifference(before, after, &m_intact);
            QVERIFY2(difference.isEmpty(), qPrintable(difference));
        } else {
            // The 3x3 puzzle replaced its own names; the older puzzle's higher pieces and the
            // user's files are as they were.
            QStringList replaced{QStringLiteral("white.jpg"), QStringLiteral("index.html")};
            for (int k = 0; k < 9; ++k)
                replaced << QStringLiteral("Image%1.jpg").arg(k);
            robust::Snapshot kept = before, keptNow = after;
            for (const QString& file : replaced) {
                QVERIFY2(after.value(file) != before.value(file), qPrintable(file));
                const QFileInfo info(dir.filePath(file));
                QVERIFY2(info.isFile() && !info.isSymLink(), qPrintable(file));
                kept.remove(file);
                keptNow.remove(file);
            }
            const QString difference = robust::snapshotDifference(kept, keptNow, &m_intact);
            QVERIFY2(difference.isEmpty(), qPrintable(difference));
            // The noise in the lower third does not survive JPEG closely; the rest must.
            const QImage source = testpictures::read(m_picture);
            for (int k = 0; k < 9; ++k) {
                const QImage piece = testpictures::read(dir.filePath(replaced.at(2 + k)));
                QCOMPARE(piece.size(), QSize(300, 300));
                if (k < 6)
                    QVERIFY(testpictures::meanError(piece, source, {k % 3 * 300, k / 3 * 300}) < 6);
            }
        }
        ++m_passed;
    }
};

QTEST_GUILESS_MAIN(TestFaultyFolders)
#include "tst_faultyfolders.moc"
