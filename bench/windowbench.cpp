// SPDX-License-Identifier: MIT
// Times the window's path for `make bench`: the real main window on the offscreen platform, a
// scripted person answering its dialogs, and one real click on a size button.
//
//   windowbench --grid N PICTURE FOLDER
//
// Prints "folder-to-done SECONDS" (from the moment the folder dialog's answer is handed back to the
// moment "Done" is shown: the part that matches the command line's work after its argument
// parsing, minus the first reading of the picture, which the window does before asking for the
// folder) and "click-to-done SECONDS". Exit status 1 when the run does not end in "Done".
#include "platform/filetypes.h"
#include "platform/interaction.h"
#include "puzzle/exportrun.h"
#include "puzzle/sizecommand.h"
#include "puzzle/sizetable.h"
#include "ui/framework.h"
#include "ui/window1.h"

#include <QApplication>
#include <QRadioButton>
#include <QTest>
#include <QTextStream>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

using Clock = std::chrono::steady_clock;

// Answers at once and never opens anything, so that only the program's own work is timed.
class ScriptedPerson final : public platform::Interaction {
public:
    QString picture, folder;
    QStringList messages;
    QStringList asked;
    std::optional<Clock::time_point> folderAnswered, done;

    void msgBox(const QString& text, const QString& detail = {}) override {
        if (text == QLatin1String(puzzle::kDone) && !done)
            done = Clock::now();
        messages << (detail.isEmpty() ? text : text + " (" + detail + ")");
    }
    QString getOpenFile(const QStringList&) override {
        asked << "picture";
        return picture;
    }
    QString selectFolder() override {
        asked << "folder";
        folderAnswered = Clock::now();
        return folder;
    }
    void quit(int) override {}
    void showUrl(const QUrl&) override {}
};

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

int usage() {
    std::fprintf(stderr, "usage: windowbench --grid N PICTURE FOLDER\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5 || std::strcmp(argv[1], "--grid") != 0)
        return usage();
    const puzzle::SizeRow* row = puzzle::rowForGrid(std::atoi(argv[2]));
    if (!row)
        return usage();
    // No display is needed, and none of the time goes to drawing on one.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    platform::InitFileTypes(); // as start-up does, before the window

    ScriptedPerson person;
    person.picture = QFile::decodeName(argv[3]);
    person.folder = QFile::decodeName(argv[4]);
    platform::setInteraction(&person);

    int status = 0;
    {
        ui::Window1& window = ::Window1();
        if (!QTest::qWaitForWindowExposed(&window)) {
            std::fprintf(stderr, "windowbench: the window did not come up\n");
            return 1;
        }
        const QString name = QString::fromLatin1(row->button.data(), qsizetype(row->button.size()));
        auto& button = ui::control<QRadioButton>(window, name);
        const Clock::time_point clicked = Clock::now();
        // The size command runs inside the click, dialogs and all, so this returns when it is over.
        QTest::mouseClick(&button, Qt::LeftButton);
        if (!person.done || !person.folderAnswered ||
            person.asked != QStringList{"picture", "folder"}) {
            QTextStream(stderr) << "windowbench: no \"Done\"; asked for " << person.asked.join(", ")
                                << "; messages: " << person.messages.join(" | ") << "\n";
            status = 1;
        } else {
            std::printf("folder-to-done %.6f\nclick-to-done %.6f\n",
                        seconds(*person.done - *person.folderAnswered),
                        seconds(*person.done - clicked));
        }
    }
    ui::releaseImplicitWindows();
    ui::releaseWindowList();
    platform::setInteraction(nullptr);
    return status;
}
