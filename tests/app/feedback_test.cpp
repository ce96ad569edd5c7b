// What the user hears of a job: the desktop notice when it ends (sent to a notification
// service this test runs on its own session bus, under dbus-run-session), whose action opens
// the target folder; and the job log, every file with its outcome and reason, filterable,
// rendered in English and German.

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <QApplication>
#include <QComboBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QTableWidget>
#include <QTest>

#include "app/job_log.h"
#include "app/main_window.h"
#include "app/output_pane.h"
#include "app/startup.h"
#include "base/utf.h"
#include "lang/translator.h"
#include "platform/ui_hooks.h"
#include "tests/app/english_left.h"
#include "tests/support/temp_folder.h"

namespace vt::app {
namespace {

QStringList g_opened;
bool record_open(std::u16string_view folder) {
    g_opened << QString::fromStdU16String(std::u16string(folder));
    return true;
}

std::string ppm(int w, int h) {
    std::string data = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    data.append(static_cast<std::size_t>(w * h * 3), '\x50');
    return data;
}

void save_screen(QWidget& widget, const QString& name) {
    QDir().mkpath(QStringLiteral(VT_APP_SCREENS_DIR));
    widget.show();
    QTest::qWait(50);
    QVERIFY(widget.grab().save(QStringLiteral(VT_APP_SCREENS_DIR "/") + name));
}

// A notification service as a desktop runs one; it notes every notice.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Notice {
        QString app, summary, body;
        QStringList actions;
        uint replaces = 0;
    };
    std::vector<Notice> notices;

public slots:
    uint Notify(const QString& app, uint replaces, const QString&, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap&, int) {
        notices.push_back({app, summary, body, actions, replaces});
        return 41 + static_cast<uint>(notices.size());
    }
    QStringList GetCapabilities() { return {QStringLiteral("actions"), QStringLiteral("body")}; }
};

class FeedbackTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        platform::UiHooks hooks;
        hooks.open_folder = record_open;
        platform::set_ui_hooks(hooks);
        g_opened.clear();
    }

    void aJobsEndIsNoticedAndItsActionOpensTheTarget() {
        QDBusConnection daemon =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("daemon"));
        QVERIFY2(daemon.isConnected(), "run under dbus-run-session");
        FakeNotifications fake;
        QVERIFY(daemon.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &fake,
                                      QDBusConnection::ExportAllSlots));
        QVERIFY(daemon.registerService(QStringLiteral("org.freedesktop.Notifications")));

        test::TempFolder source, target;
        source.write("a.ppm", ppm(30, 20));
        source.write("b.ppm", ppm(10, 10));
        source.write("broken.ppm", "P6\n99999 99999\n255\nxx");
        Startup startup;
        QVERIFY(startup.started());
        MainWindow w(startup.job(), startup.settings());
        w.showPlaced();
        startup.job().sourceFolder.assign(source.path16());
        startup.job().targetFolder.assign(target.sub16("out"));
        startup.job().targetExtension.assign(u".bmp");
        QVERIFY(w.startJob());
        QVERIFY(w.run().wait_for_end(std::chrono::seconds(30)));
        QTRY_COMPARE(fake.notices.size(), std::size_t{1});
        const FakeNotifications::Notice& n = fake.notices[0];
        QCOMPARE(n.app, QStringLiteral("Vantrel Converter"));
        QCOMPARE(n.summary, QStringLiteral("Vantrel Converter: job finished"));
        QCOMPARE(n.body, QStringLiteral("2 converted, 0 failed, 1 not loaded (of 3)"));
        QVERIFY(n.actions.contains(QStringLiteral("open")));
        // What the notice counts was written.
        QCOMPARE(QDir(QString::fromStdString(target / "out")).entryList(QDir::Files),
                 (QStringList{"a.bmp", "b.bmp"}));

        // The user clicks "Open Target Folder" on the notice.
        QDBusMessage clicked = QDBusMessage::createSignal(
            QStringLiteral("/org/freedesktop/Notifications"),
            QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"));
        clicked << uint{42} << QStringLiteral("open");
        QVERIFY(daemon.send(clicked));
        QTRY_COMPARE(g_opened, QStringList{QString::fromStdString(target / "out")});
        // A click on somebody else's notice opens nothing.
        clicked.setArguments({uint{7}, QStringLiteral("open")});
        QVERIFY(daemon.send(clicked));
        QTest::qWait(200);
        QCOMPARE(g_opened.size(), 1);
        daemon.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    }

    // A see-through picture: the preview of a PPM job shows its colours without the
    // transparency, as the PPM holds them; a PNG job keeps the transparency.
    void thePreviewShowsWhatTheTargetHolds() {
        test::TempFolder source, target;
        std::string pam =
            "P7\nWIDTH 4\nHEIGHT 4\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
        for (int i = 0; i < 16; ++i)
            pam += std::string("\x10\x20\x30\x00", 4); // dark and fully transparent
        source.write("clear.pam", pam);
        for (const char* extension : {".ppm", ".png"}) {
            Startup startup;
            QVERIFY(startup.started());
            MainWindow w(startup.job(), startup.settings());
            w.showPlaced();
            startup.job().sourceFolder.assign(source.path16());
            startup.job().targetFolder.assign(target.sub16(extension + 1));
            startup.job().targetExtension.assign(base::utf8_to_utf16(extension));
            QVERIFY(w.startJob());
            QVERIFY(w.run().wait_for_end(std::chrono::seconds(30)));
            QVERIFY(w.run().preview());
            auto* pane = w.findChild<OutputPane*>();
            pane->refresh();
            const QImage& shown = pane->previewImage();
            QVERIFY(!shown.isNull());
            const QRgb pixel = shown.pixel(1, 1);
            if (extension == std::string(".ppm")) {
                // The colours the PPM holds, opaque.
                const std::string written = target.read("ppm/clear.ppm");
                QVERIFY(written.size() > 3);
                QCOMPARE(qAlpha(pixel), 255);
                QCOMPARE(qRgb(qRed(pixel), qGreen(pixel), qBlue(pixel)), qRgb(0x10, 0x20, 0x30));
                QCOMPARE(written.substr(written.size() - 3), std::string("\x10\x20\x30"));
            } else {
                QCOMPARE(qAlpha(pixel), 0);
            }
        }
    }

    void theLogHasEveryFileWithItsOutcome() {
        using engine::Outcome;
        using engine::PlanAction;
        const std::vector<engine::PlannedFile> plan{
            {u"/s/a.jpg", u"a.jpg", u"/t/a.png", 0, 5, PlanAction::write, false, {}},
            {u"/s/b.jpg", u"b.jpg", u"/t/b.png", 1, 5, PlanAction::write, false, {}},
            {u"/s/c.jpg", u"c.jpg", u"/t/c.png", 2, 5, PlanAction::skip, false, {}},
            {u"/s/d.jpg", u"d.jpg", u"/t/d.png", 3, 5, PlanAction::write, false, {}},
            {u"/s/e.jpg", u"e.jpg", u"/t/e.png", 4, 5, PlanAction::write, false, {}},
        };
        const std::vector<engine::FileOutcome> outcomes{
            {u"/s/b.jpg",
             u"",
             Outcome::failed,
             engine::FailureStage::save,
             u"Error: Cannot write data to the file, check disk space",
             {}},
            {u"/s/d.jpg",
             u"/t/d.png",
             Outcome::warned,
             engine::FailureStage::load,
             u"",
             {u"converted at 8 bits per channel, as these work at 8 bits only: resizing, "
              u"watermark"}},
        };
        struct Case {
            bool running;
            std::uint32_t handled;
            QStringList outcomes;
        };
        const std::vector<Case> cases{
            {false, 5, {"converted", "failed", "skipped", "converted with warnings", "converted"}},
            // Cancelled after four: the last was never reached.
            {false,
             4,
             {"converted", "failed", "skipped", "converted with warnings", "not reached"}},
            {true, 4, {"converted", "failed", "skipped", "converted with warnings", "waiting"}},
        };
        for (const Case& c : cases) {
            const auto rows = job_log_rows(plan, outcomes, c.running, c.handled);
            QStringList got;
            for (const LogRow& r : rows)
                got << r.outcome;
            QCOMPARE(got, c.outcomes);
            QCOMPARE(rows[1].reason,
                     QStringLiteral("Error: Cannot write data to the file, check disk space"));
            QCOMPARE(rows[3].reason, QStringLiteral("converted at 8 bits per channel, as these "
                                                    "work at 8 bits only: resizing, watermark"));
        }

        JobLogDialog log(plan, outcomes, false, 5);
        QCOMPARE(log.table()->rowCount(), 5);
        log.filter()->setCurrentIndex(log.filter()->findData(QStringLiteral("!converted")));
        QCOMPARE(log.table()->rowCount(), 3);
        log.filter()->setCurrentIndex(log.filter()->findData(QStringLiteral("failed")));
        QCOMPARE(log.table()->rowCount(), 1);
        QCOMPARE(log.table()->item(0, 0)->text(), QStringLiteral("/s/b.jpg"));
        log.filter()->setCurrentIndex(0);
        save_screen(log, QStringLiteral("job_log.png"));

        qputenv("LC_ALL", "de_DE.UTF-8");
        QVERIFY(lang::LoadLanguageFile());
        use_qt_translations();
        {
            JobLogDialog german(plan, outcomes, false, 4);
            save_screen(german, QStringLiteral("job_log_de.png"));
            const QSet<QString> vocabulary =
                test::german_words(QStringLiteral(VT_SOURCE_DIR "/lang/files/German.lng"));
            QStringList left = test::english_left(german, vocabulary);
            // The engine's reasons come out German; what an outside library said stays as it
            // is, after a German lead-in.
            const std::pair<const char16_t*, const char*> reasons[] = {
                {u"converted at 8 bits per channel, as these work at 8 bits only: rotation",
                 "mit 8 Bit pro Kanal umgewandelt, da diese nur mit 8 Bit arbeiten: Drehung"},
                {u"the picture needs 900 MB, over the memory budget of 512 MB per picture "
                 u"(--memory-budget)",
                 "das Bild braucht 900 MB, über dem Speicherbudget von 512 MB pro Bild "
                 "(--memory-budget)"},
                {u"copy failed: No space left on device",
                 "Kopieren fehlgeschlagen: No space left on device"},
                {u"Error: The file is either corrupted or the file format is not supported",
                 "Fehler: Die Datei ist beschädigt, oder das Dateiformat wird nicht unterstützt"},
                {u"cannot open the folder: Permission denied",
                 "der Ordner kann nicht geöffnet werden: Permission denied"},
            };
            for (const auto& [english, expected] : reasons) {
                const engine::FileOutcome failed{
                    u"/s/b.jpg", u"", Outcome::failed, engine::FailureStage::save, english, {}};
                const auto rows = job_log_rows(plan, {failed}, false, 5);
                QCOMPARE(rows[1].reason, QString::fromUtf8(expected));
            }
            QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char('\n'))));
        }
        qputenv("LC_ALL", "C.UTF-8");
        lang::UnloadLanguageFile();
        use_qt_translations();
    }
};

} // namespace
} // namespace vt::app

int main(int argc, char** argv) {
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i)
        if (std::string(argv[i]).rfind("--gtest", 0) != 0)
            args.push_back(argv[i]);
    int count = static_cast<int>(args.size());
    vt::test::TempFolder data;
    setenv("VANTREL_DATA_ROOT", data.path().c_str(), 1);
    QApplication app(count, args.data());
    vt::app::FeedbackTest test;
    return QTest::qExec(&test, count, args.data());
}

#include "feedback_test.moc"
