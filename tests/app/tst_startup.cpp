// SPDX-License-Identifier: MIT
// The application from its entry to its exit status: what start-up shows, how it quits and the
// order in which shutdown lets go of the shared objects.
#include "app/app.h"
#include "app/commandline.h"
#include "app/door.h"
#include "app/startup.h"
#include "fakeinteraction.h"
#include "platform/filetypes.h"
#include "recordingregistry.h"
#include "testpictures.h"
#include "ui/framework.h"
#include "ui/menu.h"
#include "ui/window1.h"

#include <QAction>
#include <QRadioButton>
#include <QStyle>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>

namespace {

// Runs once the event loop has started: the test's look at the running application.
std::function<void()> g_whileRunning;

void scheduleWhileRunning() {
    QCoreApplication* app = QCoreApplication::instance();
    QTimer::singleShot(0, app, [] {
        if (g_whileRunning)
            g_whileRunning();
    });
    // A loop that nothing ends would hang the test; this ends it with a status no path gives.
    QTimer::singleShot(20000, app, [] { QCoreApplication::exit(99); });
}

// The scripted person, except that quitting really ends the event loop.
class QuittingFake final : public platform::Interaction {
public:
    FakeInteraction fake;
    void msgBox(const QString& text, const QString& detail) override { fake.msgBox(text, detail); }
    QString getOpenFile(const QStringList& filters) override { return fake.getOpenFile(filters); }
    QString selectFolder() override { return fake.selectFolder(); }
    void quit(int code) override {
        fake.quit(code);
        QCoreApplication::exit(code);
    }
    void showUrl(const QUrl& url) override { fake.showUrl(url); }
};

int runApplication() {
    static char name[] = "tilemaven";
    static char* argv[] = {name, nullptr};
    static int argc = 1;
    argc = 1;
    return app::run(argc, argv);
}

QStringList visibleWindows() {
    QStringList names;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible())
            names << w->objectName();
    return names;
}

} // namespace

class TestStartup : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void startUpShouldShowTheMainWindowAlone();
    void quitBeforeAnyPuzzleShouldShutDownInOrder();
    void doneShouldEndTheProcessAfterTheReleases();
    void argumentsDecideBetweenWindowAndCommandLine_data();
    void argumentsDecideBetweenWindowAndCommandLine();
    void qtArgumentsGoToQt();
    void launcherActionsStartTheirPages_data();
    void launcherActionsStartTheirPages();
};

void TestStartup::initTestCase() {
    qAddPreRoutine(scheduleWhileRunning);
    // Every start-up in this process registers its file types with the recording registry.
    RecordingRegistry::installed();
}

void TestStartup::cleanup() {
    g_whileRunning = nullptr;
    platform::setInteraction(nullptr);
}

void TestStartup::startUpShouldShowTheMainWindowAlone() {
    QStringList windows;
    bool othersMade = true, barInWindow = false, typesDeclared = false, appRegistered = false;
    bool commandsEnabled = false;
    g_whileRunning = [&] {
        windows = visibleWindows();
        othersMade = ui::implicitWindow("Windowtop.Windowtop") ||
                     ui::implicitWindow("HelpWindow.HelpWindow") ||
                     ui::implicitWindow("AboutWindow.AboutWindow");
        barInWindow = ::Window1().menuWidget() == &::Menu();
        const auto& registry = platform::FileTypeRegistry::instance();
        typesDeclared = registry.contains("image/jpeg") && registry.contains("image/gif") &&
                        registry.contains("text/plain");
        appRegistered = &::App() == QCoreApplication::instance();
        commandsEnabled = ::AboutTilemaven().Enabled() && ::Helpinstructions().Enabled();
        QCoreApplication::exit(0);
    };
    QCOMPARE(runApplication(), 0);
    QCOMPARE(windows, QStringList{"Window1"});
    QVERIFY(!othersMade);
    QVERIFY(barInWindow);
    QVERIFY(typesDeclared);
    QVERIFY(appRegistered);
    QVERIFY(commandsEnabled);
    QVERIFY_THROWS_EXCEPTION(ui::NilObjectException, ::App()); // ended with the runtime
}

void TestStartup::quitBeforeAnyPuzzleShouldShutDownInOrder() {
    // What is still there when each shared object goes says in which order they went.
    QStringList order;
    const auto typesLeft = [] {
        return QString::number(platform::FileTypeRegistry::instance().entries().size());
    };
    g_whileRunning = [&] {
        QObject::connect(&::Window1(), &QObject::destroyed,
                         [&] { order << "Window1 with types " + typesLeft(); });
        QObject::connect(&::Menu(), &QObject::destroyed,
                         [&] { order << "Menu with types " + typesLeft(); });
        RecordingRegistry::installed().log.clear();
        ::Menu().Lookup("FileQuit")->action()->trigger();
    };
    QCOMPARE(runApplication(), 0);
    QCOMPARE(order, (QStringList{"Window1 with types 3", "Menu with types 0"}));
    QCOMPARE(
        RecordingRegistry::installed().log,
        (QStringList{"deregister image/jpeg", "deregister image/gif", "deregister text/plain"}));
    QVERIFY(!platform::FileTypes::pImageJpeg && !platform::FileTypes::pTextPlain);
}

void TestStartup::doneShouldEndTheProcessAfterTheReleases() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString picture =
        testpictures::saveJpeg(testpictures::gradient(60, 60), dir.filePath("in.jpg"));
    QVERIFY(!picture.isEmpty());
    QuittingFake person;
    person.fake.openAnswers = {picture};
    person.fake.folderAnswers = {dir.path()};
    platform::setInteraction(&person);

    QStringList seenAtRelease;
    g_whileRunning = [&] {
        QObject::connect(&::Window1(), &QObject::destroyed,
                         [&] { seenAtRelease = person.fake.events; });
        auto& button = ui::control<QRadioButton>(::Window1(), "RadioButton1");
        QTest::mouseClick(&button, Qt::LeftButton);
    };
    QCOMPARE(runApplication(), 0);
    QCOMPARE(person.fake.messages.last(), QStringLiteral("Done"));
    QCOMPARE(seenAtRelease, person.fake.events);
    QCOMPARE(seenAtRelease.last(), QStringLiteral("quit:0"));
    QVERIFY(QFile::exists(dir.filePath("index.html")));
    QVERIFY(QFile::exists(dir.filePath("Image8.jpg")));
}

void TestStartup::argumentsDecideBetweenWindowAndCommandLine_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("commandLine");
    QTest::newRow("none") << QStringList{} << false;
    QTest::newRow("a desktop session being restored")
        << QStringList{"-session", "1234abc"} << false;
    QTest::newRow("Qt's own") << QStringList{"-platform", "xcb",    "-display", ":1",
                                             "-style",    "fusion", "-reverse"}
                              << false;
    QTest::newRow("Qt's own, joined")
        << QStringList{"-style=fusion", "-platform=offscreen"} << false;
    // Names without an option of ours are the command line's, which says that --grid is missing.
    QTest::newRow("paths alone") << QStringList{"photo.jpg", "out"} << true;
    QTest::newRow("paths beside Qt's") << QStringList{"-style", "fusion", "a.jpg", "out"} << true;
    QTest::newRow("grid") << QStringList{"--grid", "3", "photo.jpg", "out"} << true;
    QTest::newRow("grid joined") << QStringList{"--grid=3", "photo.jpg", "out"} << true;
    QTest::newRow("beside Qt's") << QStringList{"-style", "fusion", "--grid", "3"} << true;
    for (const char* own : {"--help", "-h", "--help-all", "--version", "-v", "--solve-button"})
        QTest::addRow("%s", own) << QStringList{own} << true;
    QTest::newRow("only after --") << QStringList{"--", "--grid"} << true;
    QTest::newRow("-- alone") << QStringList{"--"} << false;
    QTest::newRow("like ours") << QStringList{"--gridded", "-hv", "--helpful"} << false;
    // The modern page's options ask for the command line alone too, so that a mistaken
    // `tilemaven --page modern` says what is missing instead of opening the window.
    for (const char* own : {"--page=modern", "--title=x", "--fit=9x9", "--single-file"})
        QTest::addRow("%s", own) << QStringList{own} << true;
    QTest::newRow("fit apart") << QStringList{"--fit", "9x9", "a.jpg", "out"} << true;
    QTest::newRow("like the new ones") << QStringList{"--pages", "--fitting", "--titles"} << false;
    // --window starts the window with the page's options; a question is still answered.
    QTest::newRow("window") << QStringList{"--window", "--page", "modern", "-style", "x"} << false;
    QTest::newRow("window, help") << QStringList{"--window", "--help"} << true;
}

void TestStartup::argumentsDecideBetweenWindowAndCommandLine() {
    QFETCH(QStringList, args);
    QFETCH(bool, commandLine);
    QList<QByteArray> bytes{"tilemaven"};
    for (const QString& arg : args)
        bytes << arg.toUtf8();
    QList<char*> argv;
    for (QByteArray& arg : bytes)
        argv << arg.data();
    argv << nullptr;
    const app::Start start = app::readDoor(int(bytes.size()), argv.data()).start;
    QCOMPARE(start == app::Start::CommandLine, commandLine);
    QCOMPARE(start == app::Start::ChosenWindow, !commandLine && args.contains("--window"));
}

// The window starts with Qt's standard arguments, and Qt acts on them; beside --window, Qt gets
// only its own, and the window its page.
void TestStartup::qtArgumentsGoToQt() {
    static char name[] = "tilemaven", style[] = "-style", fusion[] = "fusion",
                session[] = "-session", id[] = "restored-session-1", reverse[] = "-reverse",
                window[] = "--window", page[] = "--page", modern[] = "modern";
    static char* argv[] = {name,   window,  style, fusion,  page,
                           modern, session, id,    reverse, nullptr};
    app::Door door = app::readDoor(9, argv);
    QCOMPARE(door.start, app::Start::ChosenWindow);
    puzzle::PageChoice choice;
    QCOMPARE(readWindowChoice(door.ourCount(), door.ours.data(), choice), kStartWindow);
    QCOMPARE(door.qtCount(), 6);
    QStringList windows;
    QString styleName, title;
    Qt::LayoutDirection direction = Qt::LeftToRight;
    g_whileRunning = [&] {
        windows = visibleWindows();
        styleName = QApplication::style()->name();
        direction = QApplication::layoutDirection();
        title = ::Window1().windowTitle();
        QCoreApplication::exit(0);
    };
    int argc = door.qtCount();
    QCOMPARE(app::run(argc, door.qt.data(), &choice), 0);
    QCOMPARE(windows, QStringList{"Window1"});
    QCOMPARE(styleName.toLower(), QStringLiteral("fusion"));
    QCOMPARE(direction, Qt::RightToLeft);
    QCOMPARE(title, QStringLiteral("Tilemaven: a modern puzzle"));
}

// The launcher's actions start the window for their pages.
void TestStartup::launcherActionsStartTheirPages_data() {
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("singleFile");
    QTest::newRow("modern") << "modern" << false;
    QTest::newRow("share") << "share" << true;
}

void TestStartup::launcherActionsStartTheirPages() {
    QFETCH(QString, action);
    QFETCH(bool, singleFile);
    QFile file(QStringLiteral(TILEMAVEN_DESKTOP_FILE));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString entry = QString::fromUtf8(file.readAll());
    const QString exec = entry.section("[Desktop Action " + action + "]", 1).section("Exec=", 1);
    QList<QByteArray> bytes = exec.section('\n', 0, 0).toUtf8().split(' ');
    QCOMPARE(bytes.front(), QByteArray("tilemaven"));
    QList<char*> argv;
    for (QByteArray& arg : bytes)
        argv << arg.data();
    app::Door door = app::readDoor(int(argv.size()), argv.data());
    QCOMPARE(door.start, app::Start::ChosenWindow);
    puzzle::PageChoice choice;
    QCOMPARE(readWindowChoice(door.ourCount(), door.ours.data(), choice), kStartWindow);
    QVERIFY(choice.modern);
    QCOMPARE(choice.singleFile, singleFile);
}

QTEST_APPLESS_MAIN(TestStartup)
#include "tst_startup.moc"
