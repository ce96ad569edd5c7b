#pragma once
// The suite's settings tools, each a small program in the suite program folder that the main
// window's Configure menu starts and waits for: opt_Plugins (the format plug-ins), opt_Files
// (which picture types open with the converter), opt_Language (the suite's language) and
// opt_Other (the rest of the suite configuration that means something on Linux). The dialogs
// live here so that the tests drive the same code the programs run.
// Thread: UI only.

#include <map>
#include <string>
#include <utility>

#include <QDialog>
#include <QStringList>

class QCheckBox;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;
class QTableWidget;

namespace vt::app {

// Every plug-in in the Plugins folder with the day it was built, what it reads and writes and
// whether it is blocked (the registry's blacklist); a plug-in can be blocked, unblocked and its
// options opened.
class PluginsTool : public QDialog {
    Q_OBJECT
public:
    explicit PluginsTool(QWidget* parent = nullptr);
    [[nodiscard]] QTableWidget* table() const { return m_table; }
    // The plug-in file of a row, as the registry lists it.
    [[nodiscard]] QString pluginAt(int row) const;
    void blockSelected();
    void unblockSelected();
    void configureSelected();

private:
    static constexpr int kColumns = 5;
    void fill();
    void updateButtons();
    QTableWidget* m_table = nullptr;
    QPushButton* m_block = nullptr;
    QPushButton* m_unblock = nullptr;
    QStringList m_paths;
    // Plug-in path -> the extensions it reads and writes, as last seen.
    std::map<std::u16string, std::pair<QStringList, QStringList>> m_formats;
};

// The picture types the installed plug-ins read, each checked when the converter is the user's
// default application for it; OK sets the checked ones with xdg-mime and takes the converter
// away from the unchecked ones in the user's mimeapps.list.
class FilesTool : public QDialog {
    Q_OBJECT
public:
    explicit FilesTool(QWidget* parent = nullptr);
    [[nodiscard]] QListWidget* list() const { return m_list; }
    // False (after saying why) when xdg-mime could not be run or mimeapps.list not written.
    bool apply();

private:
    QListWidget* m_list = nullptr;
};

// The MIME types of the extensions the installed plug-ins (and the built-in VT5 code) read,
// sorted and without repeats.
[[nodiscard]] QStringList readable_mime_types();
// The user's mimeapps.list ($XDG_CONFIG_HOME, default ~/.config).
[[nodiscard]] QString user_mimeapps_path();
// The MIME types whose user-wide default application is the converter's desktop entry.
[[nodiscard]] QStringList mime_types_opened_by_us(const QString& mimeapps_text);
// `mimeapps_text` without the converter as the default of `types`.
[[nodiscard]] QString without_our_defaults(const QString& mimeapps_text, const QStringList& types);

// The language files found in the user's and the installed Language folders, English (the
// built-in texts) first; the one configured is selected.
class LanguageTool : public QDialog {
    Q_OBJECT
public:
    explicit LanguageTool(QWidget* parent = nullptr);
    [[nodiscard]] QListWidget* list() const { return m_list; }
    // Writes the selected language into the suite configuration. False when it could not.
    bool apply();

private:
    QListWidget* m_list = nullptr;
};

// The language files' names (".lng") in the Language folders of the suite data root and the
// suite program folder, sorted and without repeats.
[[nodiscard]] QStringList language_file_names();

// The temporary-folder override and the VT5 writer's choice of the suite configuration, and the
// engine's worker count and memory budget (session/engine_limits.h), with their ranges.
class OtherTool : public QDialog {
    Q_OBJECT
public:
    explicit OtherTool(QWidget* parent = nullptr);
    [[nodiscard]] QLineEdit* tempFolder() const { return m_temp; }
    [[nodiscard]] QCheckBox* thoroughVt5() const { return m_thorough; }
    [[nodiscard]] QSpinBox* workers() const { return m_workers; }
    [[nodiscard]] QSpinBox* memoryBudget() const { return m_memory; }
    bool apply();

private:
    QLineEdit* m_temp = nullptr;
    QCheckBox* m_thorough = nullptr;
    QSpinBox* m_workers = nullptr;
    QSpinBox* m_memory = nullptr;
};

// Starts what a tool needs (the UI hooks, the language, the plug-ins), shows the dialog `make`
// builds and answers the exit status: 0 after OK, 1 after Cancel or a failure.
int run_suite_tool(int argc, char** argv, QDialog* (*make)());

} // namespace vt::app
