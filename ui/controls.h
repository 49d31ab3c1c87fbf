// SPDX-License-Identifier: MIT
#pragma once

// Controls whose behaviour Qt's own widgets do not give exactly: text that keeps its carriage
// returns, a label that reports mouse presses, and a canvas that shows one picture.

#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QWidget>

#include <functional>

namespace ui {

// The application's font: Geneva (or the platform's nearest sans serif) at `pixelSize`. Sizes are
// pixels because every layout is in pixels.
QFont geneva(int pixelSize, bool bold);

// A plain-text field whose Text() gives back exactly what was stored. QTextDocument turns every
// carriage return into a paragraph break and hands back line feeds, so the exact text is kept
// beside the document; the document only shows it.
class EditField : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit EditField(QWidget* parent = nullptr);

    QString Text() const { return m_text; }
    void setText(const QString& text);

private:
    void takeUserEdit();

    QString m_text;
    bool m_storing = false;
};

// A label that shows carriage returns as line breaks, keeps its exact text and can hand mouse
// presses to a handler.
class StaticText : public QLabel {
    Q_OBJECT
public:
    // Gets the press position in the control's coordinates; true means the press was dealt with.
    using MouseDownHandler = std::function<bool(int x, int y)>;

    explicit StaticText(QWidget* parent = nullptr);

    QString Text() const { return m_text; }
    void setText(const QString& text);
    void setMouseDownHandler(MouseDownHandler handler) { m_mouseDown = std::move(handler); }

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QString m_text;
    MouseDownHandler m_mouseDown;
};

// Shows its backdrop at natural size from the top-left corner, clipped to the control.
class Canvas : public QWidget {
    Q_OBJECT
public:
    explicit Canvas(QWidget* parent = nullptr);

    const QImage& backdrop() const { return m_backdrop; }
    void setBackdrop(const QImage& picture);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_backdrop;
};

} // namespace ui
