// SPDX-License-Identifier: MIT
#include "ui/helpwindow.h"

#include "ui/controls.h"
#include "ui/framework.h"

#include <QStringList>

namespace ui {

HelpWindow::HelpWindow() {
    Layout();
    CreateControls();
    AddMenuHandlers();
    addToWindowList(this);
}

void HelpWindow::Layout() {
    setObjectName(QStringLiteral("HelpWindow"));
    setWindowTitle(QStringLiteral("Help"));
    setWindowFlags(Qt::Window);
    resize(590, 622);
    setMinimumSize(64, 64);
    setMaximumSize(32000, 32000);
    // A closed window is gone; choosing Instructions again builds a fresh one.
    setAttribute(Qt::WA_DeleteOnClose);
}

void HelpWindow::CreateControls() {
    CreateControls0();
}

void HelpWindow::CreateControls0() {
    (new EditField(this))->setObjectName(QStringLiteral("EditField1"));
    EditField& field = EditField1();
    field.setGeometry(9, 19, 550, 583);
    field.setFont(geneva(14, false));
    QPalette colours = field.palette();
    colours.setColor(QPalette::Text, Qt::black);
    colours.setColor(QPalette::Base, Qt::white);
    field.setPalette(colours);
    field.setFrameShape(QFrame::StyledPanel);
    field.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    field.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    field.setLineWrapMode(QPlainTextEdit::WidgetWidth);
    field.setTabChangesFocus(true);
    field.setReadOnly(false);
    field.setText(helpText());
}

void HelpWindow::AddMenuHandlers() {}

EditField& HelpWindow::EditField1() const {
    return control<EditField>(*this, QStringLiteral("EditField1"));
}

QString HelpWindow::helpText() {
    static const QStringList lines = {
        QStringLiteral("To make a puzzle all you need to do is "),
        QStringLiteral("1)  Launch the application."),
        QString(),
        QStringLiteral(
            "2) If you want it to have a \"solve it for me button\" , click the checkbox "
            "at the bottom."),
        QStringLiteral("3) Use the radio buttons to choose a 3x3 puzzle (easy), 4x4, 5x5 ... "
                       "9x9(hard)."),
        QStringLiteral("4)  When asked choose the picture you want to make into a puzzle. The "
                       "picture can be any size and aspect ratio and can be either a jpeg(.jpg) or "
                       "Gif(.gif)"),
        QStringLiteral("5) When asked, choose (or create on some OSs) the folder into which  you "
                       "want to save your project, which will include  index.html and all image "
                       "pieces."),
        QStringLiteral("6)  Open index.html with a web browser and you are done."),
        QString(),
        QStringLiteral("Notes:"),
        QStringLiteral("1) If you choose 5x5, for example, and the image height and or width are "
                       "not both multiples of 5, pixels will be trimed so that they are."),
        QStringLiteral("2) If you change the number of puzzle pieces (and thus their size), with "
                       "some browsers you will have to clear cache or even quit and restart to get "
                       "the browser to recognize the change. "),
        QStringLiteral("3) If the application crashes, increase the memory size if possible, or "
                       "use a smaller picture."),
    };
    return lines.join(QLatin1Char('\r'));
}

} // namespace ui

ui::HelpWindow& HelpWindow() {
    return ui::implicitInstance<ui::HelpWindow>(QStringLiteral("HelpWindow.HelpWindow"));
}
