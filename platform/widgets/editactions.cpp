// SPDX-License-Identifier: MIT
#include "platform/widgets/editactions.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>

namespace platform {
namespace {

bool clipboardHasText() {
    const QClipboard* clipboard = QGuiApplication::clipboard();
    return clipboard && !clipboard->text().isEmpty();
}

bool allowed(EditAction action, bool readOnly, bool hasSelection, bool undoAvailable) {
    switch (action) {
    case EditAction::Undo:
        return !readOnly && undoAvailable;
    case EditAction::Cut:
    case EditAction::Clear:
        return !readOnly && hasSelection;
    case EditAction::Copy:
        return hasSelection;
    case EditAction::Paste:
        return !readOnly && clipboardHasText();
    }
    return false;
}

// QPlainTextEdit and QTextEdit share the calls but no base class that declares them.
template <class TextEdit>
bool canEditText(EditAction action, const TextEdit& edit) {
    return allowed(action, edit.isReadOnly(), edit.textCursor().hasSelection(),
                   edit.document()->isUndoAvailable());
}

void clearSelection(QLineEdit& edit) {
    edit.del(); // with a selection, del() removes exactly the selection
}

template <class TextEdit>
void clearSelection(TextEdit& edit) {
    QTextCursor cursor = edit.textCursor();
    cursor.removeSelectedText();
    edit.setTextCursor(cursor);
}

// QLineEdit, QPlainTextEdit and QTextEdit share these calls but no base class that declares them.
template <class Edit>
void apply(EditAction action, Edit& edit) {
    switch (action) {
    case EditAction::Undo:
        edit.undo();
        break;
    case EditAction::Cut:
        edit.cut();
        break;
    case EditAction::Copy:
        edit.copy();
        break;
    case EditAction::Paste:
        edit.paste();
        break;
    case EditAction::Clear:
        clearSelection(edit);
        break;
    }
}

} // namespace

bool canEdit(EditAction action, const QWidget* target) {
    if (const auto* line = qobject_cast<const QLineEdit*>(target))
        return allowed(action, line->isReadOnly(), line->hasSelectedText(),
                       line->isUndoAvailable());
    if (const auto* plain = qobject_cast<const QPlainTextEdit*>(target))
        return canEditText(action, *plain);
    if (const auto* rich = qobject_cast<const QTextEdit*>(target))
        return canEditText(action, *rich);
    return false;
}

bool applyEdit(EditAction action, QWidget* target) {
    if (!canEdit(action, target))
        return false;
    if (auto* line = qobject_cast<QLineEdit*>(target))
        apply(action, *line);
    else if (auto* plain = qobject_cast<QPlainTextEdit*>(target))
        apply(action, *plain);
    else if (auto* rich = qobject_cast<QTextEdit*>(target))
        apply(action, *rich);
    return true;
}

bool canEditFocus(EditAction action) {
    return canEdit(action, QApplication::focusWidget());
}

bool applyEditToFocus(EditAction action) {
    return applyEdit(action, QApplication::focusWidget());
}

} // namespace platform
