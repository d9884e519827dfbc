#pragma once
// The embedded device-settings editors: a panel per device kind that turns a device's
// SettingsData text into controls and back, hosted by the device editor. The registry maps a
// kind number to the editor's factory; each editor is registered once at program start
// (RegisterEmbedEditors), a second editor for a kind is refused with a warning.
//
// Threads: UI thread only.

#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace voxmit {

class TFormBaseEmbedEditor : public QWidget {
  Q_OBJECT
public:
  using QWidget::QWidget;
  virtual std::string GetDataAsCSVString() const = 0;
  // False (with the editor's error shown, the controls unchanged) for a text of the wrong
  // number of items.
  virtual bool PutDataAsCSVString(const std::string& text) = 0;
  virtual bool ValidateData() { return true; }
};

using TEmbedEditorFactory = std::function<TFormBaseEmbedEditor*()>;

struct TEmbedEditorRec {
  uint8_t Kind;
  std::string KindName;
  std::string ClassName;
  TEmbedEditorFactory Create;
};

class TBaseEmbedEditorsList {
public:
  static TBaseEmbedEditorsList& Instance();
  // False (with the warning shown) when the kind already has an editor.
  bool RegisterEmbedEditor(uint8_t kind, const std::string& kindName,
                           const std::string& className, TEmbedEditorFactory create);
  // The record of the kind, or nullptr.
  const TEmbedEditorRec* EditorClassForKind(int32_t kind) const;

private:
  std::vector<TEmbedEditorRec> records_;
};

// Registers the four editors of the program (idempotent: a second call registers nothing and
// shows nothing).
void RegisterEmbedEditors();

} // namespace voxmit
