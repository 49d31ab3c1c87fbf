// SPDX-License-Identifier: MIT
#pragma once

// What the robustness tests share: running the puzzle through the window's road (the size command
// with a scripted person) or through the command line binary, and looking at folders byte for
// byte.

#include "fakehost.h"
#include "fakeinteraction.h"
#include "platform/filetypes.h"
#include "puzzle/sizecommand.h"
#include "testpictures.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QStringList>

#include <functional>

#include <sys/wait.h>
#include <unistd.h>

namespace robust {

// ---- the window's road ----

// The events a scripted person sees when choosing `picture` and `folder` for an n x n puzzle.
inline FakeInteraction runWindow(int n, const QString& picture, const QString& folder,
                                 bool solve = false) {
    FakeHost host;
    host.select(n);
    host.solve = solve;
    FakeInteraction ui;
    ui.openAnswers.push_back(picture);
    ui.folderAnswers.push_back(folder);
    host.person = &ui;
    puzzle::runSizeCommand(*puzzle::rowForGrid(n), host, ui);
    return ui;
}

// The same in a child process, after `prepare` has run in it (a lower file size limit, another
// user). The events come back through a pipe; an empty list with `error` set when the child
// could not do its part.
inline QStringList runWindowInChild(int n, const QString& picture, const QString& folder,
                                    const std::function<bool()>& prepare, QString& error) {
    int fds[2];
    if (pipe(fds) != 0) {
        error = QStringLiteral("no pipe");
        return {};
    }
    const pid_t child = fork();
    if (child < 0) {
        error = QStringLiteral("no fork");
        return {};
    }
    if (child == 0) {
        ::close(fds[0]);
        if (!prepare())
            _exit(3);
        const FakeInteraction ui = runWindow(n, picture, folder);
        const QByteArray out = ui.events.join(u'\n').toUtf8();
        for (qsizetype at = 0; at < out.size();) {
            const ssize_t put = ::write(fds[1], out.constData() + at, size_t(out.size() - at));
            if (put <= 0)
                _exit(4);
            at += put;
        }
        _exit(0);
    }
    ::close(fds[1]);
    QByteArray in;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        in.append(buffer, got);
    ::close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = QStringLiteral("the child ended with status %1").arg(status);
        return {};
    }
    return QString::fromUtf8(in).split(u'\n');
}

// Empty when `cause` holds every part of `parts` (separated by ";").
inline QString causeProblem(const QString& cause, const QString& parts) {
    for (const QString& part : parts.split(u';', Qt::SkipEmptyParts))
        if (!cause.contains(part))
            return QStringLiteral("the cause \"%1\" does not say \"%2\"").arg(cause, part);
    return {};
}

inline QString msg(const char* text) {
    return "msg:" + QString::fromLatin1(text);
}

// Empty when `events` are those of a run that failed: the failure message with one line of cause
// holding `cause`, then the quit, and never "Done". Otherwise what is wrong.
inline QString failedRunProblem(const QStringList& events, const QString& cause) {
    const qsizetype failure = events.indexOf(msg(puzzle::kFailure));
    if (failure < 0)
        return "no failure message in: " + events.join(" | ");
    if (events.contains(msg(puzzle::kDone)))
        return QStringLiteral("\"Done\" after a failure");
    if (failure + 2 >= events.size() || !events.at(failure + 1).startsWith("detail:") ||
        events.at(failure + 2) != QStringLiteral("quit:0"))
        return "not failure, cause, quit: " + events.mid(failure).join(" | ");
    const QString detail = events.at(failure + 1).mid(7);
    if (detail.trimmed().isEmpty() || detail.contains(u'\n'))
        return "a cause that is not one line: " + detail;
    return causeProblem(detail, cause);
}

// ---- the command line ----

struct CommandRun {
    int status = -1; // -1 when it crashed or hung
    QString out;
    QString err;
};

// Runs `program args`, optionally through a wrapper (setpriv, a shell setting a limit).
inline CommandRun runCommand(const QString& program, const QStringList& args) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.remove(QStringLiteral("DISPLAY"));
    process.setProcessEnvironment(env);
    process.start(program, args);
    CommandRun run;
    const bool finished = process.waitForFinished(120000);
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    if (!finished || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.status = process.exitCode();
    return run;
}

inline QStringList commandArgs(int n, const QString& picture, const QString& folder) {
    return {QStringLiteral("--grid"), QString::number(n), picture, folder};
}

// Empty when `run` is a failure as the command line promises it: status 1, nothing on stdout, one
// line "tilemaven: ..." on stderr holding `cause`.
inline QString failedCommandProblem(const CommandRun& run, const QString& cause) {
    if (run.status != 1)
        return QStringLiteral("status %1 (stderr: %2)").arg(run.status).arg(run.err.trimmed());
    if (!run.out.isEmpty())
        return "something on stdout: " + run.out;
    const QStringList lines = run.err.split(u'\n', Qt::SkipEmptyParts);
    if (lines.size() != 1 || !lines.front().startsWith(QStringLiteral("tilemaven: ")) ||
        lines.front().size() <= 11)
        return "not one line of cause: " + run.err;
    return causeProblem(lines.front(), cause);
}

// ---- folders ----

// Every file and folder under `root`, hidden ones included, by relative path: the bytes of each
// file, "<folder>" for each folder, "<fifo>" for anything else.
using Snapshot = QMap<QString, QByteArray>;

inline Snapshot snapshot(const QString& root) {
    Snapshot out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        out.insert(base.relativeFilePath(path),
                   info.isDir()                          ? QByteArray("<folder>")
                   : !info.isFile() && !info.isSymLink() ? QByteArray("<fifo>") // never opened
                                                         : testpictures::contents(path));
    }
    return out;
}

// Empty when `now` equals `before`; else the first differences. `filesCompared` counts the files
// of `before` that were compared byte for byte.
inline QString snapshotDifference(const Snapshot& before, const Snapshot& now,
                                  int* filesCompared = nullptr) {
    QStringList problems;
    for (auto it = before.begin(); it != before.end(); ++it) {
        if (filesCompared && it.value() != "<folder>")
            ++*filesCompared;
        if (!now.contains(it.key()))
            problems << it.key() + " is gone";
        else if (now.value(it.key()) != it.value())
            problems << it.key() + " changed";
    }
    for (auto it = now.begin(); it != now.end(); ++it)
        if (!before.contains(it.key()))
            problems << it.key() + " is new";
    return problems.mid(0, 5).join(", ");
}

// ---- pieces ----

// Empty when the folder holds a complete n x n puzzle cut from `expected` (the picture as a
// viewer shows it, transparent areas white): every piece PW x PH showing its own region within
// JPEG tolerance, "white.jpg" all white, and an index.html.
inline QString puzzleProblem(const QString& folder, int n, const QImage& expected) {
    const int pw = expected.width() / n, ph = expected.height() / n;
    const QDir dir(folder);
    for (int k = 0; k < n * n; ++k) {
        const QString name = QStringLiteral("Image%1.jpg").arg(k);
        const QImage piece = testpictures::read(dir.filePath(name));
        if (piece.size() != QSize(pw, ph))
            return QStringLiteral("%1 is %2x%3, not %4x%5")
                .arg(name)
                .arg(piece.width())
                .arg(piece.height())
                .arg(pw)
                .arg(ph);
        const QPoint origin((k % n) * pw, (k / n) * ph);
        const double error = testpictures::meanError(piece, expected, origin);
        // Every pixel of the middle too: a mean can hide a piece that is right only at its edges.
        const QRect middle(pw / 4, ph / 4, pw / 2, ph / 2);
        const QImage inner = piece.copy(middle);
        const double innerError =
            testpictures::meanError(inner, expected, origin + middle.topLeft());
        if (error > 8 || innerError > 6)
            return QStringLiteral("%1 differs from its region by %2 on average")
                .arg(name)
                .arg(error);
    }
    const QImage blank = testpictures::read(dir.filePath("white.jpg"));
    if (blank.size() != QSize(pw, ph) || !testpictures::allNearly(blank, Qt::white))
        return QStringLiteral("white.jpg is not a white piece");
    if (!QFileInfo(dir.filePath("index.html")).isFile())
        return QStringLiteral("no index.html");
    return {};
}

} // namespace robust
