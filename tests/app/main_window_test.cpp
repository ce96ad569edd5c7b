// The main window over a real job: the commands' enabling before, during and after it, the
// pause item's texts, a close answered No, and a restart that keeps the resize box and the
// placement; a protected picture opened through the password dialog. The window during the job,
// the About box and the password dialog are rendered to PNG files.

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include "app/about_box.h"
#include "app/main_window.h"
#include "app/output_pane.h"
#include "app/progress_pane.h"
#include "app/startup.h"
#include "app/ui_hooks_qt.h"
#include "app/wizard/plugin_options_dialog.h"
#include "app/wizard/wizard_page.h"
#include "image/image_doc.h"
#include "image/load_status.h"
#include "lang/translator.h"
#include "platform/ui_hooks.h"
#include "plugins/state_store.h"
#include "session/job_door.h"
#include "session/remembered.h"
#include "tests/app/english_left.h"
#include "tests/support/temp_folder.h"
#include "vt5/vt5.h"

namespace vt::app {
namespace {

std::string ppm(int w, int h, int seed) {
    std::string data = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool disc = std::hypot(x - w / 2, y - h / 2) < h / 3;
            data.push_back(static_cast<char>(disc ? 240 : (x * 255 / w + seed * 13) & 255));
            data.push_back(static_cast<char>(disc ? 120 : (y * 255 / h) & 255));
            data.push_back(static_cast<char>(disc ? 40 : 255 - x * 200 / w));
        }
    return data;
}

void save_screen(QWidget& widget, const char* name) {
    QDir().mkpath(QStringLiteral(VT_APP_SCREENS_DIR));
    QVERIFY(widget.grab().save(QStringLiteral(VT_APP_SCREENS_DIR "/") + QLatin1String(name)));
}

// The answer every message box gets, and what was asked.
platform::MessageAnswer g_answer = platform::MessageAnswer::no;
QStringList g_asked;
platform::MessageAnswer answer_box(std::u16string_view text, std::u16string_view title,
                                   platform::MessageButtons, platform::MessageIcon) {
    g_asked << QString::fromStdU16String(std::u16string(title)) + QStringLiteral(": ") +
                   QString::fromStdU16String(std::u16string(text));
    return g_answer;
}

struct MenuState {
    bool new_job, pause, cancel, open;
    QString pause_text;
};

MenuState shown(MainWindow& w, QMenu* menu) {
    emit menu->aboutToShow();
    return {w.action(kNewJob)->isEnabled(), w.action(kPauseJob)->isEnabled(),
            w.action(kCancelJob)->isEnabled(), w.action(kOpenTargetFolder)->isEnabled(),
            w.action(kPauseJob)->text()};
}

// The window as the desktop's drag and drop reaches it.
class DropTarget : public MainWindow {
public:
    using MainWindow::MainWindow;
    void drop(QDropEvent& event) { dropEvent(&event); }
};

class ShellTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        platform::UiHooks hooks;
        hooks.message_box = answer_box;
        platform::set_ui_hooks(hooks);
        g_asked.clear();
    }

    void commandsFollowARealJob() {
        test::TempFolder source, target;
        for (int i = 0; i < 60; ++i)
            source.write("pic" + std::to_string(i) + ".ppm", ppm(800, 600, i));
        Startup startup;
        QVERIFY(startup.started());
        MainWindow w(startup.job(), startup.settings());
        w.showPlaced();
        QCOMPARE(w.windowTitle(), QStringLiteral("Vantrel Converter"));
        QMenu* file = w.menuBar()->actions().at(0)->menu();

        MenuState m = shown(w, file);
        QVERIFY(m.new_job && !m.pause && !m.cancel && !m.open);
        QCOMPARE(m.pause_text, QStringLiteral("&Pause Job"));
        QCOMPARE(w.action(kLanguage)->text(), QStringLiteral("Language ..."));

        startup.job().sourceFolder.assign(source.path16());
        startup.job().targetFolder.assign(target.sub16("out"));
        startup.job().targetExtension.assign(u".bmp");
        QVERIFY(w.startJob());
        QTRY_VERIFY_WITH_TIMEOUT(w.run().preview() != nullptr, 20000);
        w.pauseJob();
        QTRY_COMPARE(w.run().state(), engine::JobState::paused);
        QTest::qWait(2300); // the output pane refreshes every 2 s until it sees the job
        save_screen(w, "main_window.png");
        m = shown(w, file);
        QVERIFY(!m.new_job && m.pause && m.cancel);
        QCOMPARE(m.pause_text, QStringLiteral("Un&pause Job"));
        file->popup(w.mapToGlobal(QPoint(0, 0)));
        QTest::qWait(50);
        save_screen(*file, "file_menu.png");
        file->hide();
        emit w.contextMenu()->aboutToShow();
        QVERIFY(!w.contextAction(kNewJob)->isEnabled());
        QCOMPARE(w.contextAction(kPauseJob)->text(), QStringLiteral("Un&pause Job"));

        // Closing during the job asks; No keeps the window and the job.
        g_answer = platform::MessageAnswer::no;
        QVERIFY(!w.close());
        QCOMPARE(g_asked, QStringList{"Cancel?: Are you sure you want to cancel this operation?"});
        QVERIFY(w.isVisible());
        QVERIFY(w.run().job_active());

        w.pauseJob();
        QTRY_COMPARE(w.run().state(), engine::JobState::running);
        QCOMPARE(shown(w, file).pause_text, QStringLiteral("&Pause Job"));

        QVERIFY(w.run().wait_for_end(std::chrono::seconds(60)));
        m = shown(w, file);
        QVERIFY(m.new_job && !m.pause && !m.cancel && m.open);
        QVERIFY(QDir(QString::fromStdString(target / "out")).removeRecursively());
        QVERIFY(!shown(w, file).open);

        g_asked.clear();
        QVERIFY(w.close()); // no job: no question
        QVERIFY(g_asked.isEmpty());
    }

    void picturesFromTheDesktopAreAJobOfExactlyThoseFiles() {
        test::TempFolder source, target;
        for (const char* name : {"a.ppm", "b.ppm", "c.ppm"})
            source.write(name, ppm(40, 30, name[0]));
        source.write("sub/d.ppm", ppm(20, 10, 4));
        Startup startup;
        DropTarget w(startup.job(), startup.settings());
        w.showPlaced();
        // Whatever page of the wizard opens is noted and closed.
        QStringList opened;
        QTimer closer;
        connect(&closer, &QTimer::timeout, [&] {
            for (auto* page : w.findChildren<WizardPage*>())
                if (page->isVisible()) {
                    opened << page->windowTitle();
                    page->reject();
                }
        });
        closer.start(20);

        // Two pictures, as "vantrel-converter a.ppm sub/d.ppm" or Open With hands them over.
        QVERIFY(w.openPaths({QString::fromStdString(source / "a.ppm"),
                             QString::fromStdString(source / "sub/d.ppm")}));
        QTRY_COMPARE(opened, QStringList{"Select Source Folder and Options"});
        QCOMPARE(startup.job().sourceFolder.str(), source.path16());
        QCOMPARE(startup.job().targetExtension.str(), std::u16string(u".ppm"));
        QCOMPARE(session::job_files().size(), std::size_t{2});
        startup.job().targetFolder.assign(target.sub16("out"));
        startup.job().targetExtension.assign(u".bmp");
        QVERIFY(w.startJob());
        QVERIFY(w.run().wait_for_end(std::chrono::seconds(30)));
        QStringList written;
        QDirIterator it(QString::fromStdString(target / "out"), QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            written << QDir(QString::fromStdString(target / "out")).relativeFilePath(it.next());
        written.sort();
        QCOMPARE(written, (QStringList{"a.bmp", "sub/d.bmp"}));
        QCOMPARE(QFileInfo(QString::fromStdString(target / "out/a.bmp")).size(),
                 qint64{54 + 40 * 30 * 3});

        // A dropped folder opens the wizard with it, and the chosen files are forgotten.
        opened.clear();
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QString::fromStdString(source / "sub"))});
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        w.drop(drop);
        QVERIFY(drop.isAccepted());
        QTRY_COMPARE(opened, QStringList{"Select Source Folder and Options"});
        QCOMPARE(startup.job().sourceFolder.str(), source.sub16("sub"));
        QVERIFY(session::job_files().empty());
        // Nothing usable is not taken.
        QVERIFY(!w.openPaths({QString::fromStdString(source / "missing.ppm")}));
        session::set_job_files({});
    }

    void bothPanesFollowOneSnapshot() {
        test::TempFolder source, target;
        for (int i = 0; i < 6; ++i)
            source.write("p" + std::to_string(i) + ".ppm", ppm(64, 48, i));
        Startup startup;
        MainWindow w(startup.job(), startup.settings());
        w.showPlaced();
        auto* output = w.findChild<OutputPane*>();
        auto* progress = w.findChild<ProgressPane*>();
        QTest::qWait(300); // both panes have shown the idle window
        startup.job().sourceFolder.assign(source.path16());
        startup.job().targetFolder.assign(target.sub16("out"));
        startup.job().targetExtension.assign(u".bmp");
        QVERIFY(w.startJob());
        // The output pane sees the job as soon as the gauge does, not at its idle period (2 s).
        QTRY_VERIFY_WITH_TIMEOUT(output->shownTexts().contains(QStringLiteral("TOTAL: 6")), 500);
        QVERIFY(w.run().wait_for_end(std::chrono::seconds(30)));
        QTRY_VERIFY_WITH_TIMEOUT(!progress->view().active, 500);
        // The tick that saw the end showed it in both.
        QVERIFY2(output->shownTexts().contains(QStringLiteral("Converted: 6")),
                 qPrintable(output->shownTexts().join(QLatin1Char('|'))));
        QCOMPARE(QDir(QString::fromStdString(target / "out")).entryList(QDir::Files).size(), 6);
    }

    void terminationSignalClosesWithoutAsking() {
        test::TempFolder source, target;
        for (int i = 0; i < 40; ++i)
            source.write("pic" + std::to_string(i) + ".ppm", ppm(800, 600, i));
        Startup startup;
        MainWindow w(startup.job(), startup.settings());
        w.showPlaced();
        close_on_termination_signals(w);
        startup.job().sourceFolder.assign(source.path16());
        startup.job().targetFolder.assign(target.path16());
        startup.job().targetExtension.assign(u".bmp");
        QVERIFY(w.startJob());
        QTRY_VERIFY_WITH_TIMEOUT(w.run().preview() != nullptr, 20000);
        ::raise(SIGTERM);
        QTRY_VERIFY(!w.isVisible());
        QVERIFY(g_asked.isEmpty());
        QVERIFY(w.run().wait_for_end(std::chrono::seconds(10))); // the job thread ends by itself
        engine::JobStats stats;
        (void)w.run().take_snapshot(stats);
        // Every file the job counted as converted is there whole; nothing half-written is left.
        const QStringList written =
            QDir(QString::fromStdString(target.path())).entryList(QDir::Files);
        QCOMPARE(written.size(), static_cast<qsizetype>(stats.converted));
        QVERIFY(stats.converted < 40);
        for (const QString& name : written)
            QCOMPARE(QFileInfo(QDir(QString::fromStdString(target.path())).filePath(name)).size(),
                     qint64{54 + 800 * 600 * 3});
    }

    void launchingAndHelpSayWhatIsWrong() {
        test::TempFolder suite;
        suite.write("Painter", "not a program");
        suite.write("opt_Other", "#!/bin/sh\nsleep 1\n");
        QFile::setPermissions(QString::fromStdString(suite / "opt_Other"),
                              QFile::ReadOwner | QFile::ExeOwner);
        ::setenv("VANTREL_PATH", suite.path().c_str(), 1);
        Startup startup;
        MainWindow w(startup.job(), startup.settings());
        w.showPlaced();
        g_answer = platform::MessageAnswer::cancel;
        w.command(kLaunchViewer);
        w.command(kLaunchPainter);
        w.showHelp();
        QCOMPARE(g_asked.size(), 3);
        QCOMPARE(g_asked[0], QStringLiteral("Missing File: Could not find \"Viewer\""));
        QVERIFY2(g_asked[1].startsWith(
                     QStringLiteral("Application Error: Could not run \"Painter\".\n")),
                 qPrintable(g_asked[1]));
        QCOMPARE(
            g_asked[2],
            QStringLiteral("File not found!!: Vantrel could not find \"converter_usage.html\""));
        QVERIFY(!w.isMinimized());

        // A waited-for tool: the window is disabled and says whom it waits for, then comes back.
        QString title_meanwhile;
        bool enabled_meanwhile = true;
        QTimer::singleShot(300, &w, [&] {
            title_meanwhile = w.windowTitle();
            enabled_meanwhile = w.isEnabled();
        });
        QElapsedTimer took;
        took.start();
        w.command(kOtherSettings);
        ::unsetenv("VANTREL_PATH");
        QVERIFY(took.elapsed() >= 900);
        QCOMPARE(title_meanwhile, QStringLiteral("Waiting for \"opt_Other\" to exit ..."));
        QVERIFY(!enabled_meanwhile);
        QCOMPARE(w.windowTitle(), QStringLiteral("Vantrel Converter"));
        QVERIFY(w.isEnabled());
    }

    void missingFoldersAreFatal() {
        test::TempFolder root;
        root.write("file");
        const std::string old = std::getenv("VANTREL_DATA_ROOT");
        ::setenv("VANTREL_DATA_ROOT", (root / "file/below").c_str(), 1);
        {
            Startup startup;
            QVERIFY(!startup.started());
        }
        ::setenv("VANTREL_DATA_ROOT", old.c_str(), 1);
        // No data root, so no log either: its line is shown instead.
        QCOMPARE(g_asked.size(), 2);
        QCOMPARE(g_asked[0], QStringLiteral("Fatal Error - System Failure: Critical file-system "
                                            "data could not be loaded"));
        QVERIFY2(g_asked[1].startsWith(QStringLiteral("Error: ")) &&
                     g_asked[1].endsWith(
                         QStringLiteral(" | Converter | Critical file-system data failure \r\n")),
                 qPrintable(g_asked[1]));
    }

    void restartKeepsResizeBoxAndPlacement() {
        {
            Startup first;
            QVERIFY(first.started());
            MainWindow w(first.job(), first.settings());
            w.showPlaced();
            first.job().resizeWidth = 1024;
            first.job().resizeHeight = 77;
            QTest::qWait(1100); // the settings are synced at most once a second
            w.resize(760, 540);
            QTest::qWait(1100);
            w.move(31, 23);
            QTest::qWait(1100);
        }
        Startup second;
        QVERIFY(second.started());
        QCOMPARE(second.job().resizeWidth, 1024);
        QCOMPARE(second.job().resizeHeight, 77);
        MainWindow w(second.job(), second.settings());
        w.showPlaced();
        QCOMPARE(w.pos(), QPoint(31, 23));
        QCOMPARE(w.size(), QSize(760, 540));
    }

    void restartBringsBackTheLastJobAndThePluginOptions() {
        test::TempFolder source;
        {
            Startup first;
            QVERIFY(first.started());
            first.job().sourceFolder.assign(source.path16());
            first.job().targetExtension.assign(u".jpg");
            first.job().rename = 1;
            first.job().renamePattern.assign(u"%s-small");
            std::vector<session::PluginOption> quality;
            for (session::PluginOption& o : session::plugin_options())
                if (o.name == "fmx_JPEG.quality")
                    quality.push_back(std::move(o));
            QCOMPARE(quality.size(), std::size_t{1});
            PluginOptionsDialog form(std::move(quality), nullptr);
            form.findChild<QLineEdit*>(QStringLiteral("fmx_JPEG.quality"))->setText("70");
            form.store();
        }
        // A new process starts with an empty store.
        (void)plugins::state_store().set(u"fmx_JPEG.quality", {});
        QCOMPARE(stored_option_text("fmx_JPEG.quality"), QString());
        {
            Startup second;
            QVERIFY(second.started());
            QCOMPARE(second.job().sourceFolder.str(), source.path16());
            QCOMPARE(second.job().targetExtension.str(), std::u16string(u".jpg"));
            QCOMPARE(second.job().renamePattern.str(), std::u16string(u"%s-small"));
            QCOMPARE(stored_option_text("fmx_JPEG.quality"), QStringLiteral("70"));
            // Emptied in the dialog, the option is forgotten for the next start as well.
            std::vector<session::PluginOption> quality{{"fmx_JPEG.quality", "90", "", u""}};
            PluginOptionsDialog form(std::move(quality), nullptr);
            form.findChild<QLineEdit*>(QStringLiteral("fmx_JPEG.quality"))->setText("");
            form.store();
        }
        QCOMPARE(session::restore_plugin_options(), std::size_t{0});
        QCOMPARE(stored_option_text("fmx_JPEG.quality"), QString());
        // A last job that cannot be read leaves the defaults.
        QFile::remove(QString::fromStdU16String(session::last_job_path()));
        QFile broken(QString::fromStdU16String(session::last_job_path()));
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("targetExtension = \n\xff\xfe nonsense\n");
        broken.close();
        engine::ConversionJob job = engine::default_job();
        QVERIFY(!session::load_last_job(job));
        QVERIFY(job == engine::default_job());
        QFile::remove(QString::fromStdU16String(session::last_job_path()));
    }

    void germanSessionGetsGermanTextsThroughout() {
        // A desktop session in German picks the shipped German file by itself.
        qunsetenv("LC_ALL");
        qputenv("LANG", "de_DE.UTF-8");
        Startup startup;
        QVERIFY(startup.started());
        MainWindow w(startup.job(), startup.settings());
        w.showPlaced();
        QStringList texts;
        std::vector<QMenu*> menus{w.contextMenu()};
        for (QAction* a : w.menuBar()->actions())
            menus.push_back(a->menu());
        for (std::size_t i = 0; i < menus.size(); ++i)
            for (QAction* a : menus[i]->actions()) {
                if (a->menu())
                    menus.push_back(a->menu());
                if (!a->isSeparator())
                    texts << a->text().remove(QLatin1Char('&'));
            }
        for (QAction* a : w.menuBar()->actions())
            texts.prepend(a->text());
        QCOMPARE(
            texts.join(QLatin1Char('|')),
            QStringLiteral("Hilfe|Einstellungen|Datei|Neuer Auftrag|Auftrag anhalten|"
                           "Auftrag abbrechen|Zielordner öffnen|Hilfe|Beenden|Neuer Auftrag|"
                           "Auftrag anhalten|Auftrag abbrechen|Zielordner öffnen|"
                           "Auftragsprotokoll ...|Anwendung starten|Beenden|Plug-in-Verwaltung ...|"
                           "Dateizuordnungen ...|Sprache (Language) ...|"
                           "Weitere Einstellungen ...|Online nach Aktualisierungen suchen|"
                           "Inhalt|Über|Vantrel Painter|Vantrel Viewer"));
        AboutBox box(&w);
        QCOMPARE(box.windowTitle(), QStringLiteral("Über Vantrel Converter"));
        QTest::qWait(300);
        save_screen(w, "main_window_de.png");
        const QSet<QString> vocabulary =
            test::german_words(QStringLiteral(VT_SOURCE_DIR "/lang/files/German.lng"));
        QStringList left = test::english_left(w, vocabulary) + test::english_left(box, vocabulary);
        for (QMenu* menu : menus)
            left += test::english_left(*menu, vocabulary);
        QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char('\n'))));
        qputenv("LC_ALL", "C.UTF-8");
        lang::UnloadLanguageFile();
    }

    void theProgramHasAnIcon() {
        // The test sits where the program would: its share/ beside the programs' folder.
        const QIcon icon = program_icon();
        QVERIFY(!icon.isNull());
        QVERIFY(icon.availableSizes().contains(QSize(48, 48)));
        QVERIFY(!icon.pixmap(48, 48).toImage().isNull());
    }

    void aboutBoxNamesVersionDateAndEngine() {
        AboutBox box(nullptr);
        QCOMPARE(box.windowTitle(), QStringLiteral("About Vantrel Converter"));
        const QStringList texts = box.shownTexts();
        QCOMPARE(texts.value(0), QStringLiteral("Vantrel Converter"));
        QVERIFY(QRegularExpression(
                    QStringLiteral("^Version 5\\.08\\.01 \\(\\d\\d-[A-Z][a-z]{2}-\\d{4}\\)$"))
                    .match(texts.value(1))
                    .hasMatch());
        QVERIFY(texts.value(2).startsWith(QStringLiteral("VxGRAF2")));
        QCOMPARE(build_date_text("Mar  7 2026"), QStringLiteral("07-Mar-2026"));
        box.show();
        QTest::qWait(300);
        save_screen(box, "about.png");
    }

    // A protected picture of the single-image layout opens with the password typed into the
    // dialog; the dialog is rendered before it is answered.
    void passwordDialogOpensAProtectedFile() {
        QFile corpus(QStringLiteral(VT_SOURCE_DIR "/fuzz/corpus/vt5_read_fuzz/v2_password"));
        QVERIFY(corpus.open(QIODevice::ReadOnly));
        QByteArray file = corpus.readAll();
        file.chop(1); // the fuzzer's option byte
        install_qt_ui_hooks();
        QString title;
        QTimer::singleShot(200, [&] {
            QWidget* dialog = QApplication::activeModalWidget();
            QVERIFY(dialog != nullptr);
            title = dialog->windowTitle();
            dialog->findChild<QLineEdit*>()->setText(QStringLiteral("secret"));
            save_screen(*dialog, "password_dialog.png");
            QTest::keyClick(dialog->findChild<QLineEdit*>(), Qt::Key_Return);
        });
        Layer layers[4] = {};
        image::LoadStatus status{};
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(file.constData());
        const std::uint32_t count = vt5::Vt5Read(
            layers, 4, status, {bytes, static_cast<std::size_t>(file.size())}, u"p.vt5", {});
        QCOMPARE(title, QStringLiteral("Enter VT5 Password"));
        QCOMPARE(count, 1u);
        QCOMPARE(status.password_protected, 0);
        QCOMPARE(layers[0].bitmap.width, 1u);
        for (Layer& l : layers)
            image::release_layer(l);
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
    vt::test::TempFolder data;
    setenv("VANTREL_DATA_ROOT", data.path().c_str(), 1);
    QApplication app(count, args.data());
    vt::app::ShellTest test;
    return QTest::qExec(&test, count, args.data());
}

#include "main_window_test.moc"
