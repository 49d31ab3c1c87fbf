// SPDX-License-Identifier: MIT
#pragma once

class QWidget;

namespace platform {

// The standard Edit commands, as a desktop user expects them to act on a text field.
enum class EditAction { Undo, Cut, Copy, Paste, Clear };

// Whether `action` can do something to `target` now: it is a text field (QLineEdit,
// QPlainTextEdit or QTextEdit), editable unless the action only copies, with a selection for Cut,
// Copy and Clear, something to undo for Undo and text on the clipboard for Paste.
bool canEdit(EditAction action, const QWidget* target);

// Carries out `action` on `target`; false when canEdit() says there is nothing to do.
bool applyEdit(EditAction action, QWidget* target);

// The same for the widget that has the keyboard focus, if any.
bool canEditFocus(EditAction action);
bool applyEditToFocus(EditAction action);

} // namespace platform
