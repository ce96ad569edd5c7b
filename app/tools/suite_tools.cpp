#include "app/tools/suite_tools.h"

#include <map>
#include <set>

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeDatabase>
#include <QProcess>
#include <QPushButton>
#include <QSaveFile>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/folder_chooser.h"
#include "app/startup.h"
#include "app/translate.h"
#include "app/ui_hooks_qt.h"
#include "app/wizard/plugin_options_dialog.h"
#include "base/text.h"
#include "lang/translator.h"
#include "lang/xlat.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/suite_config.h"
#include "plugins/filter_registry.h"
#include "plugins/plugin_interface.h"
#include "session/engine_limits.h"
#include "session/format_catalogue.h"
#include "session/session.h"
#include "session/suite_settings.h"

namespace vt::app {
namespace {

constexpr auto kDesktopEntry = "vantrel-converter.desktop";
// What the language list shows for the program's own texts; no file has this name, so
// choosing it loads none.
constexpr auto kEnglish = "English";

QString qs(const std::u16string& s) {
    return QString::fromStdU16String(s);
}

void say(QWidget* owner, const char16_t* text, const char16_t* title) {
    (void)owner;
    (void)lang::XlatMessageBox(text, title, platform::MessageButtons::ok,
                               platform::MessageIcon::error);
}

// OK runs `apply` and closes only when it succeeds; Cancel closes.
template <class Dialog>
QDialogButtonBox* ok_cancel(Dialog* dialog) {
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    buttons->button(QDialogButtonBox::Ok)->setText(xlat(u"OK"));
    buttons->button(QDialogButtonBox::Cancel)->setText(xlat(u"Cancel"));
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, [dialog] {
        if (dialog->apply())
            dialog->accept();
    });
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return buttons;
}

QString plugin_file_name(const std::u16string& path) {
    return qs(std::u16string(platform::file_name_of(path)));
}

} // namespace

// ---- opt_Plugins -------------------------------------------------------------------------

PluginsTool::PluginsTool(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("opt_Plugins"));
    setWindowTitle(xlat(u"Plug-in Manager"));
    auto* layout = new QVBoxLayout(this);
    m_table = new QTableWidget(0, kColumns, this);
    m_table->setHorizontalHeaderLabels(
        {xlat(u"Plug-in"), xlat(u"Version"), xlat(u"Reads"), xlat(u"Writes"), xlat(u"State")});
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setWordWrap(false);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    // The long column gives way (its full text is the tool tip), so the state stays in sight.
    m_table->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Stretch);
    m_table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_table->setTextElideMode(Qt::ElideRight);
    layout->addWidget(m_table, 1);
    auto* row = new QHBoxLayout;
    m_block = new QPushButton(xlat(u"Block"), this);
    m_unblock = new QPushButton(xlat(u"Unblock"), this);
    auto* options = new QPushButton(xlat(u"Options ..."), this);
    auto* close = new QPushButton(xlat(u"Close"), this);
    row->addWidget(m_block);
    row->addWidget(m_unblock);
    row->addWidget(options);
    row->addStretch(1);
    row->addWidget(close);
    layout->addLayout(row);
    connect(m_block, &QPushButton::clicked, this, &PluginsTool::blockSelected);
    connect(m_unblock, &QPushButton::clicked, this, &PluginsTool::unblockSelected);
    connect(options, &QPushButton::clicked, this, &PluginsTool::configureSelected);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_table, &QTableWidget::currentCellChanged, this, &PluginsTool::updateButtons);
    connect(m_table, &QTableWidget::cellDoubleClicked, this, &PluginsTool::configureSelected);
    fill();
    resize(760, 420);
}

void PluginsTool::fill() {
    plugins::FilterRegistry& registry = plugins::filter_registry();
    for (const std::u16string& path : registry.plugin_list())
        m_formats[path];
    for (const session::FormatEntry& entry : session::format_catalogue(registry)) {
        // Once seen, what a plug-in reads and writes stays in its row when it is blocked.
        auto& [reads, writes] = m_formats[entry.reader];
        if (!entry.reader.empty() && !reads.contains(qs(entry.extension)))
            reads << qs(entry.extension);
        auto& written = m_formats[entry.writer].second;
        if (!entry.writer.empty() && !written.contains(qs(entry.extension)))
            written << qs(entry.extension);
    }
    m_formats.erase(std::u16string{});
    // Blocked plug-ins are left out of the registry's list; the blacklist names them.
    for (const std::u16string& path : registry.blacklist_entries())
        if (platform::is_file(path) && registry.installed_here(path) &&
            base::iequal(platform::extension_of(path), plugins::kPluginSuffix))
            m_formats[path];

    m_paths.clear();
    m_table->setRowCount(0);
    for (const auto& [path, io] : m_formats) {
        const int r = m_table->rowCount();
        m_table->insertRow(r);
        m_paths << qs(path);
        const QFileInfo file(qs(path));
        const bool blocked = registry.is_blacklisted(path);
        m_table->setItem(r, 0, new QTableWidgetItem(plugin_file_name(path)));
        // A plug-in that states no version is told by the day its library was built.
        const std::string version = plugins::plugin_version(path);
        m_table->setItem(
            r, 1,
            new QTableWidgetItem(!version.empty()
                                     ? QString::fromStdString(version)
                                     : file.lastModified().toString(Qt::ISODate).left(10)));
        m_table->setItem(r, 2, new QTableWidgetItem(io.first.join(QLatin1Char(' '))));
        m_table->setItem(r, 3, new QTableWidgetItem(io.second.join(QLatin1Char(' '))));
        m_table->setItem(r, 4, new QTableWidgetItem(blocked ? xlat(u"Blocked") : xlat(u"Active")));
        m_table->item(r, 2)->setToolTip(m_table->item(r, 2)->text());
    }
    updateButtons();
}

QString PluginsTool::pluginAt(int row) const {
    return row >= 0 && row < m_paths.size() ? m_paths[row] : QString();
}

void PluginsTool::updateButtons() {
    const QString path = pluginAt(m_table->currentRow());
    const bool blocked =
        !path.isEmpty() && plugins::filter_registry().is_blacklisted(path.toStdU16String());
    m_block->setEnabled(!path.isEmpty() && !blocked);
    m_unblock->setEnabled(blocked);
}

void PluginsTool::blockSelected() {
    const QString path = pluginAt(m_table->currentRow());
    if (path.isEmpty())
        return;
    plugins::filter_registry().blacklist_add(path.toStdU16String());
    const int row = m_table->currentRow();
    fill();
    m_table->selectRow(row);
}

void PluginsTool::unblockSelected() {
    const QString path = pluginAt(m_table->currentRow());
    if (path.isEmpty())
        return;
    if (!plugins::filter_registry().blacklist_remove(path.toStdU16String()))
        say(this, u"The plug-in could not be unblocked.", u"Plug-in Manager");
    const int row = m_table->currentRow();
    fill();
    m_table->selectRow(row);
}

void PluginsTool::configureSelected() {
    const QString path = pluginAt(m_table->currentRow());
    if (path.isEmpty())
        return;
    if (configure_plugin(path.toStdU16String(), this) < 0)
        (void)lang::XlatMessageBox(u"Nothing to configure!", u"Configure",
                                   platform::MessageButtons::ok,
                                   platform::MessageIcon::information);
}

// ---- opt_Files ---------------------------------------------------------------------------

QStringList readable_mime_types() {
    const QMimeDatabase db;
    std::set<QString> types;
    for (const session::FormatEntry& entry : session::format_catalogue()) {
        if (entry.reader.empty() && !entry.built_in)
            continue;
        const QList<QMimeType> found =
            db.mimeTypesForFileName(QStringLiteral("x") + qs(entry.extension));
        // As the desktop entry has it: an extension several kinds of file share (".vst": Targa
        // and Visio) is ours only as a picture or a video.
        for (const QMimeType& type : found)
            if (!type.isDefault() &&
                (found.size() == 1 || type.name().startsWith(QStringLiteral("image/")) ||
                 type.name().startsWith(QStringLiteral("video/"))))
                types.insert(type.name());
    }
    return {types.begin(), types.end()};
}

QString user_mimeapps_path() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/mimeapps.list");
}

namespace {

// Calls `each` with every "type=entries" line of the [Default Applications] group.
template <class Each>
void for_each_default(const QString& text, Each each) {
    bool in_defaults = false;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(QLatin1Char('['))) {
            in_defaults = trimmed == QStringLiteral("[Default Applications]");
            continue;
        }
        const auto eq = trimmed.indexOf(QLatin1Char('='));
        if (in_defaults && eq > 0)
            each(trimmed.left(eq).trimmed(), trimmed.mid(eq + 1).trimmed());
    }
}

} // namespace

QStringList mime_types_opened_by_us(const QString& mimeapps_text) {
    QStringList ours;
    for_each_default(mimeapps_text, [&](const QString& type, const QString& entries) {
        if (entries.split(QLatin1Char(';'), Qt::SkipEmptyParts).value(0) ==
            QLatin1String(kDesktopEntry))
            ours << type;
    });
    return ours;
}

QString without_our_defaults(const QString& mimeapps_text, const QStringList& types) {
    QStringList out;
    bool in_defaults = false;
    for (const QString& line : mimeapps_text.split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(QLatin1Char('[')))
            in_defaults = trimmed == QStringLiteral("[Default Applications]");
        const auto eq = trimmed.indexOf(QLatin1Char('='));
        if (in_defaults && eq > 0 && types.contains(trimmed.left(eq).trimmed())) {
            QStringList entries = trimmed.mid(eq + 1).split(QLatin1Char(';'), Qt::SkipEmptyParts);
            entries.removeAll(QLatin1String(kDesktopEntry));
            if (entries.isEmpty())
                continue;
            out << trimmed.left(eq + 1) + entries.join(QLatin1Char(';')) + QLatin1Char(';');
            continue;
        }
        out << line;
    }
    return out.join(QLatin1Char('\n'));
}

FilesTool::FilesTool(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("opt_Files"));
    setWindowTitle(xlat(u"File Associations"));
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel(xlat(u"Open these picture types with Vantrel Converter:"), this);
    label->setWordWrap(true);
    layout->addWidget(label);
    m_list = new QListWidget(this);
    QString text;
    if (QFile in(user_mimeapps_path()); in.open(QIODevice::ReadOnly))
        text = QString::fromUtf8(in.readAll());
    const QStringList ours = mime_types_opened_by_us(text);
    const QMimeDatabase db;
    for (const QString& type : readable_mime_types()) {
        const QMimeType mime = db.mimeTypeForName(type);
        auto* item =
            new QListWidgetItem(QStringLiteral("%1 (%2)").arg(
                                    xlat(mime.comment().isEmpty() ? type : mime.comment()), type),
                                m_list);
        item->setData(Qt::UserRole, type);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(ours.contains(type) ? Qt::Checked : Qt::Unchecked);
    }
    layout->addWidget(m_list, 1);
    layout->addWidget(ok_cancel(this));
    resize(520, 480);
}

bool FilesTool::apply() {
    QStringList set;
    QStringList unset;
    for (int i = 0; i < m_list->count(); ++i) {
        const QListWidgetItem* item = m_list->item(i);
        (item->checkState() == Qt::Checked ? set : unset) << item->data(Qt::UserRole).toString();
    }
    const QString path = user_mimeapps_path();
    QString text;
    if (QFile in(path); in.open(QIODevice::ReadOnly))
        text = QString::fromUtf8(in.readAll());
    const QStringList ours = mime_types_opened_by_us(text);
    QStringList taken_back;
    for (const QString& type : unset)
        if (ours.contains(type))
            taken_back << type;
    if (!taken_back.isEmpty()) {
        QSaveFile out(path);
        if (!out.open(QIODevice::WriteOnly) ||
            out.write(without_our_defaults(text, taken_back).toUtf8()) < 0 || !out.commit()) {
            say(this, u"The file associations could not be saved.", u"File Associations");
            return false;
        }
    }
    if (set.isEmpty())
        return true;
    // xdg-mime writes the user's own defaults: nothing here needs more rights than the user's.
    QProcess mime;
    mime.start(QStringLiteral("xdg-mime"),
               QStringList{QStringLiteral("default"), QLatin1String(kDesktopEntry)} + set);
    if (!mime.waitForFinished(30000) || mime.exitStatus() != QProcess::NormalExit ||
        mime.exitCode() != 0) {
        say(this, u"The file associations could not be saved.", u"File Associations");
        return false;
    }
    return true;
}

// ---- opt_Language ------------------------------------------------------------------------

QStringList language_file_names() {
    std::set<QString> names;
    for (const std::u16string& root :
         {platform::suite_data_root(), platform::suite_program_folder()}) {
        if (root.empty())
            continue;
        const QDir folder(qs(platform::join_path(root, u"Language")));
        for (const QString& name :
             folder.entryList({QStringLiteral("*.lng")}, QDir::Files | QDir::Readable))
            names.insert(name);
    }
    return {names.begin(), names.end()};
}

LanguageTool::LanguageTool(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("opt_Language"));
    setWindowTitle(xlat(u"Language"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(xlat(u"Language of the suite's programs:"), this));
    m_list = new QListWidget(this);
    const QString configured = qs(platform::suite_config(true).language());
    QStringList names{QLatin1String(kEnglish)};
    names << language_file_names();
    for (const QString& name : names) {
        auto* item = new QListWidgetItem(
            xlat(name == QLatin1String(kEnglish) ? name : QFileInfo(name).completeBaseName()),
            m_list);
        item->setData(Qt::UserRole, name);
        if (name.compare(configured, Qt::CaseInsensitive) == 0)
            m_list->setCurrentItem(item);
    }
    if (!m_list->currentItem()) {
        // None configured: the session's language is the one in use, when we ship it.
        const QString in_use =
            lang::IsTranslationActive() ? QStringLiteral("German.lng") : QLatin1String(kEnglish);
        for (int i = 0; i < m_list->count(); ++i)
            if (m_list->item(i)->data(Qt::UserRole).toString() == in_use)
                m_list->setCurrentRow(i);
    }
    layout->addWidget(m_list, 1);
    layout->addWidget(ok_cancel(this));
    resize(360, 320);
}

bool LanguageTool::apply() {
    const QListWidgetItem* item = m_list->currentItem();
    if (!item)
        return true;
    session::SuiteSettings settings = session::suite_settings(platform::suite_config(true));
    settings.language = item->data(Qt::UserRole).toString().toStdU16String();
    if (!session::save_suite_settings(settings)) {
        say(this, u"The language setting could not be saved.", u"Language");
        return false;
    }
    return true;
}

// ---- opt_Other ---------------------------------------------------------------------------

OtherTool::OtherTool(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("opt_Other"));
    setWindowTitle(xlat(u"Other Settings"));
    const session::SuiteSettings settings = session::suite_settings(platform::suite_config(true));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(
        new QLabel(xlat(u"Folder for temporary files (empty: the system's own):"), this));
    auto* row = new QHBoxLayout;
    m_temp = new QLineEdit(qs(settings.temp_override), this);
    m_temp->setMaxLength(static_cast<int>(session::kSuiteTextChars));
    auto* browse = new QPushButton(xlat(u"Select Folder"), this);
    row->addWidget(m_temp, 1);
    row->addWidget(browse);
    layout->addLayout(row);
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString chosen =
            choose_folder(this, xlat(u"Folder for temporary files"), m_temp->text());
        if (!chosen.isEmpty())
            m_temp->setText(chosen);
    });
    m_thorough = new QCheckBox(xlat(u"Thorough compression for VT5 files (slower, smaller)"), this);
    m_thorough->setChecked(settings.vt5_writer_value != 0);
    layout->addWidget(m_thorough);

    // The engine's limits: not fields of the suite configuration, but state entries.
    const session::EngineLimits limits = session::engine_limits();
    auto* grid = new QFormLayout;
    m_workers = new QSpinBox(this);
    m_workers->setRange(0, static_cast<int>(session::kMaxJobWorkers));
    m_workers->setSpecialValueText(xlat(u"Automatic"));
    m_workers->setValue(static_cast<int>(limits.workers));
    grid->addRow(xlat(u"Worker threads (1 to 32; automatic: one per processor):"), m_workers);
    m_memory = new QSpinBox(this);
    m_memory->setRange(0, static_cast<int>(session::kMaxMemoryBudgetMb));
    m_memory->setSingleStep(256);
    m_memory->setSuffix(QStringLiteral(" MB"));
    m_memory->setSpecialValueText(xlat(u"Automatic"));
    m_memory->setValue(static_cast<int>(limits.memory_mb));
    grid->addRow(xlat(u"Memory budget of a job (16 MB or more; automatic: three quarters of the "
                      u"free memory):"),
                 m_memory);
    layout->addLayout(grid);
    auto* note =
        new QLabel(xlat(u"Worker threads and memory budget apply from the next start."), this);
    note->setWordWrap(true);
    layout->addWidget(note);
    layout->addStretch(1);
    layout->addWidget(ok_cancel(this));
    resize(560, 260);
}

bool OtherTool::apply() {
    session::SuiteSettings settings = session::suite_settings(platform::suite_config(true));
    const QString temp = m_temp->text().trimmed();
    if (!temp.isEmpty() && !QFileInfo(temp).isDir()) {
        say(this, u"The folder for temporary files does not exist.", u"Other Settings");
        return false;
    }
    settings.temp_override = temp.toStdU16String();
    settings.vt5_writer_value = m_thorough->isChecked() ? 1 : 0;
    const session::EngineLimits limits{static_cast<unsigned>(m_workers->value()),
                                       static_cast<std::uint64_t>(m_memory->value())};
    if (limits.memory_mb != 0 && limits.memory_mb < session::kMinMemoryBudgetMb) {
        say(this, u"The memory budget must be at least 16 MB.", u"Other Settings");
        return false;
    }
    if (!session::save_suite_settings(settings) || !session::save_engine_limits(limits)) {
        say(this, u"The settings could not be saved.", u"Other Settings");
        return false;
    }
    return true;
}

// ---- the programs ------------------------------------------------------------------------

int run_suite_tool(int argc, char** argv, QDialog* (*make)()) {
    QApplication app(argc, argv);
    install_qt_ui_hooks();
    const session::Session session(session::Session::Options{true});
    if (!session.started())
        return 1;
    use_qt_translations();
    QApplication::setWindowIcon(program_icon());
    QDialog* dialog = make();
    const int result = dialog->exec();
    delete dialog;
    return result == QDialog::Accepted ? 0 : 1;
}

} // namespace vt::app
