// The suite's settings tools and what the main window does around them: the settings written
// back over a record whose other bytes stay, the language chosen and the program restarted in
// it, the file associations set and taken back, a plug-in blocked, and Painter or Viewer
// falling back to the desktop's opener. Every tool is rendered to PNG, in English and German.

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSpinBox>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include "app/main_window.h"
#include "app/startup.h"
#include "app/tools/suite_tools.h"
#include "lang/translator.h"
#include "platform/suite_config.h"
#include "platform/ui_hooks.h"
#include "plugins/filter_registry.h"
#include "session/engine_limits.h"
#include "session/remembered.h"
#include "session/suite_settings.h"
#include "tests/app/english_left.h"
#include "tests/support/temp_folder.h"

namespace vt::app {
namespace {

QStringList g_asked;
platform::MessageAnswer g_answer = platform::MessageAnswer::no;
platform::MessageAnswer answer_box(std::u16string_view text, std::u16string_view title,
                                   platform::MessageButtons, platform::MessageIcon) {
    g_asked << QString::fromStdU16String(std::u16string(title)) + QStringLiteral(": ") +
                   QString::fromStdU16String(std::u16string(text));
    return g_answer;
}
QStringList g_opened;
bool record_open(std::u16string_view folder) {
    g_opened << QString::fromStdU16String(std::u16string(folder));
    return true;
}

void save_screen(QWidget& widget, const QString& name) {
    QDir().mkpath(QStringLiteral(VT_APP_SCREENS_DIR));
    widget.show();
    QTest::qWait(50);
    QVERIFY(widget.grab().save(QStringLiteral(VT_APP_SCREENS_DIR "/") + name));
}

std::string config_file(const test::TempFolder& root) {
    return root / "suite_config.bin";
}

// A record another suite program wrote: a field of its own at 1000, both flags set.
std::string foreign_record() {
    platform::SuiteConfig base = platform::SuiteConfig::defaults(0);
    auto bytes = session::suite_config_bytes(base, {u"", u"", 0, {1, 1}});
    bytes[1000] = 0x5A;
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

void write_script(const test::TempFolder& folder, const std::string& name,
                  const std::string& body) {
    folder.write(name, "#!/bin/sh\n" + body + "\n");
    ::chmod((folder / name).c_str(), 0700);
}

class ToolsTest : public QObject {
    Q_OBJECT

    test::TempFolder m_root;

private slots:
    void init() {
        platform::UiHooks hooks;
        hooks.message_box = answer_box;
        hooks.open_folder = record_open;
        platform::set_ui_hooks(hooks);
        g_asked.clear();
        g_opened.clear();
        std::filesystem::remove(config_file(m_root));
        ::setenv("VANTREL_DATA_ROOT", m_root.path().c_str(), 1);
        (void)platform::suite_config(true);
    }

    void settingsAreWrittenOverTheRecordTheOthersKeep() {
        m_root.write("suite_config.bin", foreign_record());
        test::TempFolder temp;
        OtherTool tool;
        QCOMPARE(tool.tempFolder()->text(), QString());
        QVERIFY(!tool.thoroughVt5()->isChecked());
        save_screen(tool, QStringLiteral("opt_Other.png"));

        // A folder that is not there is refused, and nothing is written.
        tool.tempFolder()->setText(QString::fromStdString(temp / "missing"));
        QVERIFY(!tool.apply());
        QCOMPARE(g_asked, QStringList{"Other Settings: The folder for temporary files does not "
                                      "exist."});
        QCOMPARE(m_root.read("suite_config.bin"), foreign_record());

        tool.tempFolder()->setText(QString::fromStdString(temp.path()));
        tool.thoroughVt5()->setChecked(true);
        QVERIFY(tool.apply());
        const platform::SuiteConfig saved = platform::suite_config(true);
        QVERIFY(saved.accepted());
        QCOMPARE(saved.temp_override(), temp.path16());
        QCOMPARE(saved.writer_value(), 1);
        QCOMPARE(saved.bytes()[1000], 0x5A);
        QCOMPARE(saved.flag(0) + saved.flag(1), 2);
        struct stat st {};
        QCOMPARE(::stat(config_file(m_root).c_str(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
        OtherTool again;
        QCOMPARE(again.tempFolder()->text(), QString::fromStdString(temp.path()));
        QVERIFY(again.thoroughVt5()->isChecked());
    }

    // The worker count and the memory budget are state entries, kept in the plug-in options'
    // file, so a new session (either front end) starts with them.
    void engineLimitsOutliveTheSession() {
        plugins::StateStore scratch(m_root.sub16("Plugins"));
        OtherTool tool;
        QCOMPARE(tool.workers()->value(), 0);
        QCOMPARE(tool.workers()->text(), QStringLiteral("Automatic"));
        tool.memoryBudget()->setValue(8); // below the least budget a job may have
        QVERIFY(!tool.apply());
        QCOMPARE(g_asked, QStringList{"Other Settings: The memory budget must be at least 16 MB."});
        QCOMPARE(session::engine_limits().memory_mb, std::uint64_t{0});
        tool.workers()->setValue(3);
        tool.memoryBudget()->setValue(700);
        QVERIFY(tool.apply());
        QCOMPARE(session::restore_plugin_options(scratch), std::size_t{2});
        const session::EngineLimits kept = session::engine_limits(scratch);
        QCOMPARE(kept.workers, 3u);
        QCOMPARE(kept.memory_mb, std::uint64_t{700});
        // The window's job runs with them.
        Startup startup;
        MainWindow w(startup.job(), startup.settings());
        test::TempFolder source, target;
        for (int i = 0; i < 4; ++i)
            source.write("p" + std::to_string(i) + ".ppm", "P6\n2 2\n255\n............");
        startup.job().sourceFolder.assign(source.path16());
        startup.job().targetFolder.assign(target.path16());
        startup.job().targetExtension.assign(u".ppm");
        QVERIFY(w.startJob());
        engine::JobStats stats;
        (void)w.run().take_snapshot(stats);
        QVERIFY(stats.liveWorkers <= 3u);
        QVERIFY(w.run().wait_for_end(std::chrono::seconds(20)));
        tool.workers()->setValue(0);
        tool.memoryBudget()->setValue(0);
        QVERIFY(tool.apply()); // back to automatic: the entries go
        QCOMPARE(session::engine_limits().workers, 0u);
    }

    void textsLongerThanTheirFieldAreCut() {
        const std::u16string long_name(100, u'x');
        const auto bytes = session::suite_config_bytes(platform::SuiteConfig::defaults(0),
                                                       {long_name, long_name, 7, {0, 0}});
        const auto config = platform::SuiteConfig::from_file_bytes(
            {reinterpret_cast<const char*>(bytes.data()), bytes.size()}, 0);
        QVERIFY(config.accepted());
        QCOMPARE(config.language(), long_name.substr(0, session::kSuiteTextChars));
        QCOMPARE(config.temp_override(), long_name.substr(0, session::kSuiteTextChars));
        QCOMPARE(config.writer_value(), 7);
    }

    void theLanguageChosenRestartsTheProgramInIt() {
        LanguageTool tool;
        QStringList shown;
        for (int i = 0; i < tool.list()->count(); ++i)
            shown << tool.list()->item(i)->text();
        QCOMPARE(shown, (QStringList{"English", "German"}));
        QCOMPARE(tool.list()->currentItem()->text(), QStringLiteral("English"));
        save_screen(tool, QStringLiteral("opt_Language.png"));
        tool.list()->setCurrentRow(1);
        QVERIFY(tool.apply());
        QCOMPARE(platform::suite_config(true).language(), std::u16string(u"German.lng"));
        const std::string german = m_root.read("suite_config.bin");

        // The main window around the tool: started in English, the tool changes the language,
        // the question follows and Yes starts the program again and closes this one.
        std::filesystem::remove(config_file(m_root));
        (void)platform::suite_config(true);
        test::TempFolder suite, saved;
        saved.write("german.bin", german);
        write_script(suite, "opt_Language",
                     "cp '" + (saved / "german.bin") + "' '" + config_file(m_root) + "'");
        write_script(suite, "vantrel-converter", "touch '" + (saved / "restarted") + "'");
        QDir().mkpath(QString::fromStdString(suite / "Language"));
        QFile::copy(QStringLiteral(VT_SOURCE_DIR "/lang/files/German.lng"),
                    QString::fromStdString(suite / "Language/German.lng"));
        ::setenv("VANTREL_PATH", suite.path().c_str(), 1);
        {
            Startup startup;
            QVERIFY(startup.started());
            QVERIFY(!lang::IsTranslationActive());
            MainWindow w(startup.job(), startup.settings());
            w.showPlaced();
            g_answer = platform::MessageAnswer::yes;
            w.command(kLanguage);
            QCOMPARE(g_asked, QStringList{"Restart Vantrel?: A restart is required to apply "
                                          "language settings.\nWould you like to restart now?"});
            QTRY_VERIFY(saved.exists("restarted"));
            QTRY_VERIFY(!w.isVisible());
        }
        ::unsetenv("VANTREL_PATH");
        g_answer = platform::MessageAnswer::no;
        lang::UnloadLanguageFile();
    }

    void fileAssociationsAreSetAndTakenBack() {
        struct Case {
            const char* text;
            QStringList ours;
            QString without_png;
        };
        const std::vector<Case> cases{
            {"", {}, ""},
            {"[Default Applications]\nimage/png=vantrel-converter.desktop;\n"
             "image/jpeg=viewer.desktop;\n",
             {"image/png"},
             "[Default Applications]\nimage/jpeg=viewer.desktop;\n"},
            // Only the first entry is the default; we are kept as a later choice's neighbour.
            {"[Default Applications]\nimage/png=viewer.desktop;vantrel-converter.desktop;\n",
             {},
             "[Default Applications]\nimage/png=viewer.desktop;\n"},
            // Other groups are not defaults and stay as they are.
            {"[Added Associations]\nimage/png=vantrel-converter.desktop;\n",
             {},
             "[Added Associations]\nimage/png=vantrel-converter.desktop;\n"},
        };
        for (const Case& c : cases) {
            QCOMPARE(mime_types_opened_by_us(QString::fromUtf8(c.text)), c.ours);
            QCOMPARE(without_our_defaults(QString::fromUtf8(c.text), {"image/png"}), c.without_png);
        }

        Startup startup; // the plug-ins say what we read
        QVERIFY(startup.started());
        const QStringList readable = readable_mime_types();
        QVERIFY2(readable.contains("image/png") && readable.contains("image/x-portable-pixmap"),
                 qPrintable(readable.join(' ')));

        test::TempFolder config, bin;
        config.write("mimeapps.list",
                     "[Default Applications]\nimage/png=vantrel-converter.desktop;\n");
        write_script(bin, "xdg-mime", "echo \"$@\" > '" + (bin / "called") + "'");
        const QByteArray path = qgetenv("PATH");
        ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
        ::setenv("PATH", (bin.path() + ":" + path.toStdString()).c_str(), 1);
        FilesTool tool;
        QStringList checked;
        for (int i = 0; i < tool.list()->count(); ++i) {
            QListWidgetItem* item = tool.list()->item(i);
            const QString type = item->data(Qt::UserRole).toString();
            if (item->checkState() == Qt::Checked)
                checked << type;
            item->setCheckState(type == "image/x-portable-pixmap" ? Qt::Checked : Qt::Unchecked);
        }
        QCOMPARE(checked, QStringList{"image/png"});
        save_screen(tool, QStringLiteral("opt_Files.png"));
        QVERIFY(tool.apply());
        ::setenv("PATH", path.constData(), 1);
        ::unsetenv("XDG_CONFIG_HOME");
        QCOMPARE(config.read("mimeapps.list"), std::string("[Default Applications]\n"));
        QCOMPARE(bin.read("called"),
                 std::string("default vantrel-converter.desktop image/x-portable-pixmap\n"));
    }

    void aPluginIsListedBlockedAndUnblocked() {
        Startup startup;
        QVERIFY(startup.started());
        PluginsTool tool;
        int pnm = -1;
        for (int r = 0; r < tool.table()->rowCount(); ++r)
            if (tool.table()->item(r, 0)->text() == "fmx_PNM.so")
                pnm = r;
        QVERIFY(pnm >= 0);
        QCOMPARE(tool.table()->item(pnm, 1)->text(), QStringLiteral(VT_VERSION));
        QVERIFY(tool.table()->item(pnm, 2)->text().split(' ').contains(".ppm"));
        QVERIFY(tool.table()->item(pnm, 3)->text().split(' ').contains(".ppm"));
        QCOMPARE(tool.table()->item(pnm, 4)->text(), QStringLiteral("Active"));
        save_screen(tool, QStringLiteral("opt_Plugins.png"));
        tool.table()->selectRow(pnm);
        tool.blockSelected();
        // Still listed, with what it handles, so that it can be unblocked.
        QCOMPARE(tool.table()->item(pnm, 0)->text(), QStringLiteral("fmx_PNM.so"));
        QCOMPARE(tool.table()->item(pnm, 4)->text(), QStringLiteral("Blocked"));
        QVERIFY(tool.table()->item(pnm, 2)->text().split(' ').contains(".ppm"));
        const std::u16string path = tool.pluginAt(pnm).toStdU16String();
        QVERIFY(plugins::filter_registry().is_blacklisted(path));
        const auto listed_now = [&] {
            const auto list = plugins::filter_registry().plugin_list();
            return std::find(list.begin(), list.end(), path) != list.end();
        };
        QVERIFY(!listed_now());
        save_screen(tool, QStringLiteral("opt_Plugins_blocked.png"));
        {
            PluginsTool reopened; // a new run of the tool finds it through the blacklist
            bool listed = false;
            for (int r = 0; r < reopened.table()->rowCount(); ++r)
                listed |= reopened.table()->item(r, 0)->text() == "fmx_PNM.so" &&
                          reopened.table()->item(r, 4)->text() == "Blocked";
            QVERIFY(listed);
        }
        tool.unblockSelected();
        QCOMPARE(tool.table()->item(pnm, 4)->text(), QStringLiteral("Active"));
        QVERIFY(!plugins::filter_registry().is_blacklisted(path));
        QVERIFY(listed_now());

        // Options: the JPEG plug-in's form opens; a plug-in without options says so.
        QStringList opened;
        QTimer closer;
        connect(&closer, &QTimer::timeout, [&] {
            if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                opened << QString::fromLatin1(d->metaObject()->className());
                d->reject();
            }
        });
        closer.start(20);
        for (int r = 0; r < tool.table()->rowCount(); ++r)
            if (tool.table()->item(r, 0)->text() == "fmx_JPEG.so")
                tool.table()->selectRow(r);
        tool.configureSelected();
        QCOMPARE(opened, QStringList{"vt::app::PluginOptionsDialog"});
        tool.table()->selectRow(pnm);
        tool.configureSelected();
        QCOMPARE(g_asked, QStringList{"Configure: Nothing to configure!"});
    }

    void painterAndViewerFallBackToTheDesktopsOpener() {
        test::TempFolder suite, target;
        ::setenv("VANTREL_PATH", suite.path().c_str(), 1);
        Startup startup;
        QVERIFY(startup.started());
        MainWindow w(startup.job(), startup.settings());
        startup.job().targetFolder.assign(target.path16());
        w.command(kLaunchViewer);
        w.command(kLaunchPainter);
        QCOMPARE(g_opened, (QStringList{QString::fromStdString(target.path()),
                                        QString::fromStdString(target.path())}));
        QVERIFY(g_asked.isEmpty());
        // Without a target folder there is nothing to show: the missing program is named.
        startup.job().targetFolder.assign(u"");
        w.command(kLaunchViewer);
        QCOMPARE(g_asked, QStringList{"Missing File: Could not find \"Viewer\""});
        ::unsetenv("VANTREL_PATH");
    }

    void toolsInGerman() {
        qunsetenv("LC_ALL");
        qputenv("LANG", "de_DE.UTF-8");
        const QSet<QString> vocabulary =
            test::german_words(QStringLiteral(VT_SOURCE_DIR "/lang/files/German.lng"));
        QVERIFY(vocabulary.contains("ordner") && !vocabulary.contains("folder"));
        {
            Startup startup;
            QVERIFY(startup.started());
            QVERIFY(lang::IsTranslationActive());
            PluginsTool plugins;
            save_screen(plugins, QStringLiteral("opt_Plugins_de.png"));
            FilesTool files;
            save_screen(files, QStringLiteral("opt_Files_de.png"));
            LanguageTool language;
            QCOMPARE(language.list()->currentItem()->text(), QStringLiteral("Deutsch"));
            save_screen(language, QStringLiteral("opt_Language_de.png"));
            OtherTool other;
            QCOMPARE(other.windowTitle(), QStringLiteral("Weitere Einstellungen"));
            save_screen(other, QStringLiteral("opt_Other_de.png"));
            for (QDialog* tool :
                 std::initializer_list<QDialog*>{&plugins, &files, &language, &other}) {
                const QStringList left = test::english_left(*tool, vocabulary);
                QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char('\n'))));
            }
            // The check knows no list of English words: any text the table does not have
            // fails it, and only names pass untranslated.
            const struct {
                const char* shown;
                bool english;
            } labels[] = {{"Keep a copy of every picture", true},
                          {"Settings", true},
                          {"Speicherbudget: 512 MB (JPEG, fmx_JPEG.so, /tmp/x)", false},
                          {"Vantrel Converter", false}};
            for (const auto& l : labels) {
                QWidget box;
                new QLabel(QString::fromUtf8(l.shown), &box);
                QCOMPARE(!test::english_left(box, vocabulary).isEmpty(), l.english);
            }
        }
        qputenv("LC_ALL", "C.UTF-8");
        lang::UnloadLanguageFile();
    }
};

} // namespace
} // namespace vt::app

int main(int argc, char** argv) {
    // CTest passes GoogleTest's options to every test program; Qt Test knows none of them.
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i)
        if (std::string(argv[i]).rfind("--gtest", 0) != 0)
            args.push_back(argv[i]);
    int count = static_cast<int>(args.size());
    QApplication app(count, args.data());
    vt::app::ToolsTest test;
    return QTest::qExec(&test, count, args.data());
}

#include "tools_test.moc"
