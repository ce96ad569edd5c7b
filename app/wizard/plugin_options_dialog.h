#pragma once
// "Configure Plug-in" without Qt in the plug-ins: the host builds a form from the options a
// plug-in declares (plg_StateEntries: name, default, meaning) and keeps what is typed in the
// state store, where the plug-in reads it. A plug-in with a dialog of its own (plg_ShowDialog
// answering a positive value) shows that instead, over the parent's native window.
// Thread: UI only.

#include <string>
#include <vector>

#include <QDialog>

#include "session/format_catalogue.h"

class QLineEdit;

namespace vt::app {

class PluginOptionsDialog : public QDialog {
    Q_OBJECT
public:
    // One row per option, filled with the stored value (empty: the default is used).
    PluginOptionsDialog(std::vector<session::PluginOption> options, QWidget* parent);

    // Stores every row: a filled one as set_plugin_option stores it, an empty one is removed.
    // What OK does.
    void store();

private:
    std::vector<session::PluginOption> m_options;
    std::vector<QLineEdit*> m_fields;
};

// The stored value of a plug-in option as text: a 4-byte entry that is not plain text is a
// 32-bit integer; empty when absent.
[[nodiscard]] QString stored_option_text(const std::string& name);

// Configures `plugin`: its own dialog, else the host's form. Positive when something was
// shown (1 for OK), negative when the plug-in has nothing to configure.
int configure_plugin(const std::u16string& plugin, QWidget* parent);

} // namespace vt::app
