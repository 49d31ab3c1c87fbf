// SPDX-License-Identifier: MIT
// Arbitrary bytes go through the same road as a user's picture: openSource on a file, then
// writeProject into a folder. Besides what the sanitizers catch, the folder must end up either
// complete or untouched; anything in between counts as a crash.

#include "picture/picturesource.h"
#include "puzzle/project.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct Workspace {
    QTemporaryDir dir;
    QString picture;
    QString folder;
};

Workspace& workspace() {
    static Workspace* w = [] {
        auto* made = new Workspace;
        if (!made->dir.isValid()) {
            std::fprintf(stderr, "fuzz: no temporary folder\n");
            std::abort();
        }
        made->picture = made->dir.filePath(QStringLiteral("input"));
        made->folder = made->dir.filePath(QStringLiteral("out"));
        return made;
    }();
    return *w;
}

[[noreturn]] void broken(const char* what, const QString& detail) {
    std::fprintf(stderr, "fuzz: %s: %s\n", what, qPrintable(detail));
    std::abort();
}

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv); // the image plug-ins are found through it
    workspace();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Workspace& w = workspace();
    {
        QFile file(w.picture);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size))
            broken("cannot write the input", file.errorString());
    }
    QDir(w.folder).removeRecursively();
    if (!QDir().mkpath(w.folder))
        broken("cannot make the folder", w.folder);

    // The length picks the grid, so every picture format meets every size without giving up
    // bytes of its own.
    const int n = 3 + int(size % 7);
    QString error;
    const std::unique_ptr<picture::Source> source = picture::openSource(w.picture, error);
    if (!source) {
        if (error.isEmpty())
            broken("a refusal without a cause", w.picture);
        return 0;
    }
    const puzzle::ProjectOutcome outcome =
        puzzle::writeProject(*source, puzzle::Grid::square(n), w.folder, QByteArray("page"));
    const QStringList written = entries(w.folder);
    if (outcome.ok) {
        if (written.size() != n * n + 2)
            broken("a written folder without every file", written.join(u' '));
    } else {
        if (outcome.error.isEmpty())
            broken("a failure without a cause", QString());
        if (!written.isEmpty())
            broken("a failed run left files behind", written.join(u' '));
    }
    return 0;
}
