// The conversion wizard, page by page: the refusals, the target proposal, the stored choices,
// the controls' limits; every page is rendered to PNG (English and German); and one job
// described through all eight pages converts a folder exactly as vtconvert does.

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include "app/folder_chooser.h"
#include "app/main_window.h"
#include "app/startup.h"
#include "app/translate.h"
#include "app/wizard/folder_pages.h"
#include "app/wizard/job_options.h"
#include "app/wizard/plugin_options_dialog.h"
#include "app/wizard/wizard.h"
#include "engine/preset.h"
#include "lang/translator.h"
#include "platform/ui_hooks.h"
#include "tests/app/english_left.h"
#include "tests/support/temp_folder.h"

namespace vt::app {
namespace {

QStringList g_refusals;
platform::MessageAnswer note_box(std::u16string_view text, std::u16string_view,
                                 platform::MessageButtons b, platform::MessageIcon) {
    g_refusals << QString::fromStdU16String(std::u16string(text));
    return platform::default_answer(b);
}

std::unique_ptr<WizardPage> open_page(int number, engine::ConversionJob& job) {
    auto page = make_wizard_page(number, job, nullptr, [] {});
    page->show();
    return page;
}

// Clicks Next; the page's result, or -1 when it stayed open. A plug-in's option dialog that
// Next opens is closed again.
int next(WizardPage& page) {
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [] {
        if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
            if (!qobject_cast<WizardPage*>(d))
                d->reject();
    });
    closer.start(20);
    page.setResult(-1);
    page.nextButton()->click();
    return page.isVisible() ? -1 : page.result();
}

template <typename T>
T* nth(QWidget& page, int i = 0) {
    return page.findChildren<T*>().value(i);
}

void save_screen(QWidget& widget, const QString& name) {
    QDir().mkpath(QStringLiteral(VT_APP_SCREENS_DIR));
    widget.grab().save(QStringLiteral(VT_APP_SCREENS_DIR "/") + name);
}

class WizardTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        platform::UiHooks hooks;
        hooks.message_box = note_box;
        platform::set_ui_hooks(hooks);
        g_refusals.clear();
    }

    void sourcePageRefusesWhatCannotBeConverted() {
        test::TempFolder tmp;
        tmp.write("full/a.jpg");
        QDir().mkpath(QString::fromStdString(tmp / "empty"));
        const struct {
            std::string folder;
            const char* refusal; // nullptr: accepted
        } cases[] = {{"/", "Source path invalid or too short"},
                     {tmp / "missing", "Source path does not exist"},
                     {tmp / "empty", "Source path is an empty folder"},
                     {tmp / "full/", nullptr}};
        for (const auto& c : cases) {
            engine::ConversionJob job;
            auto page = open_page(1, job);
            nth<QLineEdit>(*page)->setText(QString::fromStdString(c.folder));
            g_refusals.clear();
            QCOMPARE(next(*page), c.refusal ? -1 : int(kNext));
            QCOMPARE(g_refusals.value(0), c.refusal ? QString(c.refusal) : QString());
        }
    }

    void targetPageProposesWithoutStackingSuffixes() {
        test::TempFolder tmp;
        tmp.write("Photos/a.jpg");
        engine::ConversionJob job;
        job.sourceFolder.assign(tmp.sub16("Photos"));
        const QString base = QString::fromStdString(tmp / "Photos (Converted)");
        auto page = open_page(2, job);
        QCOMPARE(nth<QLineEdit>(*page)->text(), base);
        tmp.write("Photos (Converted)/old.jpg");
        for (int round = 0; round < 2; ++round) { // Back and Next again: recomputed, not stacked
            page = open_page(2, job);
            QCOMPARE(nth<QLineEdit>(*page)->text(), base + QStringLiteral(" (0001)"));
            page->backButton()->click();
            QCOMPARE(page->result(), int(kBack));
        }
        page = open_page(2, job);
        nth<QLineEdit>(*page)->setText(base);
        QCOMPARE(next(*page), -1);
        QCOMPARE(g_refusals, QStringList{"Target path is not empty"});
    }

    void renameAndFormatPagesStoreWhatTheRulesSay() {
        engine::ConversionJob job;
        const struct {
            const char* pattern;
            bool accepted;
        } patterns[] = {{"%w%h", false}, {"%nn", true}, {"%s-small", true}};
        for (const auto& c : patterns) {
            auto page = open_page(3, job);
            nth<QCheckBox>(*page)->setChecked(true);
            nth<QLineEdit>(*page)->setText(QString::fromLatin1(c.pattern));
            QCOMPARE(next(*page) == kNext, c.accepted);
        }
        for (const auto& [typed, stored] :
             {std::pair{"JPEG", u".jpeg"}, {"photo.Tiff", u".tiff"}}) {
            auto page = open_page(4, job);
            nth<QCheckBox>(*page)->setChecked(true);
            nth<QLineEdit>(*page)->setText(QString::fromLatin1(typed));
            QCOMPARE(next(*page), int(kNext));
            QVERIFY(job.targetExtension.view() == std::u16string_view(stored));
        }
        job.targetExtension.assign(u".png");
        auto page = open_page(4, job);
        QVERIFY(nth<QListWidget>(*page)->currentItem()->text().startsWith(QStringLiteral(".png")));
        // The depth choice is stored as --depth's position, and opens at what the job holds.
        for (int depth : {engine::kDepth16, engine::kDepth8, engine::kDepthAuto}) {
            page = open_page(4, job);
            nth<QComboBox>(*page)->setCurrentIndex(depth);
            QCOMPARE(next(*page), int(kNext));
            QCOMPARE(job.depth, depth);
            QCOMPARE(
                open_page(4, job)->findChild<QComboBox*>(QStringLiteral("depth"))->currentIndex(),
                depth);
        }
    }

    void resizePageLimits() {
        engine::ConversionJob job;
        auto page = open_page(5, job);
        nth<QComboBox>(*page)->setCurrentIndex(3);
        // A box the resize would ignore is refused, not silently left unresized.
        nth<QLineEdit>(*page, 0)->setText(QStringLiteral("0"));
        nth<QLineEdit>(*page, 1)->setText(QStringLiteral("600"));
        g_refusals.clear();
        QCOMPARE(next(*page), -1);
        QCOMPARE(g_refusals.value(0), QStringLiteral("Output dimensions are not valid"));
        nth<QLineEdit>(*page, 0)->setText(QStringLiteral("800"));
        QCOMPARE(next(*page), int(kNext));
        QCOMPARE(std::pair(int(job.resizeMode), int(job.resizeHeight)), std::pair(3, 600));
        page = open_page(5, job);
        QScrollBar* sinc = nth<QScrollBar>(*page);
        sinc->triggerAction(QAbstractSlider::SliderToMaximum);
        QCOMPARE(sinc->value(), 29);
        nth<QLineEdit>(*page, 0)->setText(QStringLiteral("0"));
        nth<QLineEdit>(*page, 1)->setText(QStringLiteral("0"));
        g_refusals.clear();
        QCOMPARE(next(*page), -1);
        QCOMPARE(g_refusals, QStringList{"Output dimensions are not valid"});
    }

    void passThruSurvivesBackAndNext() {
        engine::ConversionJob job;
        auto page = open_page(7, job);
        nth<QCheckBox>(*page, 2)->setChecked(true);
        page->backButton()->click();
        QVERIFY(job.passThru);
        page = open_page(7, job);
        QVERIFY(nth<QCheckBox>(*page, 2)->isChecked());
    }

    void clashesRefusedUnlessKeptBothAndAPresetRoundTrips() {
        test::TempFolder src;
        src.write("a.ppm");
        src.write("a.pnm");
        engine::ConversionJob job = engine::default_job();
        job.sourceFolder.assign(src.path16());
        job.targetFolder.assign(src.sub16("out"));
        job.targetExtension.assign(u".png");
        auto page = open_page(7, job);
        page->findChild<QCheckBox*>(QStringLiteral("keep_times"))->setChecked(true);
        QCOMPARE(next(*page), int(kNext));
        // START checks the whole job: two sources, one target.
        g_refusals.clear();
        page = open_page(8, job);
        QCOMPARE(next(*page), -1);
        QVERIFY(g_refusals.value(0).contains(QStringLiteral("a.png <- a.pnm, a.ppm")));
        page = open_page(7, job);
        page->findChild<QComboBox*>(QStringLiteral("existing"))->setCurrentIndex(2);
        QCOMPARE(next(*page), int(kNext));
        QVERIFY(job.extras.existing == engine::ExistingPolicy::keep_both && job.extras.keepTimes);
        page = open_page(8, job);
        QCOMPARE(next(*page), int(kNext));
        // START made the target folder ready; the plan below must make nothing.
        QVERIFY(QDir(QString::fromStdU16String(src.sub16("out"))).removeRecursively());

        page = open_page(7, job);
        auto* box = page->findChild<JobOptionsBox*>();
        // Share 2 of 3 on the page is --shard 1/3.
        page->findChild<QSpinBox*>(QStringLiteral("shares"))->setValue(3);
        page->findChild<QSpinBox*>(QStringLiteral("share"))->setValue(2);
        box->store();
        QVERIFY(job.extras.shardIndex == 1 && job.extras.shardCount == 3);
        const engine::ConversionJob saved = job;
        QVERIFY(box->savePreset(QString::fromStdString(src / "mine.vtpreset")));
        job = engine::default_job();
        QString error;
        QVERIFY(box->loadPreset(QString::fromStdString(src / "mine.vtpreset"), error));
        QVERIFY(job == saved);
        QVERIFY(page->findChild<QCheckBox*>(QStringLiteral("keep_times"))->isChecked());
        QCOMPARE(page->findChild<QSpinBox*>(QStringLiteral("share"))->value(), 2);
        page->findChild<QSpinBox*>(QStringLiteral("shares"))->setValue(1);

        // Resuming reads and continues the report in the target folder; the plan shows what
        // each file would become before anything is written.
        page->findChild<QCheckBox*>(QStringLiteral("resume"))->setChecked(true);
        const QString plan = box->planText();
        QVERIFY(job.extras.writeReport &&
                job.extras.resumeFile.str() == src.sub16("out/_report.jsonl"));
        QVERIFY2(plan.contains(QStringLiteral("a.pnm -> ")) &&
                     plan.contains(QStringLiteral("(keep both)")),
                 qPrintable(plan));
        QVERIFY2(plan.startsWith(QStringLiteral("Files planned: 3, keep both 1, write 2")),
                 qPrintable(plan));
        QVERIFY(!QDir(QString::fromStdU16String(src.sub16("out"))).exists());
        QTimer::singleShot(0, [] {
            for (QWidget* top : QApplication::topLevelWidgets())
                if (top->objectName() == QStringLiteral("plan_dialog")) {
                    save_screen(*top, QStringLiteral("plan_dialog.png"));
                    static_cast<QDialog*>(top)->reject();
                }
        });
        page->findChild<QPushButton*>(QStringLiteral("show_plan"))->click();
    }

    void aPresetOnTheFirstPageStartsTheJobInOneClick() {
        test::TempFolder tmp;
        tmp.write("Bilder/a.ppm", "P6\n1 1\n255\nabc");
        tmp.write("Bilder/b.ppm", "P6\n1 1\n255\ndef");
        const QString own = own_presets_folder();
        const QString mine = own + QStringLiteral("/small bitmaps.vtpreset");
        engine::Preset preset;
        preset.job.targetExtension.assign(u".bmp");
        preset.job.rename = 1;
        preset.job.renamePattern.assign(u"%s-small");
        QVERIFY(engine::save_preset_file(mine.toStdU16String(), preset));
        QVERIFY(preset_files().contains(mine));

        engine::ConversionJob job = engine::default_job();
        job.sourceFolder.assign(tmp.sub16("Bilder"));
        auto page = open_page(1, job);
        auto* presets = page->findChild<QComboBox*>(QStringLiteral("presets"));
        presets->setCurrentIndex(presets->findText(QStringLiteral("small bitmaps")));
        QVERIFY(presets->currentIndex() >= 0);
        page->findChild<QPushButton*>(QStringLiteral("preset_start"))->click();
        QVERIFY2(page->result() == kStart, qPrintable(g_refusals.join(QLatin1Char('\n'))));
        auto prepared = static_cast<SourcePage&>(*page).takePrepared();
        QVERIFY(prepared);
        QCOMPARE(prepared->plan().files.size(), std::size_t{2});
        QCOMPARE(prepared->job().targetFolder.str(), tmp.sub16("Bilder (Converted)"));
        QCOMPARE(prepared->plan().files[0].target, tmp.sub16("Bilder (Converted)/a-small.bmp"));

        // A source page that refuses refuses the preset too: nothing starts.
        job.sourceFolder.assign(tmp.sub16("missing"));
        page = open_page(1, job);
        page->findChild<QPushButton*>(QStringLiteral("preset_start"))->click();
        QVERIFY(page->isVisible());
        QVERIFY(!static_cast<SourcePage&>(*page).takePrepared());
        page->reject();
        QFile::remove(mine);
    }

    void everyPageIsRenderedInEnglishAndGerman() {
        test::TempFolder tmp;
        tmp.write("Photos/a.jpg");
        for (const char* language : {"C.UTF-8", "de_DE.UTF-8"}) {
            qputenv("LC_ALL", language);
            QVERIFY(lang::LoadLanguageFile() == (language[0] == 'd' ? 1 : 0));
            use_qt_translations();
            engine::ConversionJob job;
            job.sourceFolder.assign(tmp.sub16("Photos"));
            job.targetExtension.assign(u".jpg");
            for (int n = 1; n <= kWizardPages; ++n) {
                auto page = open_page(n, job);
                QTest::qWait(20);
                save_screen(*page, QStringLiteral("wizard_page%1%2.png")
                                       .arg(n)
                                       .arg(language[0] == 'd' ? "_de" : ""));
            }
        }
        qputenv("LC_ALL", "C.UTF-8");
        lang::UnloadLanguageFile();
        use_qt_translations();
    }

    void germanPagesAndDialogsHaveNoEnglishLeft() {
        const QSet<QString> vocabulary =
            test::german_words(QStringLiteral(VT_SOURCE_DIR "/lang/files/German.lng"));
        test::TempFolder tmp;
        tmp.write("Bilder/a.ppm", "P6\n1 1\n255\nabc");
        qputenv("LC_ALL", "de_DE.UTF-8");
        QVERIFY(lang::LoadLanguageFile());
        use_qt_translations();
        QStringList left;
        const auto check = [&](QWidget& w, const QString& screen) {
            w.show();
            QTest::qWait(20);
            save_screen(w, screen);
            for (const QString& word : test::english_left(w, vocabulary))
                left << screen + QStringLiteral(": ") + word;
        };
        engine::ConversionJob job = engine::default_job();
        job.sourceFolder.assign(tmp.sub16("Bilder"));
        job.targetExtension.assign(u".png");
        for (int n = 1; n <= kWizardPages; ++n) {
            auto page = open_page(n, job);
            check(*page, QStringLiteral("wizard_page%1_de.png").arg(n));
        }
        // Qt's own folder chooser, as "Select Folder" opens it.
        QFileDialog chooser(nullptr, xlat(u"Select source folder for the files to convert:"),
                            QString::fromStdString(tmp.path()));
        chooser.setFileMode(QFileDialog::Directory);
        chooser.setOption(QFileDialog::DontUseNativeDialog);
        fit_file_dialog(chooser);
        check(chooser, QStringLiteral("folder_dialog_de.png"));
        // The plug-in's options as the host's form shows them.
        std::vector<session::PluginOption> options;
        for (session::PluginOption& o : session::plugin_options())
            if (o.name.starts_with("fmx_PNG."))
                options.push_back(std::move(o));
        QVERIFY(!options.empty());
        PluginOptionsDialog form(std::move(options), nullptr);
        check(form, QStringLiteral("plugin_options_de.png"));
        // The plan of the job.
        auto page = open_page(7, job);
        QTimer::singleShot(0, [&] {
            for (QWidget* top : QApplication::topLevelWidgets())
                if (top->objectName() == QStringLiteral("plan_dialog") && top->isVisible()) {
                    check(*top, QStringLiteral("plan_dialog_de.png"));
                    static_cast<QDialog*>(top)->reject();
                }
        });
        page->findChild<QPushButton*>(QStringLiteral("show_plan"))->click();
        qputenv("LC_ALL", "C.UTF-8");
        lang::UnloadLanguageFile();
        use_qt_translations();
        for (const QString& word : left)
            qInfo().noquote() << word;
        QVERIFY2(left.isEmpty(), "English words are left; they are listed above");
    }

    void wizardToStartConvertsAsVtconvertDoes() {
        test::TempFolder source, target, reference;
        for (int i = 0; i < 6; ++i) {
            std::string ppm = "P6\n40 30\n255\n";
            for (int p = 0; p < 40 * 30 * 3; ++p)
                ppm.push_back(static_cast<char>(p * (i + 3)));
            source.write("pic" + std::to_string(i) + ".ppm", ppm);
        }
        Startup startup;
        QVERIFY(startup.started());
        MainWindow w(startup.job(), startup.settings());
        w.showPlaced();
        // Each page as it opens: its fields filled, then Next (START on the last).
        const QString out = QString::fromStdString(target / "out");
        int pages = 0;
        std::function<void()> drive = [&] {
            WizardPage* page = nullptr;
            for (QWidget* top : QApplication::topLevelWidgets())
                if (auto* shown = qobject_cast<WizardPage*>(top); shown && shown->isVisible())
                    page = shown;
            if (page) {
                ++pages;
                if (page->number() == 1)
                    nth<QLineEdit>(*page)->setText(QString::fromStdString(source.path()));
                if (page->number() == 2)
                    nth<QLineEdit>(*page)->setText(out);
                if (page->number() == 4) {
                    nth<QCheckBox>(*page)->setChecked(true);
                    nth<QLineEdit>(*page)->setText(QStringLiteral(".bmp"));
                }
                if (page->number() == 5) {
                    nth<QComboBox>(*page)->setCurrentIndex(3);
                    nth<QLineEdit>(*page, 0)->setText(QStringLiteral("20"));
                    nth<QLineEdit>(*page, 1)->setText(QStringLiteral("20"));
                }
                page->nextButton()->click();
            }
            if (pages < kWizardPages)
                QTimer::singleShot(20, drive);
        };
        QTimer::singleShot(20, drive);
        w.newJob();
        QCOMPARE(pages, kWizardPages);
        QVERIFY(w.run().wait_for_end(std::chrono::seconds(60)));

        QProcess vtconvert;
        vtconvert.start(QStringLiteral(VT_BIN_DIR "/vtconvert"),
                        {"-q", "-f", ".bmp", "--resize", "3:20x20",
                         QString::fromStdString(source.path()),
                         QString::fromStdString(reference / "out")});
        QVERIFY(vtconvert.waitForFinished(60000));
        QCOMPARE(vtconvert.exitCode(), 0);
        const QDir made(out), expected(QString::fromStdString(reference / "out"));
        QCOMPARE(made.entryList(QDir::Files), expected.entryList(QDir::Files));
        QCOMPARE(made.entryList(QDir::Files).size(), 6);
        for (const QString& name : made.entryList(QDir::Files)) {
            QFile a(made.filePath(name)), b(expected.filePath(name));
            QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
            QVERIFY2(a.readAll() == b.readAll(), qPrintable(name));
        }
    }
};

} // namespace
} // namespace vt::app

int main(int argc, char** argv) {
    vt::test::TempFolder data;
    setenv("VANTREL_DATA_ROOT", data.path().c_str(), 1);
    std::vector<char*> args; // ctest's GoogleTest flags are not Qt Test's
    for (int i = 0; i < argc; ++i)
        if (std::string(argv[i]).rfind("--gtest", 0) != 0)
            args.push_back(argv[i]);
    int count = static_cast<int>(args.size());
    QApplication app(count, args.data());
    vt::app::WizardTest test;
    return QTest::qExec(&test, count, args.data());
}

#include "wizard_test.moc"
