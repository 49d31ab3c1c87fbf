#include "stagedfolder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using platform::StagedFolder;

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
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

} // namespace

class TestStagedFolder : public QObject {
    Q_OBJECT

    // A folder that already holds an older puzzle file and a file of the user's own.
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
    QString file(const QString& name) const { return m_path + "/" + name; }

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

    void nothingShowsBeforeCommitThenEverything() {
        StagedFolder staged(m_path);
        QIODevice* first = staged.open("Image0.jpg");
        QVERIFY(first);
        QCOMPARE(first->write("piece 0"), 7);
        QVERIFY(staged.write("Image1.jpg", "piece 1"));
        QVERIFY(staged.write("index.html", QByteArray("<html>\r\n", 8)));
        QCOMPARE(staged.names(), (QStringList{"Image0.jpg", "Image1.jpg", "index.html"}));
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
            QVERIFY(staged.names().isEmpty());
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

    void folderThatIsAFileOrMissing_data() {
        QTest::addColumn<QString>("folderName");
        QTest::addColumn<QString>("cause");
        QTest::newRow("regular file") << "notes.txt"
                                      << "is not a folder";
        QTest::newRow("missing") << "gone"
                                 << "does not exist";
    }
    void folderThatIsAFileOrMissing() {
        QFETCH(QString, folderName);
        QFETCH(QString, cause);
        StagedFolder staged(file(folderName));
        QVERIFY(!staged.open("Image0.jpg"));
        QVERIFY2(staged.errorString().contains(cause), qPrintable(staged.errorString()));
        QVERIFY(!staged.commit());
        expectOlderFilesIntact();
        QCOMPARE(listing(m_path), (QStringList{"Image1.jpg", "notes.txt"}));
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
            QVERIFY(staged.names().isEmpty());
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
