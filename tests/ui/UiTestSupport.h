#pragma once
// What the interface tests share: one QApplication for the test binary, and a recorder that
// takes the message boxes instead of a person.

#include <QApplication>
#include <string>
#include <utility>
#include <vector>

#include "ui/MessageBoxes.h"

namespace voxmit::test {

// The application made by the tests' main (UiTestMain.cpp).
inline QApplication& UiApp() { return *static_cast<QApplication*>(QCoreApplication::instance()); }

// Runs what is queued, then deletes the windows that were closed (closing frees a window).
inline void Settle() {
  QCoreApplication::processEvents();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QCoreApplication::processEvents();
}

class MessageBoxRecorder {
public:
  MessageBoxRecorder() {
    SetMessageBoxHook(
        [this](TMessageKind kind, const std::string& text) { boxes.emplace_back(kind, text); });
  }
  ~MessageBoxRecorder() { SetMessageBoxHook({}); }
  MessageBoxRecorder(const MessageBoxRecorder&) = delete;
  MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

  std::string Last() const { return boxes.empty() ? std::string() : boxes.back().second; }
  std::vector<std::pair<TMessageKind, std::string>> boxes;
};

} // namespace voxmit::test
