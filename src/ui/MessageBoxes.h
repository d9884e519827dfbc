#pragma once
// The operator's message boxes. Every box of the interface goes through ShowMessageBox so the
// texts stay in one form ("\r" in a text is a line break) and tests can take the boxes
// instead of a person. UI thread only.

#include <functional>
#include <string>

class QWidget;

namespace voxmit {

enum class TMessageKind { Information, Warning, Error };

// Shows the box modally and returns when it is closed (or hands it to the hook).
void ShowMessageBox(TMessageKind kind, const std::string& text, QWidget* parent = nullptr);

// While set, boxes go to the hook instead of the screen.
using TMessageBoxHook = std::function<void(TMessageKind, const std::string&)>;
void SetMessageBoxHook(TMessageBoxHook hook);

} // namespace voxmit
