// SPDX-License-Identifier: MIT
#include "ui/aboutwindow.h"

#include "platform/interaction.h"
#include "puzzle/page.h"
#include "ui/controls.h"
#include "ui/framework.h"

#include <QUrl>

namespace ui {
namespace {

const QColor kBlue(0x18, 0x22, 0xCD);
const QColor kRose(0xDA, 0x45, 0x6B);

QString latin1(std::string_view text) {
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

struct TextLayout {
    QRect rect;
    int size;
    QColor colour;
    bool multiLine;
    bool underline;
};

const TextLayout kTexts[] = {
    {{20, 14, 296, 87}, 18, kBlue, true, false},
    {{20, 104, 347, 26}, 14, Qt::black, false, false}, // wider than the window, which clips it
    {{20, 126, 264, 33}, 14, kBlue, false, true},
    {{20, 165, 275, 40}, 15, kRose, true, false},
};

} // namespace

AboutWindow::AboutWindow() {
    Layout();
    CreateControls();
    AddMenuHandlers();
    addToWindowList(this);
}

void AboutWindow::Layout() {
    setObjectName(QStringLiteral("AboutWindow"));
    setWindowTitle(QStringLiteral("About"));
    setWindowFlags(Qt::Window);
    resize(345, 225);
    setMinimumSize(64, 64);
    setMaximumSize(32000, 32000);
    QPalette background = palette();
    background.setColor(QPalette::Window, Qt::white);
    setPalette(background);
    setAutoFillBackground(true);
    // A closed window is gone; choosing About again builds a fresh one.
    setAttribute(Qt::WA_DeleteOnClose);
}

void AboutWindow::CreateControls() {
    CreateControls0();
}

QString AboutWindow::creditText() {
    return QStringLiteral("Tilemaven V" TILEMAVEN_VERSION "\r2026 The Tilemaven developers\r") +
           latin1(puzzle::kMakerContact);
}

void AboutWindow::CreateControls0() {
    const QString texts[] = {
        creditText(),
        QStringLiteral("Visit:"),
        latin1(puzzle::kMakerUrlText),
        QStringLiteral("More free software is waiting for you there!"),
    };
    for (int i = 0; i < 4; ++i) {
        const QString name = QStringLiteral("StaticText%1").arg(i + 1);
        (new StaticText(this))->setObjectName(name);
        StaticText& text = control<StaticText>(*this, name);
        const TextLayout& layout = kTexts[i];
        text.setGeometry(layout.rect);
        QFont font = geneva(layout.size, true);
        font.setUnderline(layout.underline);
        text.setFont(font);
        QPalette colours = text.palette();
        colours.setColor(QPalette::WindowText, layout.colour);
        text.setPalette(colours);
        text.setWordWrap(layout.multiLine);
        text.setText(texts[i]);
        if (i == 2) {
            text.setCursor(Qt::PointingHandCursor);
            text.setMouseDownHandler([this](int x, int y) { return StaticText3_MouseDown(x, y); });
        }
    }
}

bool AboutWindow::StaticText3_MouseDown(int, int) {
    platform::interaction().showUrl(QUrl(latin1(puzzle::kMakerUrl)));
    return false;
}

void AboutWindow::AddMenuHandlers() {}

StaticText& AboutWindow::staticText(int number) const {
    return control<StaticText>(*this, QStringLiteral("StaticText%1").arg(number));
}

} // namespace ui

ui::AboutWindow& AboutWindow() {
    return ui::implicitInstance<ui::AboutWindow>(QStringLiteral("AboutWindow.AboutWindow"));
}
