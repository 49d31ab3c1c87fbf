// SPDX-License-Identifier: MIT
#include "ui/window1.h"

#include "platform/interaction.h"
#include "ui/aboutwindow.h"
#include "ui/controls.h"
#include "ui/framework.h"
#include "ui/helpwindow.h"
#include "ui/menu.h"
#include "ui/windowtop.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLayout>
#include <QRadioButton>
#include <QScopeGuard>

namespace ui {
namespace {

const QString kContentName = QStringLiteral("Window1Content");

QString sizeButtonName(int number) {
    return QStringLiteral("RadioButton%1").arg(number);
}

// Positions are given in window coordinates, also for controls inside the group box.
void placeInWindow(QWidget& control, const QWidget& content, const QRect& windowRect) {
    const QPoint parentOrigin = control.parentWidget()->mapTo(&content, QPoint(0, 0));
    control.setGeometry(windowRect.translated(-parentOrigin));
}

struct SizeButtonLayout {
    QRect rect;
    void (Window1::*action)();
};

// Two columns of three, 9x9 centred below them.
const SizeButtonLayout kSizeButtons[] = {
    {{61, 202, 55, 20}, &Window1::RadioButton1_Action},
    {{61, 223, 55, 20}, &Window1::RadioButton2_Action},
    {{61, 247, 55, 20}, &Window1::RadioButton3_Action},
    {{119, 202, 48, 20}, &Window1::RadioButton4_Action},
    {{119, 223, 48, 20}, &Window1::RadioButton5_Action},
    {{119, 247, 48, 20}, &Window1::RadioButton6_Action},
    {{93, 273, 53, 20}, &Window1::RadioButton7_Action},
};
static_assert(std::size(kSizeButtons) == puzzle::kSizeCount);

// Showing a window that is already open brings it to the front instead of making another one.
void bringToFront(QWidget& window) {
    window.show();
    window.raise();
    window.activateWindow();
}

} // namespace

Window1::Window1() {
    Layout();
    CreateControls();
    AddMenuHandlers();
    addEnableMenuItemsHandler(*this, [this] { Event_EnableMenuItems(); });
    addToWindowList(this);
}

Window1::~Window1() {
    // The menu bar only stands in this window; it belongs to the application and outlives it.
    if (auto* bar = qobject_cast<Menu*>(menuWidget())) {
        layout()->setMenuBar(nullptr);
        bar->setParent(nullptr);
    }
}

void Window1::Layout() {
    setObjectName(QStringLiteral("Window1"));
    setWindowTitle(QStringLiteral("Tilemaven"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

    QPalette background = palette();
    background.setColor(QPalette::Window, QColor(0xFF, 0xFE, 0xF2));
    setPalette(background);
    setAutoFillBackground(true);

    auto* content = new QWidget(this);
    content->setObjectName(kContentName);
    content->setFixedSize(kWidth, kHeight);
    setCentralWidget(content);

    // On Linux and Windows the application's menu bar has to stand in a window: this one.
    if (hasApplicationMenuBar())
        setMenuBar(&applicationMenuBar());

    // Not resizeable: the window keeps exactly the size of its content and menu bar.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

void Window1::CreateControls() {
    CreateControls0();
}

void Window1::CreateControls0() {
    QWidget& content = *centralWidget();

    (new QGroupBox(&content))->setObjectName(QStringLiteral("GroupBox1"));
    auto& group = control<QGroupBox>(*this, QStringLiteral("GroupBox1"));
    placeInWindow(group, content, {48, 183, 134, 130});
    group.setTitle(QStringLiteral("Select"));
    group.setFont(geneva(12, true));

    (new Canvas(&content))->setObjectName(QStringLiteral("Canvas1"));
    auto& canvas = control<Canvas>(*this, QStringLiteral("Canvas1"));
    placeInWindow(canvas, content, {67, 39, 100, 100});

    (new QCheckBox(&content))->setObjectName(QStringLiteral("CheckBox1"));
    auto& solve = control<QCheckBox>(*this, QStringLiteral("CheckBox1"));
    placeInWindow(solve, content, {5, 316, 200, 20});
    solve.setText(QStringLiteral("Include Auto Solution Button"));
    solve.setFont(geneva(10, true));
    solve.setChecked(false);

    int number = 1;
    for (const SizeButtonLayout& layout : kSizeButtons) {
        const QString name = sizeButtonName(number++);
        (new QRadioButton(&group))->setObjectName(name);
        // One parent, so the seven form one exclusive group; none is selected at first.
        auto& button = control<QRadioButton>(*this, name);
        placeInWindow(button, content, layout.rect);
        const std::string_view caption = puzzle::rowForButton(number - 1)->caption;
        button.setText(QString::fromLatin1(caption.data(), qsizetype(caption.size())));
        button.setFont(geneva(12, true));
        button.setChecked(false);
        connect(&button, &QRadioButton::clicked, this, layout.action);
    }
}

void Window1::runSizeCommand(int buttonNumber) {
    // The slicing yields to the event loop, where another size button can be clicked: one puzzle
    // at a time, as one launch makes one puzzle.
    if (m_generating)
        return;
    m_generating = true;
    const auto done = qScopeGuard([this] { m_generating = false; });
    puzzle::runSizeCommand(*puzzle::rowForButton(buttonNumber), *this, platform::interaction());
}

void Window1::RadioButton1_Action() {
    runSizeCommand(1);
}
void Window1::RadioButton2_Action() {
    runSizeCommand(2);
}
void Window1::RadioButton3_Action() {
    runSizeCommand(3);
}
void Window1::RadioButton4_Action() {
    runSizeCommand(4);
}
void Window1::RadioButton5_Action() {
    runSizeCommand(5);
}
void Window1::RadioButton6_Action() {
    runSizeCommand(6);
}
void Window1::RadioButton7_Action() {
    runSizeCommand(7);
}

void Window1::AddMenuHandlers() {
    addMenuHandler(*this, QStringLiteral("AboutTilemaven"),
                   [this] { return AboutTilemaven_Action(); });
    addMenuHandler(*this, QStringLiteral("Helpinstructions"),
                   [this] { return Helpinstructions_Action(); });
}

void Window1::Event_EnableMenuItems() {
    ::AboutTilemaven().setEnabled(true);
    ::Helpinstructions().setEnabled(true);
}

bool Window1::AboutTilemaven_Action() {
    bringToFront(::AboutWindow());
    return false;
}

bool Window1::Helpinstructions_Action() {
    bringToFront(::HelpWindow());
    return false;
}

puzzle::ExportOutcome Window1::redraw(const QString& tableText) {
    return puzzle::redraw(*this, platform::interaction(), tableText);
}

void Window1::setPageChoice(const puzzle::PageChoice& choice) {
    m_choice = choice;
    // The title says which puzzle this launch makes, as the launcher's action named it.
    if (choice.modern)
        setWindowTitle(choice.singleFile ? QStringLiteral("Tilemaven: a puzzle in one file")
                                         : QStringLiteral("Tilemaven: a modern puzzle"));
}

const puzzle::PageChoice* Window1::pageChoice() const {
    return m_choice ? &*m_choice : nullptr;
}

std::array<bool, puzzle::kSizeCount> Window1::sizeButtonStates() const {
    std::array<bool, puzzle::kSizeCount> states{};
    for (int i = 0; i < puzzle::kSizeCount; ++i)
        states[i] = control<QRadioButton>(*this, sizeButtonName(i + 1)).isChecked();
    return states;
}

void Window1::setPreview(const QImage& piece) {
    control<Canvas>(*this, QStringLiteral("Canvas1")).setBackdrop(piece);
}

// The canvas shows a picture at its natural size from its top left corner, clipped: what lies
// beyond its size is never seen, so it is never made.
QSize Window1::previewSize() const {
    return control<Canvas>(*this, QStringLiteral("Canvas1")).size();
}

QString Window1::pageFieldText() const {
    return ::Windowtop().topField().Text();
}

void Window1::setPageFieldText(const QString& text) {
    ::Windowtop().topField().setText(text);
}

bool Window1::sizeButtonSelected(const puzzle::SizeRow& row) const {
    const QString name = QString::fromLatin1(row.button.data(), qsizetype(row.button.size()));
    return control<QRadioButton>(*this, name).isChecked();
}

bool Window1::solveButtonTicked() const {
    return control<QCheckBox>(*this, QStringLiteral("CheckBox1")).isChecked();
}

} // namespace ui

ui::Window1& Window1() {
    return ui::implicitInstance<ui::Window1>(QStringLiteral("Window1.Window1"));
}
