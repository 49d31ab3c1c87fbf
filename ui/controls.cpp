// SPDX-License-Identifier: MIT
#include "ui/controls.h"

#include <QMouseEvent>
#include <QPainter>

namespace ui {

QFont geneva(int pixelSize, bool bold) {
    QFont font(QStringLiteral("Geneva"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

EditField::EditField(QWidget* parent)
    : QPlainTextEdit(parent) {
    connect(this, &QPlainTextEdit::textChanged, this, &EditField::takeUserEdit);
}

void EditField::setText(const QString& text) {
    m_text = text;
    m_storing = true;
    setPlainText(text);
    m_storing = false;
}

void EditField::takeUserEdit() {
    if (m_storing)
        return;
    // What the user typed ends its lines the way this field's texts do: with a carriage return.
    m_text = toPlainText();
    m_text.replace(QLatin1Char('\n'), QLatin1Char('\r'));
}

StaticText::StaticText(QWidget* parent)
    : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void StaticText::setText(const QString& text) {
    m_text = text;
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QLabel::setText(shown);
}

void StaticText::mousePressEvent(QMouseEvent* event) {
    if (!m_mouseDown) {
        QLabel::mousePressEvent(event);
        return;
    }
    const QPoint at = event->position().toPoint();
    event->setAccepted(m_mouseDown(at.x(), at.y()));
}

Canvas::Canvas(QWidget* parent)
    : QWidget(parent) {
    setAutoFillBackground(true); // the erased background under a smaller picture
    setFocusPolicy(Qt::NoFocus);
}

void Canvas::setBackdrop(const QImage& picture) {
    m_backdrop = picture;
    update();
}

void Canvas::paintEvent(QPaintEvent*) {
    if (m_backdrop.isNull())
        return;
    QPainter painter(this);
    painter.drawImage(QPoint(0, 0), m_backdrop);
}

} // namespace ui
