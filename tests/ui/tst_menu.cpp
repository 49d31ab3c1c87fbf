// SPDX-License-Identifier: MIT
// The menu bar: its entries, their enabling, the About and Instructions commands, the Edit items
// and Quit.
#include "fakeinteraction.h"
#include "ui/aboutwindow.h"
#include "ui/controls.h"
#include "ui/framework.h"
#include "ui/helpwindow.h"
#include "ui/menu.h"
#include "ui/window1.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QLineEdit>
#include <QMenu>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>

class TestMenu : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void barShouldHoldFourMenusInOrder();
    void entryShouldHaveItsProperties_data();
    void entryShouldHaveItsProperties();
    void barShouldStandInTheMainWindow();
    void accessorsShouldFindItemsInTheApplicationBar();

    void openingAMenuShouldEnableAboutAndInstructions_data();
    void openingAMenuShouldEnableAboutAndInstructions();
    void commandShouldShowOneWindowHoweverOftenChosen_data();
    void commandShouldShowOneWindowHoweverOftenChosen();

    void editItemsShouldFollowTheFocusedField();
    void editItemsShouldActOnTheFocusedField();
    void shortcutsShouldWorkInTheHelpWindow();
    void quitShouldAskToQuitWithoutAQuestion();
    void quitShortcutShouldEndTheEventLoop();

private:
    static ui::MenuItem& item(const char* name) {
        ui::MenuItem* found = ::Menu().Lookup(QString::fromLatin1(name));
        if (!found)
            qFatal("no menu item %s", name);
        return *found;
    }
    static int windowsNamed(const QString& name) {
        int count = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            count += w->objectName() == name;
        return count;
    }
    static void flushDeletes() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    FakeInteraction m_fake;
};

void TestMenu::initTestCase() {
    ui::setApplicationMenuBar(*qApp, &::Menu());
}

void TestMenu::init() {
    m_fake = FakeInteraction();
    platform::setInteraction(&m_fake);
    ::Window1().activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&::Window1()));
}

void TestMenu::cleanup() {
    platform::setInteraction(nullptr);
    for (const char* name : {"HelpWindow.HelpWindow", "AboutWindow.AboutWindow"})
        delete ui::implicitWindow(QString::fromLatin1(name));
}

void TestMenu::cleanupTestCase() {
    ui::releaseImplicitWindows();
    ui::releaseMenu();
}

void TestMenu::barShouldHoldFourMenusInOrder() {
    ui::Menu& bar = ::Menu();
    QCOMPARE(bar.Count(), 4);
    const QStringList names = {"UntitledMenu4", "UntitledMenu1", "Help", "UntitledMenu0"};
    const QStringList texts = {"File", "Edit", "", "Help"};
    const int counts[] = {1, 7, 0, 2};
    QCOMPARE(bar.actions().size(), 4);
    for (int i = 0; i < 4; ++i) {
        ui::MenuItem& menu = *bar.Item(i);
        QCOMPARE(menu.Name(), names[i]);
        QCOMPARE(menu.Text(), texts[i]);
        QCOMPARE(menu.Count(), counts[i]);
        QCOMPARE(QString::fromLatin1(menu.metaObject()->className()), "ui::MenuItem");
        QVERIFY(menu.AutoEnable());
        QVERIFY(menu.KeyboardShortcut().isEmpty());
        QCOMPARE(bar.actions().at(i), menu.action());
        // The entry with no text and no items is kept out of sight.
        QCOMPARE(menu.Visible(), i != 2);
    }
}

void TestMenu::entryShouldHaveItsProperties_data() {
    QTest::addColumn<QString>("menu");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QKeySequence>("shortcut");

    const auto ctrl = [](Qt::Key key) { return QKeySequence(Qt::CTRL | key); };
    QTest::newRow("FileQuit") << "UntitledMenu4" << 0 << "ui::QuitMenuItem"
                              << "Quit" << ctrl(Qt::Key_Q);
    QTest::newRow("EditUndo") << "UntitledMenu1" << 0 << "ui::MenuItem"
                              << "Undo" << ctrl(Qt::Key_Z);
    QTest::newRow("UntitledMenu3") << "UntitledMenu1" << 1 << "ui::MenuItem"
                                   << "-" << QKeySequence();
    QTest::newRow("EditCut") << "UntitledMenu1" << 2 << "ui::MenuItem"
                             << "Cut" << ctrl(Qt::Key_X);
    QTest::newRow("EditCopy") << "UntitledMenu1" << 3 << "ui::MenuItem"
                              << "Copy" << ctrl(Qt::Key_C);
    QTest::newRow("EditPaste") << "UntitledMenu1" << 4 << "ui::MenuItem"
                               << "Paste" << ctrl(Qt::Key_V);
    QTest::newRow("EditClear") << "UntitledMenu1" << 5 << "ui::MenuItem"
                               << "Clear" << QKeySequence();
    QTest::newRow("UntitledMenu2") << "UntitledMenu1" << 6 << "ui::MenuItem"
                                   << "-" << QKeySequence();
    QTest::newRow("Helpinstructions") << "UntitledMenu0" << 0 << "ui::MenuItem"
                                      << "Instructions" << QKeySequence();
    QTest::newRow("AboutTilemaven") << "UntitledMenu0" << 1 << "ui::AppleMenuItem"
                                    << "About Tilemaven" << QKeySequence();
}

void TestMenu::entryShouldHaveItsProperties() {
    QFETCH(QString, menu);
    QFETCH(int, index);
    QFETCH(QString, className);
    QFETCH(QString, text);
    QFETCH(QKeySequence, shortcut);

    ui::MenuItem* parent = ::Menu().Child(menu);
    QVERIFY(parent);
    ui::MenuItem* entry = parent->Item(index);
    QVERIFY(entry);
    QCOMPARE(entry->Name(), QString::fromLatin1(QTest::currentDataTag()));
    QCOMPARE(QString::fromLatin1(entry->metaObject()->className()), className);
    QCOMPARE(entry->Text(), text);
    QCOMPARE(entry->isSeparator(), text == "-");
    // A style draws whatever text a separator has beside its line: it must have none.
    if (entry->isSeparator())
        QVERIFY(entry->action()->text().isEmpty() && entry->action()->iconText().isEmpty());
    QCOMPARE(entry->KeyboardShortcut(), shortcut);
    QVERIFY(entry->AutoEnable());
    QCOMPARE(parent->menu()->actions().at(index), entry->action());
}

void TestMenu::barShouldStandInTheMainWindow() {
    QCOMPARE(::Window1().menuWidget(), &::Menu());
    QVERIFY(::Menu().isVisible());
    // The content area keeps its size below the bar.
    QCOMPARE(::Window1().centralWidget()->size(), QSize(238, 356));
}

void TestMenu::accessorsShouldFindItemsInTheApplicationBar() {
    QCOMPARE(&::AboutTilemaven(), ::Menu().Lookup("AboutTilemaven"));
    QCOMPARE(&::Helpinstructions(), ::Menu().Lookup("Helpinstructions"));
    ui::setApplicationMenuBar(*qApp, nullptr);
    QVERIFY_THROWS_EXCEPTION(ui::NilObjectException, ::AboutTilemaven());
    QVERIFY_THROWS_EXCEPTION(ui::NilObjectException, ::Helpinstructions());
    ui::setApplicationMenuBar(*qApp, &::Menu());
}

void TestMenu::openingAMenuShouldEnableAboutAndInstructions_data() {
    QTest::addColumn<QString>("menu");
    QTest::newRow("File") << "UntitledMenu4";
    QTest::newRow("Edit") << "UntitledMenu1";
    QTest::newRow("Help") << "UntitledMenu0";
}

void TestMenu::openingAMenuShouldEnableAboutAndInstructions() {
    QFETCH(QString, menu);
    item("AboutTilemaven").setEnabled(false);
    item("Helpinstructions").setEnabled(false);
    emit ::Menu().Child(menu)->menu()->aboutToShow();
    QVERIFY(item("AboutTilemaven").Enabled());
    QVERIFY(item("Helpinstructions").Enabled());
}

void TestMenu::commandShouldShowOneWindowHoweverOftenChosen_data() {
    QTest::addColumn<QString>("window");
    QTest::newRow("AboutTilemaven") << "AboutWindow";
    QTest::newRow("Helpinstructions") << "HelpWindow";
}

void TestMenu::commandShouldShowOneWindowHoweverOftenChosen() {
    QFETCH(QString, window);
    ui::MenuItem& command = item(QTest::currentDataTag());
    ui::control<QCheckBox>(::Window1(), "CheckBox1").setChecked(true);
    ui::control<QRadioButton>(::Window1(), "RadioButton4").setChecked(true);
    QCOMPARE(windowsNamed(window), 0);

    command.action()->trigger();
    QWidget* first = ui::implicitWindow(window + '.' + window);
    QVERIFY(first);
    QVERIFY(first->isVisible());
    command.action()->trigger();
    command.action()->trigger();
    QCOMPARE(windowsNamed(window), 1);
    QCOMPARE(ui::implicitWindow(window + '.' + window), first);

    // Once closed it is gone, and the command builds a new one.
    QPointer<QWidget> closed(first);
    first->close();
    flushDeletes();
    QVERIFY(closed.isNull());
    command.action()->trigger();
    QCOMPARE(windowsNamed(window), 1);
    QVERIFY(ui::implicitWindow(window + '.' + window)->isVisible());

    // The main window is left as it was, and nothing was said.
    QVERIFY(ui::control<QCheckBox>(::Window1(), "CheckBox1").isChecked());
    QVERIFY(ui::control<QRadioButton>(::Window1(), "RadioButton4").isChecked());
    QVERIFY(m_fake.events.isEmpty());
    ui::control<QCheckBox>(::Window1(), "CheckBox1").setChecked(false);
}

void TestMenu::editItemsShouldFollowTheFocusedField() {
    const char* edits[] = {"EditUndo", "EditCut", "EditCopy", "EditPaste", "EditClear"};
    QGuiApplication::clipboard()->setText("clip");

    // Nothing in the main window takes text.
    ui::control<QCheckBox>(::Window1(), "CheckBox1").setFocus();
    ui::updateMenus();
    for (const char* name : edits)
        QVERIFY2(!item(name).Enabled(), name);

    ::Window1().Helpinstructions_Action();
    ui::EditField& field = ::HelpWindow().EditField1();
    QVERIFY(QTest::qWaitForWindowActive(&::HelpWindow()));
    field.setFocus();
    QCOMPARE(QApplication::focusWidget(), &field);
    ui::updateMenus();
    QVERIFY(!item("EditUndo").Enabled());
    QVERIFY(!item("EditCopy").Enabled());
    QVERIFY(!item("EditCut").Enabled());
    QVERIFY(!item("EditClear").Enabled());
    QVERIFY(item("EditPaste").Enabled());

    field.selectAll();
    ui::updateMenus();
    for (const char* name : {"EditCut", "EditCopy", "EditClear", "EditPaste"})
        QVERIFY2(item(name).Enabled(), name);

    field.setReadOnly(true);
    ui::updateMenus();
    QVERIFY(item("EditCopy").Enabled());
    for (const char* name : {"EditCut", "EditClear", "EditPaste", "EditUndo"})
        QVERIFY2(!item(name).Enabled(), name);
}

void TestMenu::editItemsShouldActOnTheFocusedField() {
    // A line field and a text field take the commands the same way.
    QWidget window;
    auto* line = new QLineEdit("alpha beta", &window);
    auto* text = new ui::EditField(&window);
    text->move(0, 40);
    text->setText("one\rtwo");
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    const auto choose = [](const char* name) {
        ui::updateMenus();
        item(name).action()->trigger();
    };

    line->setFocus();
    line->setSelection(0, 5);
    choose("EditCopy");
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("alpha"));
    choose("EditCut");
    QCOMPARE(line->text(), QStringLiteral(" beta"));
    line->setSelection(0, 1);
    choose("EditClear");
    QCOMPARE(line->text(), QStringLiteral("beta"));
    line->end(false);
    choose("EditPaste");
    QCOMPARE(line->text(), QStringLiteral("betaalpha"));
    choose("EditUndo");
    QCOMPARE(line->text(), QStringLiteral("beta"));

    text->setFocus();
    text->selectAll();
    choose("EditCopy");
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("one\ntwo"));
    QTextCursor first = text->textCursor();
    first.setPosition(0);
    first.setPosition(4, QTextCursor::KeepAnchor);
    text->setTextCursor(first);
    choose("EditClear");
    QCOMPARE(text->Text(), QStringLiteral("two"));
    choose("EditUndo");
    QCOMPARE(text->Text(), QStringLiteral("one\rtwo"));
}

void TestMenu::shortcutsShouldWorkInTheHelpWindow() {
    // The bar stands in the main window, yet its shortcuts reach the Help window too, and the
    // text field keeps its own copy shortcut.
    QGuiApplication::clipboard()->clear();
    ::Window1().Helpinstructions_Action();
    QVERIFY(QTest::qWaitForWindowActive(&::HelpWindow()));
    ui::EditField& field = ::HelpWindow().EditField1();
    field.setFocus();
    ui::updateMenus(); // no selection yet: the Copy item goes disabled, the field copies itself
    field.selectAll();
    QTest::keyClick(&field, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), field.toPlainText());
    QVERIFY(!QGuiApplication::clipboard()->text().isEmpty());

    QTest::keyClick(&field, Qt::Key_Q, Qt::ControlModifier);
    QCOMPARE(m_fake.events, QStringList{"quit:0"});
}

void TestMenu::quitShouldAskToQuitWithoutAQuestion() {
    item("FileQuit").action()->trigger();
    QCOMPARE(m_fake.events, QStringList{"quit:0"});
}

void TestMenu::quitShortcutShouldEndTheEventLoop() {
    platform::setInteraction(nullptr); // the real thing: Quit must end this loop
    QTimer::singleShot(0, [] { QTest::keyClick(&::Window1(), Qt::Key_Q, Qt::ControlModifier); });
    QTimer::singleShot(10000, [] { QCoreApplication::exit(99); }); // a loop that never ends
    QCOMPARE(QCoreApplication::exec(), 0);
}

QTEST_MAIN(TestMenu)
#include "tst_menu.moc"
