#include "frmBaseEmbedEditor.h"

#include "MessageBoxes.h"
#include "frmEmbedDirectTAPEditor.h"
#include "frmEmbedIPNetworkEditor.h"
#include "frmEmbedModemEditor.h"
#include "frmEmbedSMSEditor.h"

namespace voxmit {

TBaseEmbedEditorsList& TBaseEmbedEditorsList::Instance() {
  static TBaseEmbedEditorsList list;
  return list;
}

bool TBaseEmbedEditorsList::RegisterEmbedEditor(uint8_t kind, const std::string& kindName,
                                                const std::string& className,
                                                TEmbedEditorFactory create) {
  if (const TEmbedEditorRec* rec = EditorClassForKind(kind)) {
    ShowMessageBox(TMessageKind::Warning,
                   "DeviceType \"" + kindName + "\" (with TypeNo = " + std::to_string(kind) +
                       ") is already registered by the following Editor Form: \"" +
                       rec->ClassName + "\"");
    return false;
  }
  records_.push_back({kind, kindName, className, std::move(create)});
  return true;
}

const TEmbedEditorRec* TBaseEmbedEditorsList::EditorClassForKind(int32_t kind) const {
  for (const TEmbedEditorRec& rec : records_)
    if (rec.Kind == kind) return &rec;
  return nullptr;
}

namespace {

template <class Editor>
void Register(uint8_t kind, const char* kindName, const char* unit, const char* className,
              const char* constant) {
  if (TBaseEmbedEditorsList::Instance().RegisterEmbedEditor(
          kind, kindName, className, [] { return new Editor; }))
    return;
  ShowMessageBox(TMessageKind::Warning,
                 std::string("Error registering Device Editor Form(unit: \"") + unit +
                     "\", class: \"" + className + "\" (TypeID= " + constant + ")");
}

} // namespace

void RegisterEmbedEditors() {
  static bool done = false;
  if (done) return;
  done = true;
  Register<TFormEmbedModemEditor>(1, "MODEM", "frmEmbedModemEditor", "TFormEmbedModemEditor",
                                  "DEVICE_TYPE_MODEM_ID");
  Register<TFormEmbedDirectTAPEditor>(2, "DirectTAP", "frmEmbedDirectTAPEditor",
                                      "TFormEmbedDirectTAPEditor", "DEVICE_TYPE_DIRECTTAP_ID");
  Register<TFormEmbedSMSEditor>(3, "SMS", "frmEmbedSMSEditor", "TFormEmbedSMSEditor",
                                "DEVICE_TYPE_SMS_ID");
  Register<TFormEmbedIPNetworkEditor>(4, "IPNetwork", "frmEmbedIPNetworkEditor",
                                      "TFormEmbedIPNetworkEditor", "DEVICE_TYPE_IPNetwork_ID");
}

} // namespace voxmit
