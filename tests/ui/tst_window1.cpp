// SPDX-License-Identifier: MIT
// The main window and the hidden page window: controls, their states, and what a size click does.
#include "app/commandline.h"
#include "fakeinteraction.h"
#include "platform/filetypes.h"
#include "puzzle/page.h"
#include "puzzle/sizecommand.h"
#include "testpictures.h"
#include "ui/controls.h"
#include "ui/framework.h"
#include "ui/window1.h"
#include "ui/windowtop.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class TestWindow1 : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void controlShouldHaveItsLayout_data();
    void controlShouldHaveItsLayout();
    void controlsShouldStartCleared();
    void windowShouldBeFixedAndTitled();

    void sizeClickShouldSelectAndRunItsCommand_data();
    void sizeClickShouldSelectAndRunItsCommand();
    void sizeClickShouldMakeTheWholePuzzle_data();
    void sizeClickShouldMakeTheWholePuzzle();
    void actionOfUnselectedButtonShouldDoNothing();

    void canvasShouldShowBackdropFromTopLeftClipped();
    void pageWindowShouldBeHiddenAndHoldTheTemplate();
    void editFieldShouldGiveBackExactText();
    void editFieldShouldTakeUserEdits();
    void accessorShouldBuildOnceAndAgainAfterRelease();

private:
    QWidget& content() const { return *m_window->centralWidget(); }
    QRect inWindow(const QWidget& control) const {
        return {control.mapTo(&content(), QPoint(0, 0)), control.size()};
    }
    QRadioButton& sizeButton(int number) const {
        return ui::control<QRadioButton>(*m_window, QStringLiteral("RadioButton%1").arg(number));
    }

    FakeInteraction m_fake;
    std::unique_ptr<ui::Window1> m_window;
};

void TestWindow1::init() {
    platform::InitFileTypes(); // as start-up does, before any window
    m_fake = FakeInteraction();
    platform::setInteraction(&m_fake);
    m_window = std::make_unique<ui::Window1>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void TestWindow1::cleanup() {
    m_window.reset();
    // The page window keeps the page between commands; every test starts from the template.
    ui::releaseImplicitWindows();
    platform::setInteraction(nullptr);
}

void TestWindow1::controlShouldHaveItsLayout_data() {
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("rect"); // window coordinates
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("textSize");

    const QString window = QStringLiteral("Window1Content");
    const QString group = QStringLiteral("GroupBox1");
    QTest::newRow("GroupBox1") << "QGroupBox" << QRect(48, 183, 134, 130) << window << "Select"
                               << 12;
    QTest::newRow("Canvas1") << "ui::Canvas" << QRect(67, 39, 100, 100) << window << "" << 0;
    QTest::newRow("CheckBox1") << "QCheckBox" << QRect(5, 316, 200, 20) << window
                               << "Include Auto Solution Button" << 10;
    QTest::newRow("RadioButton1") << "QRadioButton" << QRect(61, 202, 55, 20) << group << "3x3"
                                  << 12;
    QTest::newRow("RadioButton2") << "QRadioButton" << QRect(61, 223, 55, 20) << group << "4x4"
                                  << 12;
    QTest::newRow("RadioButton3") << "QRadioButton" << QRect(61, 247, 55, 20) << group << "5x5"
                                  << 12;
    QTest::newRow("RadioButton4") << "QRadioButton" << QRect(119, 202, 48, 20) << group << "6x6"
                                  << 12;
    QTest::newRow("RadioButton5") << "QRadioButton" << QRect(119, 223, 48, 20) << group << "7x7"
                                  << 12;
    QTest::newRow("RadioButton6") << "QRadioButton" << QRect(119, 247, 48, 20) << group << "8x8"
                                  << 12;
    QTest::newRow("RadioButton7") << "QRadioButton" << QRect(93, 273, 53, 20) << group << "9x9"
                                  << 12;
}

void TestWindow1::controlShouldHaveItsLayout() {
    QFETCH(QString, className);
    QFETCH(QRect, rect);
    QFETCH(QString, parent);
    QFETCH(QString, caption);
    QFETCH(int, textSize);

    auto* control = m_window->findChild<QWidget*>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(control);
    QCOMPARE(QString::fromLatin1(control->metaObject()->className()), className);
    QCOMPARE(inWindow(*control), rect);
    QCOMPARE(control->parentWidget()->objectName(), parent);
    QVERIFY(control->isEnabled());
    QVERIFY(control->isVisible());

    if (textSize == 0)
        return;
    QString text;
    if (auto* box = qobject_cast<QGroupBox*>(control))
        text = box->title();
    else
        text = qobject_cast<QAbstractButton*>(control)->text();
    QCOMPARE(text, caption);
    const QFont font = control->font();
    QCOMPARE(font.family(), QStringLiteral("Geneva"));
    QCOMPARE(font.pixelSize(), textSize);
    QVERIFY(font.bold());
    QVERIFY(!font.italic());
    QVERIFY(!font.underline());
}

void TestWindow1::controlsShouldStartCleared() {
    for (int n = 1; n <= 7; ++n)
        QVERIFY2(!sizeButton(n).isChecked(), qPrintable(sizeButton(n).objectName()));
    QVERIFY(!ui::control<QCheckBox>(*m_window, "CheckBox1").isChecked());
    QVERIFY(ui::control<ui::Canvas>(*m_window, "Canvas1").backdrop().isNull());
    QVERIFY(!m_window->solveButtonTicked());
    const std::array<bool, puzzle::kSizeCount> none{};
    QCOMPARE(m_window->sizeButtonStates(), none);
}

void TestWindow1::windowShouldBeFixedAndTitled() {
    QCOMPARE(m_window->objectName(), QStringLiteral("Window1"));
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Tilemaven"));
    QCOMPARE(content().size(), QSize(238, 356));
    QCOMPARE(m_window->minimumSize(), m_window->maximumSize());
    const Qt::WindowFlags flags = m_window->windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QCOMPARE(content().palette().color(QPalette::Window), QColor(0xFF, 0xFE, 0xF2));
    // What is actually drawn, away from every control.
    QCOMPARE(content().grab().toImage().pixelColor(10, 10), QColor(0xFF, 0xFE, 0xF2));
}

void TestWindow1::sizeClickShouldSelectAndRunItsCommand_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("grid");
    for (int n = 3; n <= 9; ++n)
        QTest::addRow("%dx%d", n, n) << n - 2 << n;
}

void TestWindow1::sizeClickShouldSelectAndRunItsCommand() {
    QFETCH(int, button);
    QFETCH(int, grid);
    sizeButton(button == 1 ? 2 : 1).setChecked(true); // a click moves the selection

    QTest::mouseClick(&sizeButton(button), Qt::LeftButton);

    for (int n = 1; n <= 7; ++n)
        QCOMPARE(sizeButton(n).isChecked(), n == button);
    // The picture dialog was cancelled: its message, a quit request and no "Done".
    QCOMPARE(m_fake.mainEvents().size(), 4);
    QCOMPARE(m_fake.mainEvents().at(0), QStringLiteral("msg:Choose the picture you want to use"));
    QVERIFY(m_fake.mainEvents().at(1).startsWith("open:"));
    QCOMPARE(m_fake.mainEvents().at(2), QStringLiteral("msg:You need to select a  picture file"));
    QCOMPARE(m_fake.mainEvents().at(3), QStringLiteral("quit:0"));
    // The command filled the page field in place, with this button's size.
    const std::string_view text = puzzle::pageTemplate();
    const QString filled = puzzle::fillPlaceholders(
        QString::fromLatin1(text.data(), qsizetype(text.size())), *puzzle::rowForGrid(grid));
    QCOMPARE(::Windowtop().topField().Text(), filled);
}

void TestWindow1::sizeClickShouldMakeTheWholePuzzle_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<bool>("solve");
    QTest::addColumn<QStringList>("args"); // what the window was started with
    QTest::addColumn<QSize>("fitted");     // the 90x72 picture as it is cut
    const QSize whole(90, 72);
    QTest::newRow("3x3 plain") << 1 << false << QStringList{} << whole;
    QTest::newRow("3x3 solve") << 1 << true << QStringList{} << whole;
    QTest::newRow("9x9 solve") << 7 << true << QStringList{} << whole;
    QTest::newRow("modern, fitted")
        << 2 << true << QStringList{"--window", "--page", "modern", "--fit", "60x60"}
        << QSize(60, 48);
    QTest::newRow("modern, one file")
        << 1 << false << QStringList{"--window", "--page", "modern", "--single-file"} << whole;
    QTest::newRow("classic, fitted")
        << 1 << false << QStringList{"--window", "--fit", "45x45"} << QSize(45, 36);
}

void TestWindow1::sizeClickShouldMakeTheWholePuzzle() {
    QFETCH(int, button);
    QFETCH(bool, solve);
    QFETCH(QStringList, args);
    QFETCH(QSize, fitted);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString picture =
        testpictures::saveJpeg(testpictures::gradient(90, 72), dir.filePath("in.jpg"));
    QVERIFY(!picture.isEmpty());
    QVERIFY(QDir(dir.path()).mkdir("out"));
    m_fake.openAnswers = {picture};
    m_fake.folderAnswers = {dir.filePath("out")};
    puzzle::PageChoice choice;
    if (!args.isEmpty()) {
        QList<QByteArray> bytes{"tilemaven"};
        for (const QString& arg : args)
            bytes << arg.toUtf8();
        QList<char*> argv;
        for (QByteArray& arg : bytes)
            argv << arg.data();
        QCOMPARE(readWindowChoice(int(argv.size()), argv.data(), choice), kStartWindow);
        m_window->setPageChoice(choice);
    }
    if (solve)
        QTest::mouseClick(&ui::control<QCheckBox>(*m_window, "CheckBox1"), Qt::LeftButton);

    QTest::mouseClick(&sizeButton(button), Qt::LeftButton);

    // Started with --window, the written page opens in the browser after "Done", and only then.
    const QString page = dir.filePath("out/index.html");
    QStringList end{"msg:Done", "quit:0"};
    if (!args.isEmpty())
        end.insert(1, "url:" + QUrl::fromLocalFile(page).toString());
    QCOMPARE(m_fake.events.mid(m_fake.events.size() - end.size()), end);
    const int n = button + 2;
    QCOMPARE(testpictures::entries(dir.filePath("out")).size(), choice.singleFile ? 1 : n * n + 2);
    const QByteArray text = testpictures::contents(page);
    QCOMPARE(text.startsWith("<!DOCTYPE html>"), choice.modern);
    if (choice.singleFile)
        return;
    const QImage piece = testpictures::read(dir.filePath("out/Image0.jpg"));
    QCOMPARE(piece.size(), QSize(fitted.width() / n, fitted.height() / n));
    // The preview ends on the blank piece, the last one made.
    const QImage& preview = ui::control<ui::Canvas>(*m_window, "Canvas1").backdrop();
    QCOMPARE(preview.size(), piece.size());
    QVERIFY(testpictures::allNearly(preview, Qt::white));
    // The classic page is the field's text, which now holds the whole page.
    if (!choice.modern) {
        QCOMPARE(text, ::Windowtop().topField().Text().toLatin1());
        QCOMPARE(text.contains("Solve It For Me"), solve);
    } else {
        QCOMPARE(text.contains("id=\"solve\""), solve);
    }
}

void TestWindow1::actionOfUnselectedButtonShouldDoNothing() {
    const QString before = ::Windowtop().topField().Text();
    m_window->RadioButton3_Action();
    QVERIFY(m_fake.events.isEmpty());
    QCOMPARE(::Windowtop().topField().Text(), before);
}

void TestWindow1::canvasShouldShowBackdropFromTopLeftClipped() {
    auto& canvas = ui::control<ui::Canvas>(*m_window, "Canvas1");
    const QColor ground = canvas.grab().toImage().pixelColor(50, 50);

    QImage small(10, 10, QImage::Format_RGB32);
    small.fill(Qt::blue);
    m_window->setPreview(small);
    QCOMPARE(canvas.backdrop(), small);
    QImage shown = canvas.grab().toImage();
    QCOMPARE(shown.pixelColor(0, 0), QColor(Qt::blue));
    QCOMPARE(shown.pixelColor(9, 9), QColor(Qt::blue));
    QCOMPARE(shown.pixelColor(50, 50), ground);

    QImage large(150, 150, QImage::Format_RGB32);
    large.fill(Qt::red);
    large.setPixelColor(99, 99, Qt::green); // the last pixel that fits
    m_window->setPreview(large);
    shown = canvas.grab().toImage();
    QCOMPARE(shown.size(), QSize(100, 100));
    QCOMPARE(shown.pixelColor(0, 0), QColor(Qt::red));
    QCOMPARE(shown.pixelColor(99, 99), QColor(Qt::green));
}

void TestWindow1::pageWindowShouldBeHiddenAndHoldTheTemplate() {
    QVERIFY(!ui::implicitWindow("Windowtop.Windowtop"));
    ui::Windowtop& page = ::Windowtop();
    QVERIFY(!page.isVisible());
    QCOMPARE(page.windowTitle(), QStringLiteral("Untitled"));
    QCOMPARE(page.size(), QSize(618, 597));
    ui::EditField& field = page.topField();
    QCOMPARE(field.objectName(), QStringLiteral("topField"));
    QCOMPARE(field.geometry(), QRect(20, 14, 578, 563));
    QCOMPARE(field.font().family(), QStringLiteral("Geneva"));
    QCOMPARE(field.font().pixelSize(), 12);
    QCOMPARE(field.verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    const std::string_view text = puzzle::pageTemplate();
    QCOMPARE(field.Text(), QString::fromLatin1(text.data(), qsizetype(text.size())));
    QCOMPARE(field.Text().count('\r'), 95);
    QCOMPARE(field.document()->blockCount(), 96); // shown as the template's 96 lines
    QCOMPARE(m_window->pageFieldText(), field.Text());
}

void TestWindow1::editFieldShouldGiveBackExactText() {
    const QString texts[] = {
        QStringLiteral("one\rtwo\r\rthree\r"),
        QStringLiteral("\r\n mixed \n ends \r"),
        QString(),
    };
    for (const QString& text : texts) {
        m_window->setPageFieldText(text);
        QCOMPARE(m_window->pageFieldText(), text);
    }
}

void TestWindow1::editFieldShouldTakeUserEdits() {
    ui::EditField field;
    field.setText(QStringLiteral("ab\rcd"));
    QTextCursor end = field.textCursor();
    end.movePosition(QTextCursor::End);
    field.setTextCursor(end);
    QTest::keyClick(&field, Qt::Key_Return);
    QTest::keyClicks(&field, "ef");
    QCOMPARE(field.Text(), QStringLiteral("ab\rcd\ref"));
}

void TestWindow1::accessorShouldBuildOnceAndAgainAfterRelease() {
    QVERIFY(!ui::implicitWindow("Window1.Window1"));
    ui::Window1& first = ::Window1();
    QVERIFY(first.isVisible());
    QCOMPARE(&::Window1(), &first);
    QPointer<ui::Window1> held(&first);
    ui::releaseImplicitWindows();
    QVERIFY(held.isNull());
    QVERIFY(&::Window1() != nullptr && ::Window1().isVisible());
}

QTEST_MAIN(TestWindow1)
#include "tst_window1.moc"
