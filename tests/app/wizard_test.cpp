// The wizard's pages: their refusals, the target proposal, the stored format and box, the sinc
// size limit, the plug-in options form, and one job from New Job to START compared with
// vtconvert's output. Each page is rendered to wizard_pageN.png.

#include <filesystem>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include "app/main_window.h"
#include "app/startup.h"
#include "app/wizard/plugin_options_dialog.h"
#include "app/wizard/wizard.h"
#include "platform/folders.h"
#include "tests/support/temp_folder.h"

namespace vt::app {
namespace {

QStringList g_asked;
platform::MessageAnswer answer_box(std::u16string_view text, std::u16string_view,
                                   platform::MessageButtons, platform::MessageIcon) {
    g_asked << QString::fromStdU16String(std::u16string(text));
    return platform::MessageAnswer::ok;
}

std::string ppm(int seed) {
    std::string data = "P6\n40 30\n255\n";
    for (int i = 0; i < 40 * 30 * 3; ++i)
        data.push_back(static_cast<char>((i * 7 + seed * 31) & 255));
    return data;
}

template <class T>
T* field(QWidget* page, const char* name) {
    return page->findChild<T*>(QLatin1String(name));
}

// Sets a page's fields as a row says, presses Next and answers what was refused ("" if none).
QString next_on(WizardPage& page) {
    g_asked.clear();
    page.nextButton()->click();
    return page.result() == kNext ? QString() : g_asked.value(0, QStringLiteral("kept open"));
}

// Answers every plug-in options form that opens: OK after typing `g_typed`, else Cancel.
QString g_typed;
void answer_option_forms() {
    auto* form = qobject_cast<PluginOptionsDialog*>(QApplication::activeModalWidget());
    if (form == nullptr)
        return;
    if (g_typed.isEmpty())
        return form->reject();
    form->findChild<QLineEdit*>(QStringLiteral("fmx_PNG.level"))->setText(g_typed);
    QTest::keyClick(form, Qt::Key_Return);
}

class WizardTest : public QObject {
    Q_OBJECT
    Startup m_startup;
    engine::ConversionJob& job() { return m_startup.job(); }
    std::unique_ptr<WizardPage> page(int n) { return make_wizard_page(n, job(), nullptr, {}); }

private slots:
    void init() {
        platform::UiHooks hooks;
        hooks.message_box = answer_box;
        platform::set_ui_hooks(hooks);
        auto* timer = new QTimer(this);
        connect(timer, &QTimer::timeout, answer_option_forms);
        timer->start(30);
        engine::set_defaults(job());
    }

    void foldersAndPatternsAreCheckedByTheRules() {
        test::TempFolder t;
        t.write("full/a.ppm", ppm(1));
        std::filesystem::create_directories(t / "empty");
        struct Row {
            int page;
            const char* field;
            std::string text;
            const char* refusal;
        } rows[] = {
            {1, "folder", "/", "Source path invalid or too short"},
            {1, "folder", t / "none", "Source path does not exist"},
            {1, "folder", t / "empty", "Source path is an empty folder"},
            {1, "folder", t / "full/ ", ""},
            {2, "folder", "//", "Target path invalid or too short"},
            {2, "folder", t / "full", "Target path is not empty"},
            {2, "folder", t / "new/deep", ""},
            {3, "pattern", "%w%h", "Pattern must include either %s, %n or %nn"},
            {3, "pattern", "%nn", ""},
            {4, "other_extension", "", "You must specify an output file format"},
            {4, "other_extension", "photo.Tiff", ""},
        };
        for (const Row& r : rows) {
            job().rename = r.page == 3;
            auto p = page(r.page);
            if (r.page == 4)
                field<QCheckBox>(p.get(), "use_other")->setChecked(true);
            field<QLineEdit>(p.get(), r.field)->setText(QString::fromStdString(r.text));
            QCOMPARE(next_on(*p), QString::fromLatin1(r.refusal));
        }
        QCOMPARE(job().sourceFolder.str(), t.sub16("full"));
        QVERIFY(job().targetExtension.view() == u".tiff");
        job().rename = job().replaceText = 1;
        job().replaceFrom.assign(u"");
        QCOMPARE(next_on(*page(3)), QStringLiteral("The first replacement verb can't be empty"));
    }

    void targetProposalReplacesItsNumber() {
        test::TempFolder t;
        t.write("pics/a.ppm", ppm(1));
        job().sourceFolder.assign(t.sub16("pics"));
        job().targetFolder.assign(u"");
        const auto proposed = [&] {
            return field<QLineEdit>(page(2).get(), "folder")->text().toStdU16String();
        };
        QVERIFY(proposed() == t.sub16("pics (Converted)"));
        t.write("pics (Converted)/a.png");
        QVERIFY(proposed() == t.sub16("pics (Converted) (0001)"));
        t.write("pics (Converted) (0001)/a.png"); // Back and Next again: renumbered, not stacked
        QVERIFY(proposed() == t.sub16("pics (Converted) (0002)"));
    }

    void formatsAndBoxesAreStoredAsTyped() {
        const struct {
            QString typed;
            std::u16string_view stored;
        } formats[] = {{QStringLiteral("JPEG"), u".jpeg"},
                       {QStringLiteral("photo.Tiff"), u".tiff"}};
        for (const auto& f : formats) {
            auto p = page(4);
            field<QCheckBox>(p.get(), "use_other")->setChecked(true);
            field<QLineEdit>(p.get(), "other_extension")->setText(f.typed);
            p->backButton()->click();
            QVERIFY(job().targetExtension.view() == f.stored);
        }
        const struct {
            int mode;
            const char *width, *height, *refusal;
        } boxes[] = {{3, "0", "600", ""}, {1, "0", "0", "Output dimensions are not valid"}};
        for (const auto& b : boxes) {
            auto p = page(5);
            field<QComboBox>(p.get(), "mode")->setCurrentIndex(b.mode);
            field<QLineEdit>(p.get(), "width")->setText(QLatin1String(b.width));
            field<QLineEdit>(p.get(), "height")->setText(QLatin1String(b.height));
            QCOMPARE(next_on(*p), QLatin1String(b.refusal));
        }
    }

    void sincSizeStopsAt29AndPassThruSurvivesBack() {
        job().resizeAlgorithm = 3;
        auto p = page(5);
        auto* bar = field<QScrollBar>(p.get(), "sinc_size");
        QVERIFY(bar->isEnabled());
        bar->triggerAction(QAbstractSlider::SliderToMaximum);
        bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
        QCOMPARE(bar->value(), 29);
        QCOMPARE(field<QLabel>(p.get(), "sinc_label")->text(), QStringLiteral("Size: 29 × 29"));
        p->nextButton()->click();
        QCOMPARE(job().sincSize, 29);
        auto seven = page(7);
        field<QCheckBox>(seven.get(), "pass_thru")->setChecked(true);
        seven->backButton()->click();
        QVERIFY(field<QCheckBox>(page(7).get(), "pass_thru")->isChecked());
    }

    void optionFormStoresWhatWasTyped() {
        g_typed = QStringLiteral("3");
        const std::u16string png = platform::plugins_folder() + u"fmx_PNG.so";
        QCOMPARE(configure_plugin(png, nullptr), 1);
        QCOMPARE(stored_option_text("fmx_PNG.level"), QStringLiteral("3"));
        g_typed.clear();
        QCOMPARE(configure_plugin(png, nullptr), 2); // Cancel keeps it
        QCOMPARE(stored_option_text("fmx_PNG.level"), QStringLiteral("3"));
        QVERIFY(plugins::state_store().set(u"fmx_PNG.level", {}) == 1);
    }

    void newJobToStartConvertsAsVtconvertDoes() {
        test::TempFolder t;
        for (int i = 0; i < 4; ++i)
            t.write("in/sub/p" + std::to_string(i) + ".ppm", ppm(i));
        MainWindow w(job(), m_startup.settings());
        w.show();
        QDir().mkpath(QStringLiteral(VT_APP_SCREENS_DIR));
        QTimer driver;
        connect(&driver, &QTimer::timeout, [&] {
            auto* p = qobject_cast<WizardPage*>(QApplication::activeModalWidget());
            if (p == nullptr || !p->isVisible())
                return;
            if (p->number() == 1) {
                field<QLineEdit>(p, "folder")->setText(QString::fromStdString(t / "in"));
                field<QCheckBox>(p, "subfolders")->setChecked(true);
            } else if (p->number() == 4) {
                auto* list = field<QListWidget>(p, "formats");
                list->setCurrentItem(
                    list->findItems(QStringLiteral(".png"), Qt::MatchStartsWith)[0]);
            }
            QVERIFY(p->grab().save(
                QStringLiteral(VT_APP_SCREENS_DIR "/wizard_page%1.png").arg(p->number())));
            p->nextButton()->click();
        });
        driver.start(50);
        w.newJob();
        driver.stop();
        QVERIFY(w.run().wait_for_end(std::chrono::seconds(60)));
        QVERIFY(job().targetFolder.view() == t.sub16("in (Converted)"));
        QProcess cli;
        cli.start(QStringLiteral(VTCONVERT),
                  {"-q", "-r", "-f", ".png", QString::fromStdString(t / "in"),
                   QString::fromStdString(t / "cli")});
        QVERIFY(cli.waitForFinished(60000) && cli.exitCode() == 0);
        for (int i = 0; i < 4; ++i) {
            const std::string name = "/sub/p" + std::to_string(i) + ".png";
            QVERIFY(!t.read("cli" + name).empty());
            QVERIFY(t.read("in (Converted)" + name) == t.read("cli" + name));
        }
    }
};

} // namespace
} // namespace vt::app

int main(int argc, char** argv) {
    // CTest passes GoogleTest's options; Qt Test knows none of them.
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i)
        if (std::string(argv[i]).rfind("--gtest", 0) != 0)
            args.push_back(argv[i]);
    int count = static_cast<int>(args.size());
    vt::test::TempFolder data;
    setenv("VANTREL_DATA_ROOT", data.path().c_str(), 1);
    QApplication app(count, args.data());
    vt::app::WizardTest test;
    return QTest::qExec(&test, count, args.data());
}
#include "wizard_test.moc"
