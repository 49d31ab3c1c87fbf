// SPDX-License-Identifier: MIT
#include "folder/stagedfolder.h"
#include "testpictures.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using folder::StagedFolder;

namespace {

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void put(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("could not write %s", qPrintable(path));
}

QStringList listing(const QString& folder) {
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System, QDir::Name);
}

// The file at `path` as `state` shows it: a link when it begins "->".
void putEntry(const QString& path, const QByteArray& shown) {
    if (!shown.startsWith("->"))
        put(path, shown);
    else if (!QFile::link(QString::fromUtf8(shown.mid(2)), path))
        qFatal("could not link %s", qPrintable(path));
}

// Every entry by name: a file's bytes, "->TARGET" for a link, "<folder>" for a folder.
QMap<QString, QByteArray> state(const QString& folder) {
    QMap<QString, QByteArray> out;
    for (const QString& name : listing(folder)) {
        const QFileInfo info(folder + "/" + name);
        out.insert(name, info.isSymLink() ? "->" + info.symLinkTarget().toUtf8()
                         : info.isDir()   ? QByteArray("<folder>")
                         : info.isFile()  ? contents(info.filePath())
                                          : QByteArray("<fifo>"));
    }
    return out;
}

// The new set that every commit below writes; "index.html" and "Image1.jpg" replace older files.
const QStringList kNewNames{"Image0.jpg", "Image1.jpg", "Image2.jpg", "index.html"};

void writeNewSet(StagedFolder& staged) {
    for (const QString& name : kNewNames)
        if (!staged.write(name, "new " + name.toUtf8()))
            qFatal("could not stage %s", qPrintable(name));
}

// Whether `now` holds every file of `set` as it was, and nothing a run works under.
bool holds(const QMap<QString, QByteArray>& now, const QMap<QString, QByteArray>& set) {
    for (auto it = set.begin(); it != set.end(); ++it)
        if (now.value(it.key()) != it.value())
            return false;
    return !now.keys().join('/').contains(".tilemaven-");
}

} // namespace

class TestStagedFolder : public QObject {
    Q_OBJECT

    // A folder that already holds an older puzzle file and a file of the user's own.
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
    QString file(const QString& name) const { return m_path + "/" + name; }

    // The folder holds exactly the files of `files` again, whatever stood in it.
    bool restore(const QMap<QString, QByteArray>& files) const {
        for (const QString& name : listing(m_path))
            if (!QFile::remove(file(name)) && !QDir(file(name)).removeRecursively())
                return false;
        for (auto it = files.begin(); it != files.end(); ++it)
            putEntry(file(it.key()), it.value());
        return true;
    }

    void expectOlderFilesIntact() {
        QCOMPARE(contents(file("Image1.jpg")), QByteArray("older piece 1"));
        QCOMPARE(contents(file("notes.txt")), QByteArray("the user's notes"));
    }

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_path = m_dir->path();
        put(file("Image1.jpg"), "older piece 1");
        put(file("notes.txt"), "the user's notes");
    }
    void cleanup() { alarm(0); } // a failed check leaves a row's alarm set for the next

    void nothingShowsBeforeCommitThenEverything() {
        StagedFolder staged(m_path);
        QIODevice* first = staged.open("Image0.jpg");
        QVERIFY(first);
        QCOMPARE(first->write("piece 0"), 7);
        QVERIFY(staged.write("Image1.jpg", "piece 1"));
        QVERIFY(staged.write("index.html", QByteArray("<html>\r\n", 8)));
        QCOMPARE(listing(m_path).filter(".tilemaven-new."),
                 (QStringList{".tilemaven-new.Image0.jpg", ".tilemaven-new.Image1.jpg",
                              ".tilemaven-new.index.html"}));
        QVERIFY(!QFile::exists(file("Image0.jpg")));
        expectOlderFilesIntact();

        QVERIFY2(staged.commit(), qPrintable(staged.errorString()));
        QCOMPARE(contents(file("Image0.jpg")), QByteArray("piece 0"));
        QCOMPARE(contents(file("Image1.jpg")), QByteArray("piece 1"));
        QCOMPARE(contents(file("index.html")), QByteArray("<html>\r\n"));
        QCOMPARE(contents(file("notes.txt")), QByteArray("the user's notes"));
        QCOMPARE(listing(m_path),
                 (QStringList{"Image0.jpg", "Image1.jpg", "index.html", "notes.txt"}));
    }

    void directoryAtAName_data() {
        QTest::addColumn<QString>("blocked");
        QTest::addColumn<bool>("beforeOpen");
        for (const char* name : {"Image0.jpg", "white.jpg", "index.html"}) {
            QTest::addRow("%s, there from the start", name) << QString(name) << true;
            QTest::addRow("%s, made while writing", name) << QString(name) << false;
        }
    }
    // Nothing moves: the older files of the same names stay byte for byte, no temporary file is
    // left, and the message names the file in one line.
    void directoryAtAName() {
        QFETCH(QString, blocked);
        QFETCH(bool, beforeOpen);
        if (beforeOpen)
            QVERIFY(QDir(m_path).mkdir(blocked));
        const QStringList before = listing(m_path);
        {
            StagedFolder staged(m_path);
            for (QString name : {"Image0.jpg", "Image1.jpg", "white.jpg", "index.html"})
                staged.write(name, "new " + name.toUtf8());
            if (!beforeOpen)
                QVERIFY(QDir(m_path).mkdir(blocked));
            QVERIFY(!staged.commit());
            QVERIFY2(staged.errorString().contains(blocked), qPrintable(staged.errorString()));
            QVERIFY(!staged.errorString().contains(u'\n'));
            QVERIFY(listing(m_path).filter(".tilemaven-").isEmpty());
        }
        expectOlderFilesIntact();
        QVERIFY(QFileInfo(file(blocked)).isDir());
        QStringList expected = before;
        if (!beforeOpen) {
            expected << blocked;
            expected.sort();
        }
        QCOMPARE(listing(m_path), expected);
    }

    // A link (or anything else that is not a regular file) at a target name is replaced by the
    // new file; what it points to is neither written nor made.
    void entriesAtTargetNamesAreReplaced_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        for (const char* name : {"index.html", "Image1.jpg", "Image2.jpg"})
            for (const char* kind : {"link to a file", "link to a folder", "dangling link", "fifo"})
                QTest::addRow("%s: %s", name, kind) << QString(name) << QString(kind);
    }
    void entriesAtTargetNamesAreReplaced() {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QTemporaryDir outside;
        QVERIFY(outside.isValid());
        put(outside.filePath("victim.txt"), "the user's own file elsewhere");
        QVERIFY(QDir(outside.path()).mkdir("victim-folder"));
        QFile::remove(file(name));
        if (kind == "link to a file")
            QVERIFY(QFile::link(outside.filePath("victim.txt"), file(name)));
        else if (kind == "link to a folder")
            QVERIFY(QFile::link(outside.filePath("victim-folder"), file(name)));
        else if (kind == "dangling link")
            QVERIFY(QFile::link(outside.filePath("made-through-the-link"), file(name)));
        else
            QCOMPARE(mkfifo(QFile::encodeName(file(name)).constData(), 0644), 0);
        const QMap<QString, QByteArray> outsideBefore = state(outside.path());

        StagedFolder staged(m_path);
        writeNewSet(staged);
        QVERIFY2(staged.commit(), qPrintable(staged.errorString()));

        QCOMPARE(state(outside.path()), outsideBefore);
        QVERIFY(QDir(outside.filePath("victim-folder")).isEmpty());
        const QFileInfo replaced(file(name));
        QVERIFY(replaced.isFile() && !replaced.isSymLink());
        QCOMPARE(contents(file(name)), "new " + name.toUtf8());
        QCOMPARE(listing(m_path), (QStringList{"Image0.jpg", "Image1.jpg", "Image2.jpg",
                                               "index.html", "notes.txt"}));
    }

    // Killed at any step of the commit, staged files then taken away by hand, a run that fails:
    // the folder holds the older or the newer set whole (exactly, when nothing was taken away);
    // after a run that succeeds, exactly the newer one.
    void killedAtEveryStepIsRecovered_data() {
        QTest::addColumn<QString>("olderIndex"); // what stands at "index.html" before
        QTest::addColumn<QString>("removed");    // the hidden names taken away after the kill
        for (const char* removed :
             {"", ".tilemaven-new.Image1.jpg", ".tilemaven-new.index.html", ".tilemaven-new.*"})
            for (const char* olderIndex : {"older page", "", "->a link's target"})
                QTest::addRow("index.html: \"%s\"; %s gone", olderIndex, removed)
                    << QString(olderIndex) << QString(removed);
    }
    void killedAtEveryStepIsRecovered() {
        QFETCH(QString, olderIndex);
        QFETCH(QString, removed);
        if (!olderIndex.isEmpty())
            putEntry(file("index.html"), olderIndex.toUtf8());
        const QMap<QString, QByteArray> older = state(m_path);
        // The newer set, and how many steps its commit takes, from a run on a copy.
        QTemporaryDir copy;
        for (auto it = older.begin(); it != older.end(); ++it)
            putEntry(copy.filePath(it.key()), it.value());
        int steps = 0;
        {
            StagedFolder staged(copy.path());
            staged.setStepObserver([&steps] { ++steps; });
            writeNewSet(staged);
            QVERIFY(staged.commit());
        }
        const QMap<QString, QByteArray> newer = state(copy.path());
        QVERIFY(steps > int(kNewNames.size()));

        int sawOlder = 0, sawNewer = 0;
        for (int stop = 1; stop <= steps; ++stop) {
            // Back to the older set before each try.
            QVERIFY(restore(older));
            const pid_t child = fork();
            QVERIFY(child >= 0);
            if (child == 0) {
                int step = 0;
                StagedFolder staged(m_path);
                staged.setStepObserver([&step, stop] {
                    if (++step == stop)
                        raise(SIGKILL);
                });
                writeNewSet(staged);
                staged.commit();
                _exit(0);
            }
            int status = 0;
            QCOMPARE(waitpid(child, &status, 0), child);
            QVERIFY2(WIFSIGNALED(status), qPrintable(QStringLiteral("step %1").arg(stop)));
            for (const QString& name :
                 QDir(m_path).entryList({removed}, QDir::Files | QDir::Hidden))
                QVERIFY(QFile::remove(file(name)));
            QVERIFY(StagedFolder(m_path).write("Image0.jpg", "half a piece")); // then it fails
            const QMap<QString, QByteArray> now = state(m_path);
            QVERIFY2(removed.isEmpty() ? now == older || now == newer
                                       : holds(now, older) || holds(now, newer),
                     qPrintable(QStringLiteral("after a kill at step %1 of %2: %3")
                                    .arg(stop)
                                    .arg(steps)
                                    .arg(listing(m_path).join(", "))));
            ++(holds(now, older) ? sawOlder : sawNewer);
            StagedFolder succeeding(m_path);
            writeNewSet(succeeding);
            QVERIFY2(succeeding.commit(), qPrintable(succeeding.errorString()));
            QCOMPARE(state(m_path), newer);
        }
        // Killed before the journal, the older set comes back; after it, the newer one is made.
        QVERIFY(sawOlder > 0 && sawNewer > 0);
    }

    // At a hidden name, anything a run of this user cannot have left, or a journal naming what is
    // not a puzzle's file, stops a run at once (never waiting on a FIFO), naming it, with nothing
    // changed; other names are left alone. Then a run that fails and, once it is taken away, one
    // that works.
    void leftovers_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind"); // fifo, folder, link, file, another's, or journal lines
        QTest::addColumn<QString>("outcome"); // refused, left alone, or put back at its name
        for (const char* name : {".tilemaven-journal", ".tilemaven-journal.draft",
                                 ".tilemaven-new.Image1.jpg", ".tilemaven-old.index.html"})
            for (const char* kind : {"fifo", "folder", "link", "another's"}) {
                // A killed run may have set aside the user's own link or FIFO.
                const bool putBack = QByteArray(name).startsWith(".tilemaven-old.") &&
                                     (qstrcmp(kind, "fifo") == 0 || qstrcmp(kind, "link") == 0);
                QTest::addRow("%s at %s", kind, name)
                    << QString(name) << QString(kind) << QString(putBack ? "put back" : "refused");
            }
        // Set aside from a folder of another's: that owner's file, unless it has a second name.
        for (const char* kind : {"folder owner's", "folder owner's, linked"})
            QTest::newRow(kind) << QString(".tilemaven-old.index.html") << QString(kind)
                                << QString(QByteArray(kind).contains("linked") ? "refused"
                                                                               : "put back");
        QTest::newRow("fifo, another name")
            << QString(".tilemaven-new.notes.txt") << QString("fifo") << QString("left alone");
        QTest::newRow("older file, another name")
            << QString(".tilemaven-old.notes.txt") << QString("file") << QString("left alone");
        for (const char* lines : {"forward\n0 0 12 notes.txt", "back\n0 1 12 notes.txt",
                                  "forward\n0 0 3 white.jpg\n1 0 3 Image144.jpg"})
            QTest::addRow("journal: %s", lines)
                << QString(".tilemaven-journal") << QString(lines) << QString("refused");
    }
    void leftovers() {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QString, outcome);
        const bool refused = outcome == "refused";
        QTemporaryDir outside;
        put(outside.filePath("victim.txt"), "the user's own file elsewhere");
        const QString at = file(name);
        if (kind == "fifo" || kind == "folder" || kind == "link")
            QVERIFY(kind == "fifo"     ? mkfifo(QFile::encodeName(at).constData(), 0644) == 0
                    : kind == "folder" ? QDir(m_path).mkdir(name)
                                       : QFile::link(outside.filePath("victim.txt"), at));
        else
            put(at, kind.contains('\n') ? "tilemaven journal 2\n" + kind.toUtf8() + "\nend\n"
                                        : QByteArray("hidden"));
        if (kind.contains("'s") &&
            (geteuid() != 0 || chown(QFile::encodeName(at).constData(), 1, 1) != 0 ||
             (kind.contains("owner") && chown(QFile::encodeName(m_path).constData(), 1, 1) != 0)))
            QSKIP("needs root to give a file to another user");
        if (kind.contains("linked"))
            QVERIFY(link(QFile::encodeName(at).constData(),
                         QFile::encodeName(file("second name")).constData()) == 0);
        const QMap<QString, QByteArray> before = state(m_path),
                                        outsideBefore = state(outside.path());
        alarm(60); // a run that waits on a FIFO ends the test here instead of hanging it
        {
            StagedFolder failing(m_path);
            QCOMPARE(failing.write("Image0.jpg", "half a piece"), !refused);
            QVERIFY2(!refused || (failing.errorString().contains(name) &&
                                  !failing.errorString().contains(u'\n')),
                     qPrintable(failing.errorString()));
        }
        QMap<QString, QByteArray> expected = before;
        if (outcome == "put back")
            expected.insert(name.mid(QString(".tilemaven-old.").size()), expected.take(name));
        QCOMPARE(state(m_path), expected);
        if (refused)
            QVERIFY(QFile::remove(at) || QDir(at).removeRecursively());
        StagedFolder succeeding(m_path);
        writeNewSet(succeeding);
        QVERIFY2(succeeding.commit(), qPrintable(succeeding.errorString()));
        alarm(0);
        if (refused)
            expected.remove(name);
        for (const QString& written : kNewNames)
            expected.insert(written, "new " + written.toUtf8());
        QCOMPARE(state(m_path), expected);
        QCOMPARE(state(outside.path()), outsideBefore);
    }

    // A move that fails once the moves have begun (here another program makes a folder at a name
    // that the run writes anew) puts every older file back and leaves no hidden file.
    void moveThatFailsIsRolledBack() {
        put(file("index.html"), "older page");
        const QMap<QString, QByteArray> older = state(m_path);
        StagedFolder staged(m_path);
        bool blocked = false;
        staged.setStepObserver([&] {
            if (!blocked && QFile::exists(file(".tilemaven-journal")))
                blocked = QDir(m_path).mkdir("Image2.jpg");
        });
        writeNewSet(staged);
        QVERIFY(!staged.commit());
        QVERIFY(blocked);
        QVERIFY2(staged.errorString().contains("Image2.jpg"), qPrintable(staged.errorString()));
        QMap<QString, QByteArray> now = state(m_path);
        QCOMPARE(now.take("Image2.jpg"), QByteArray("<folder>"));
        QCOMPARE(now, older);
    }

    // Killed at any step while a failed move is being undone: once what stood in the way is
    // gone, the next StagedFolder leaves exactly the older set or exactly the newer one.
    void killedWhileRollingBackIsRecovered() {
        put(file("index.html"), "older page");
        const QMap<QString, QByteArray> older = state(m_path);
        QTemporaryDir copy;
        for (auto it = older.begin(); it != older.end(); ++it)
            putEntry(copy.filePath(it.key()), it.value());
        {
            StagedFolder staged(copy.path());
            writeNewSet(staged);
            QVERIFY(staged.commit());
        }
        const QMap<QString, QByteArray> newer = state(copy.path());
        // How many steps a commit that meets a folder in its way takes, rollback included, on
        // another copy of the older set.
        int steps = 0;
        QTemporaryDir count;
        for (auto it = older.begin(); it != older.end(); ++it)
            put(count.filePath(it.key()), it.value());
        {
            StagedFolder staged(count.path());
            bool blocked = false;
            staged.setStepObserver([&] {
                ++steps;
                if (!blocked && QFile::exists(count.filePath(".tilemaven-journal")))
                    blocked = QDir(count.path()).mkdir("Image9.jpg");
            });
            for (const QString& name : kNewNames + QStringList{"Image9.jpg"})
                staged.write(name, "new " + name.toUtf8());
            QVERIFY(!staged.commit());
        }
        int sawOlder = 0, sawNewer = 0;
        for (int stop = 1; stop <= steps; ++stop) {
            QVERIFY(restore(older));
            const pid_t child = fork();
            QVERIFY(child >= 0);
            if (child == 0) {
                int step = 0;
                bool blocked = false;
                StagedFolder staged(m_path);
                staged.setStepObserver([&] {
                    if (!blocked && QFile::exists(file(".tilemaven-journal")))
                        blocked = QDir(m_path).mkdir("Image9.jpg");
                    if (++step == stop)
                        raise(SIGKILL);
                });
                for (const QString& name : kNewNames + QStringList{"Image9.jpg"})
                    staged.write(name, "new " + name.toUtf8());
                staged.commit();
                _exit(0);
            }
            int status = 0;
            QCOMPARE(waitpid(child, &status, 0), child);
            QVERIFY(WIFSIGNALED(status));
            QDir(file("Image9.jpg")).removeRecursively(); // the other program is gone
            { StagedFolder recovery(m_path); }
            QMap<QString, QByteArray> now = state(m_path);
            // Image9.jpg is the newer set's, when the moves were finished after all; the newer
            // set compared with is the one without it.
            now.remove("Image9.jpg");
            QVERIFY2(now == older || now == newer,
                     qPrintable(QStringLiteral("after a kill at step %1 of %2: %3")
                                    .arg(stop)
                                    .arg(steps)
                                    .arg(listing(m_path).join(", "))));
            ++(now == older ? sawOlder : sawNewer);
        }
        QVERIFY(sawOlder > 0);
    }

    // Whatever stands in the way, a folder whose files cannot be moved again gets none at all.
    void appendOnlyFolderGetsNothing() {
        if (!testpictures::setAppendOnly(m_path, true))
            QSKIP("the file system or the user cannot make a folder append-only here");
        const QStringList before = listing(m_path);
        bool committed = true;
        QString error;
        {
            StagedFolder staged(m_path);
            staged.write("Image0.jpg", "new");
            committed = staged.commit();
            error = staged.errorString();
        }
        const QStringList after = listing(m_path);
        QVERIFY(testpictures::setAppendOnly(m_path, false));
        QVERIFY(!committed);
        QVERIFY2(error.contains("append-only"), qPrintable(error));
        QCOMPARE(after, before);
    }

    // A second StagedFolder on the same folder, in another process, waits until the first has
    // finished: it never sees the first one's work half done.
    void secondOneWaitsForTheFirst() {
        int ready[2];
        QCOMPARE(pipe(ready), 0);
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            ::close(ready[0]);
            StagedFolder staged(m_path);
            writeNewSet(staged);
            (void)!::write(ready[1], "x", 1);
            usleep(300 * 1000);
            _exit(staged.commit() ? 0 : 1);
        }
        ::close(ready[1]);
        char byte = 0;
        QCOMPARE(::read(ready[0], &byte, 1), ssize_t(1));
        ::close(ready[0]);
        {
            StagedFolder second(m_path);
            // Had it not waited, the first one would still be asleep with nothing moved.
            QCOMPARE(contents(file("index.html")), QByteArray("new index.html"));
            QVERIFY(second.write("Image0.jpg", "second"));
            QVERIFY(second.commit());
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        QCOMPARE(contents(file("Image0.jpg")), QByteArray("second"));
    }

    void folderThatIsAFileOrMissing_data() {
        QTest::addColumn<QString>("folderName");
        QTest::addColumn<StagedFolder::Missing>("missing");
        QTest::addColumn<QString>("cause"); // empty: the folder is made
        const auto refuse = StagedFolder::Missing::Refuse, make = StagedFolder::Missing::Make;
        QTest::newRow("regular file") << "notes.txt" << refuse << "is not a folder";
        QTest::newRow("regular file, told to make") << "notes.txt" << make << "is not a folder";
        QTest::newRow("missing") << "gone" << refuse << "does not exist";
        QTest::newRow("missing, told to make") << "gone" << make << "";
    }
    void folderThatIsAFileOrMissing() {
        QFETCH(QString, folderName);
        QFETCH(StagedFolder::Missing, missing);
        QFETCH(QString, cause);
        StagedFolder staged(file(folderName), missing);
        QCOMPARE(staged.open("Image0.jpg") != nullptr, cause.isEmpty());
        QVERIFY2(staged.errorString().contains(cause), qPrintable(staged.errorString()));
        QCOMPARE(staged.commit(), cause.isEmpty());
        expectOlderFilesIntact();
        QCOMPARE(listing(m_path).contains(folderName),
                 folderName == "notes.txt" || cause.isEmpty());
    }

    void namesThatAreNotPlainFileNames_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("empty") << "";
        QTest::newRow("dot dot") << "..";
        QTest::newRow("path") << "sub/Image0.jpg";
    }
    void namesThatAreNotPlainFileNames() {
        QFETCH(QString, name);
        StagedFolder staged(m_path);
        QVERIFY(staged.write("Image1.jpg", "new"));
        QVERIFY(!staged.open(name));
        QVERIFY(!staged.errorString().isEmpty());
        // Ignoring the refusal does not let the rest through.
        QVERIFY(!staged.commit());
        expectOlderFilesIntact();
    }

    void discardedWorkLeavesNoTrace() {
        {
            StagedFolder staged(m_path);
            QVERIFY(staged.write("Image1.jpg", "new"));
            QVERIFY(staged.write("Image2.jpg", "new"));
            staged.discard();
            QVERIFY(listing(m_path).filter(".tilemaven-").isEmpty());
            QVERIFY(staged.write("Image3.jpg", "new"));
        } // the destructor discards Image3.jpg
        expectOlderFilesIntact();
        QCOMPARE(listing(m_path), (QStringList{"Image1.jpg", "notes.txt"}));
    }

    // A disk that fills up part-way: a child process with a small file size limit writes a file
    // larger than the limit, in one go or in small pieces whose results it does not look at (as
    // an encoder writing into the device might). The commit has to fail and name the file.
    void fileSizeLimitMakesTheCommitFail_data() {
        QTest::addColumn<int>("chunk");
        QTest::newRow("one write") << 1024 * 1024;
        QTest::newRow("small writes") << 4096;
        QTest::newRow("just over, left in the buffer") << 0;
    }
    void fileSizeLimitMakesTheCommitFail() {
        QFETCH(int, chunk);
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{64 * 1024, 64 * 1024};
            setrlimit(RLIMIT_FSIZE, &limit);
            StagedFolder staged(m_path);
            staged.write("index.html", "small");
            if (chunk == 0) {
                QIODevice* device = staged.open("Image1.jpg");
                device->write(QByteArray(64 * 1024 - 100, 'x'));
                device->write(QByteArray(200, 'y'));
            } else {
                QIODevice* device = staged.open("Image1.jpg");
                for (int written = 0; written < 1024 * 1024; written += chunk)
                    device->write(QByteArray(chunk, 'x'));
            }
            const bool committed = staged.commit();
            const bool named = staged.errorString().contains("Image1.jpg");
            _exit(committed ? 10 : named ? 0 : 11);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
        expectOlderFilesIntact();
        QCOMPARE(listing(m_path), (QStringList{"Image1.jpg", "notes.txt"}));
    }

    // A folder the user may not write, holding an older file that the user may: the new file
    // must not be written straight into the old one for lack of a place for a temporary file.
    void folderTheUserMayNotWrite() {
        if (geteuid() != 0)
            QSKIP("needs root to become another user");
        QVERIFY(QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner |
                                                  QFile::ExeOwner | QFile::ReadOther |
                                                  QFile::ExeOther));
        QVERIFY(QFile::setPermissions(file("Image1.jpg"), QFile::ReadOwner | QFile::WriteOwner |
                                                              QFile::ReadOther |
                                                              QFile::WriteOther));
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(12);
            StagedFolder staged(m_path);
            staged.write("Image1.jpg", "new piece 1");
            const bool committed = staged.commit();
            _exit(committed ? 10 : staged.errorString().contains("Image1.jpg") ? 0 : 11);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
        expectOlderFilesIntact();
        QCOMPARE(listing(m_path), (QStringList{"Image1.jpg", "notes.txt"}));
    }
};

QTEST_GUILESS_MAIN(TestStagedFolder)
#include "tst_stagedfolder.moc"
