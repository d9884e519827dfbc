#pragma once
// TLogWindow: the operator's view of the log. While it captures, every logged line is
// appended (the log's window sink, LogFile.h); a memo holding more than 5000 lines is emptied
// before the next one. Opening the window starts the capture; closing it stops the capture and
// frees the window. UI thread only.

#include "frmBase.h"

class QPlainTextEdit;
class QPushButton;

namespace voxmit {

class TLogWindow : public TFormBase {
  Q_OBJECT
public:
  static constexpr int kMaxLines = 5000;

  explicit TLogWindow(QWidget* parent = nullptr);
  ~TLogWindow() override;

  void AddLine(const std::string& line);
  void SetCapturing(bool capturing);
  bool Capturing() const { return capturing_; }
  int LineCount() const { return lines_; }

  QPlainTextEdit* memMessages;
  QPushButton* btnStartStop;
  QPushButton* btnClearMessages;
  QPushButton* btnClose;

private:
  bool capturing_ = false;
  int lines_ = 0;
};

} // namespace voxmit
