// SPDX-License-Identifier: MIT
// The Help and About windows: their layout, the exact help text and the web-site link.
#include "fakeinteraction.h"
#include "puzzle/page.h"
#include "ui/aboutwindow.h"
#include "ui/controls.h"
#include "ui/framework.h"
#include "ui/helpwindow.h"

#include <QtTest>

class TestHelpAbout : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void helpWindowShouldHaveItsLayout();
    void helpTextShouldBeExact();
    void helpEditsShouldNotOutliveTheWindow();
    void resizingShouldMoveNothing();

    void aboutTextShouldHaveItsLayout_data();
    void aboutTextShouldHaveItsLayout();
    void aboutWindowShouldBeWhite();
    void pressOnSiteShouldOpenItEveryTime();

private:
    FakeInteraction m_fake;
};

void TestHelpAbout::init() {
    m_fake = FakeInteraction();
    platform::setInteraction(&m_fake);
}

void TestHelpAbout::cleanup() {
    ui::releaseImplicitWindows();
    platform::setInteraction(nullptr);
}

void TestHelpAbout::helpWindowShouldHaveItsLayout() {
    ui::HelpWindow& help = ::HelpWindow();
    QVERIFY(help.isVisible());
    QCOMPARE(help.windowTitle(), QStringLiteral("Help"));
    QCOMPARE(help.size(), QSize(590, 622));
    QCOMPARE(help.minimumSize(), QSize(64, 64));
    QCOMPARE(help.maximumSize(), QSize(32000, 32000));
    QVERIFY(help.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(help.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));

    ui::EditField& field = help.EditField1();
    QCOMPARE(field.geometry(), QRect(9, 19, 550, 583));
    QCOMPARE(field.font().family(), QStringLiteral("Geneva"));
    QCOMPARE(field.font().pixelSize(), 14);
    QVERIFY(!field.font().bold());
    QVERIFY(!field.isReadOnly());
    QVERIFY(field.tabChangesFocus());
    QCOMPARE(field.verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(field.horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(field.palette().color(QPalette::Text), QColor(Qt::black));
    QCOMPARE(field.palette().color(QPalette::Base), QColor(Qt::white));
}

void TestHelpAbout::helpTextShouldBeExact() {
    const QString expected = QStringLiteral(
        "To make a puzzle all you need to do is \r"
        "1)  Launch the application.\r"
        "\r"
        "2) If you want it to have a \"solve it for me button\" , click the checkbox at the "
        "bottom.\r"
        "3) Use the radio buttons to choose a 3x3 puzzle (easy), 4x4, 5x5 ... 9x9(hard).\r"
        "4)  When asked choose the picture you want to make into a puzzle. The picture can be any "
        "size and aspect ratio and can be either a jpeg(.jpg) or Gif(.gif)\r"
        "5) When asked, choose (or create on some OSs) the folder into which  you want to save "
        "your project, which will include  index.html and all image pieces.\r"
        "6)  Open index.html with a web browser and you are done.\r"
        "\r"
        "Notes:\r"
        "1) If you choose 5x5, for example, and the image height and or width are not both "
        "multiples of 5, pixels will be trimed so that they are.\r"
        "2) If you change the number of puzzle pieces (and thus their size), with some browsers "
        "you will have to clear cache or even quit and restart to get the browser to recognize "
        "the change. \r"
        "3) If the application crashes, increase the memory size if possible, or use a smaller "
        "picture.");
    ui::EditField& field = ::HelpWindow().EditField1();
    QCOMPARE(field.Text(), expected);
    QCOMPARE(field.document()->blockCount(), 13); // one shown line per help line
}

void TestHelpAbout::helpEditsShouldNotOutliveTheWindow() {
    ui::HelpWindow& help = ::HelpWindow();
    const QString original = help.EditField1().Text();
    QTest::keyClicks(&help.EditField1(), "scribble");
    QVERIFY(help.EditField1().Text() != original);

    QPointer<QWidget> closed(&help);
    help.close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(closed.isNull());
    QCOMPARE(::HelpWindow().EditField1().Text(), original);
}

void TestHelpAbout::resizingShouldMoveNothing() {
    ui::HelpWindow& help = ::HelpWindow();
    ui::AboutWindow& about = ::AboutWindow();
    help.resize(900, 900);
    about.resize(700, 500);
    QCoreApplication::processEvents();
    QCOMPARE(help.EditField1().geometry(), QRect(9, 19, 550, 583));
    QCOMPARE(about.staticText(1).geometry(), QRect(20, 14, 296, 87));
    QCOMPARE(about.staticText(4).geometry(), QRect(20, 165, 275, 40));
}

void TestHelpAbout::aboutTextShouldHaveItsLayout_data() {
    QTest::addColumn<int>("number");
    QTest::addColumn<QRect>("rect");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("size");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<bool>("multiLine");
    QTest::addColumn<bool>("underline");

    const QColor blue(0x18, 0x22, 0xCD);
    const QString credit = QStringLiteral("Tilemaven V3.0.5\r2026 The Tilemaven developers\r") +
                           QString::fromLatin1(puzzle::kMakerContact.data());
    const QString site = QString::fromLatin1(puzzle::kMakerUrlText.data());
    QTest::newRow("StaticText1") << 1 << QRect(20, 14, 296, 87) << credit << 18 << blue << true
                                 << false;
    QTest::newRow("StaticText2") << 2 << QRect(20, 104, 347, 26) << "Visit:" << 14
                                 << QColor(Qt::black) << false << false;
    QTest::newRow("StaticText3") << 3 << QRect(20, 126, 264, 33) << site << 14 << blue << false
                                 << true;
    QTest::newRow("StaticText4") << 4 << QRect(20, 165, 275, 40)
                                 << "More free software is waiting for you there!" << 15
                                 << QColor(0xDA, 0x45, 0x6B) << true << false;
}

void TestHelpAbout::aboutTextShouldHaveItsLayout() {
    QFETCH(int, number);
    QFETCH(QRect, rect);
    QFETCH(QString, text);
    QFETCH(int, size);
    QFETCH(QColor, colour);
    QFETCH(bool, multiLine);
    QFETCH(bool, underline);

    ui::AboutWindow& about = ::AboutWindow();
    ui::StaticText& label = about.staticText(number);
    QCOMPARE(label.objectName(), QString::fromLatin1(QTest::currentDataTag()));
    QCOMPARE(label.parentWidget(), &about);
    QCOMPARE(label.geometry(), rect);
    QCOMPARE(label.Text(), text);
    QCOMPARE(label.text().count('\n'), text.count('\r')); // carriage returns shown as lines
    QCOMPARE(label.font().family(), QStringLiteral("Geneva"));
    QCOMPARE(label.font().pixelSize(), size);
    QVERIFY(label.font().bold());
    QVERIFY(!label.font().italic());
    QCOMPARE(label.font().underline(), underline);
    QCOMPARE(label.palette().color(QPalette::WindowText), colour);
    QCOMPARE(label.wordWrap(), multiLine);
}

void TestHelpAbout::aboutWindowShouldBeWhite() {
    ui::AboutWindow& about = ::AboutWindow();
    QVERIFY(about.isVisible());
    QCOMPARE(about.windowTitle(), QStringLiteral("About"));
    QCOMPARE(about.size(), QSize(345, 225));
    QCOMPARE(about.grab().toImage().pixelColor(5, 5), QColor(Qt::white));
}

void TestHelpAbout::pressOnSiteShouldOpenItEveryTime() {
    ui::AboutWindow& about = ::AboutWindow();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    const QString opened = "url:" + QString::fromLatin1(puzzle::kMakerUrl.data());

    QTest::mousePress(&about.staticText(3), Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(m_fake.events, QStringList{opened}); // on the press, before any release
    QTest::mouseRelease(&about.staticText(3), Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseClick(&about.staticText(3), Qt::LeftButton, {}, QPoint(40, 10));
    QCOMPARE(m_fake.events, (QStringList{opened, opened}));

    for (int other : {1, 2, 4})
        QTest::mouseClick(&about.staticText(other), Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(m_fake.events.size(), 2);
    QVERIFY(!about.StaticText3_MouseDown(0, 0)); // not reported as handled
}

QTEST_MAIN(TestHelpAbout)
#include "tst_helpabout.moc"
