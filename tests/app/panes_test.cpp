// The progress display and the bubble over a real job: pictures drawn in a temporary folder,
// converted by the built plug-ins, paused, resumed and finished. Every pane and the bubble are
// rendered to PNG files for a person to look at.

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QPointer>
#include <QSignalSpy>
#include <QSizeGrip>
#include <QTest>
#include <QVBoxLayout>

#include "app/bubble.h"
#include "app/dpi.h"
#include "app/output_pane.h"
#include "app/progress_pane.h"
#include "app/status_bar.h"
#include "engine/conversion_run.h"
#include "lang/translator.h"
#include "pipeline/pipeline_step.h"
#include "session/session.h"
#include "tests/support/prepared.h"
#include "tests/support/temp_folder.h"

namespace vt::app {
namespace {

// A P6 picture: colour bands and a disc, different for every seed.
std::string ppm(int w, int h, int seed) {
    std::string data = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    const double cx = w * (0.3 + 0.04 * (seed % 10)), cy = h * 0.5, r = h * 0.3;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool disc = std::hypot(x - cx, y - cy) < r;
            data.push_back(static_cast<char>(disc ? 250 : (x * 255 / w + seed * 9) & 255));
            data.push_back(static_cast<char>(disc ? 200 : (y * 255 / h) & 255));
            data.push_back(static_cast<char>(disc ? 60 : 255 - x * 200 / w));
        }
    return data;
}

void save_screen(QWidget& widget, const char* name) {
    QDir().mkpath(QStringLiteral(VT_APP_SCREENS_DIR));
    QVERIFY(widget.grab().save(QStringLiteral(VT_APP_SCREENS_DIR "/") + QLatin1String(name)));
}

class PanesTest : public QObject {
    Q_OBJECT

private:
    test::TempFolder m_source, m_target;
    std::unique_ptr<engine::ConversionRun> m_run;
    std::unique_ptr<QWidget> m_window;
    ProgressPane* m_progress = nullptr;
    OutputPane* m_output = nullptr;
    StatusBar* m_status = nullptr;

    engine::JobStats snapshot() {
        engine::JobStats s;
        m_run->take_snapshot(s);
        return s;
    }
    QPoint centre(session::ProgressPart part) { return m_progress->partRect(part).center(); }

private slots:
    void initTestCase() {
        for (int i = 0; i < 60; ++i)
            std::ofstream(m_source / ("picture" + std::to_string(100 + i) + ".ppm"),
                          std::ios::binary)
                << ppm(480, 320, i);
        m_run = std::make_unique<engine::ConversionRun>(pipeline::make_pipeline_step());
        m_window = std::make_unique<QWidget>();
        auto* layout = new QVBoxLayout(m_window.get());
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        m_progress = new ProgressPane(*m_run, m_window.get());
        m_output = new OutputPane(*m_run, m_window.get());
        m_status = new StatusBar(*m_run, m_window.get());
        layout->addWidget(m_progress);
        layout->addWidget(m_output, 1);
        layout->addWidget(m_status);
        m_window->setGeometry(300, 300, dpi_scale(720), dpi_scale(640));
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    void cleanupTestCase() {
        remove_bubble();
        m_window.reset();
        m_run.reset();
    }

    void idlePanesWaitForAJob() {
        QCOMPARE(m_progress->height(), dpi_scale(108));
        QCOMPARE(m_status->height(), dpi_scale(28));
        m_progress->refresh();
        m_output->refresh();
        QCOMPARE(m_progress->refreshPeriod(), 100);
        QCOMPARE(m_output->refreshPeriod(), 2000);
        QCOMPARE(m_output->shownTexts().value(0), QStringLiteral("Waiting for new Job ..."));
        QSignalSpy new_job(m_progress, &ProgressPane::newJobRequested);
        QTest::mouseClick(m_progress, Qt::LeftButton, {},
                          centre(session::ProgressPart::first_button));
        QCOMPARE(new_job.count(), 1);
        // The size grip sits in the bottom-right corner while the window is not maximized.
        QVERIFY(m_status->sizeGrip()->isVisible());
        QCOMPARE(m_status->sizeGrip()->geometry().bottomRight(), m_status->rect().bottomRight());
        const QRect placed = m_window->geometry();
        m_window->setWindowState(Qt::WindowMaximized);
        QTRY_VERIFY(!m_status->sizeGrip()->isVisible());
        m_window->setWindowState(Qt::WindowNoState);
        QTRY_VERIFY(m_status->sizeGrip()->isVisible());
        m_window->setGeometry(placed);
    }

    void pausedJobShowsPausedTextsAndPreview() {
        engine::ConversionJob job = engine::default_job();
        job.sourceFolder.assign(m_source.path16());
        job.targetFolder.assign(m_target.path16());
        job.targetExtension.assign(u".bmp");
        QVERIFY(m_run->start_job(test::prepared(job)));
        // Let a few files through (the first one leaves a preview), then hold the job.
        QDeadlineTimer deadline(30000);
        while (snapshot().converted < 6 && !deadline.hasExpired())
            QThread::yieldCurrentThread();
        QVERIFY(m_run->pause_or_resume(true));
        QTRY_COMPARE(m_run->state(), engine::JobState::paused);
        QTRY_COMPARE(snapshot().busyWorkers, 0u);
        QVERIFY(m_run->preview());

        m_progress->refresh();
        m_output->refresh();
        QVERIFY(m_progress->view().paused);
        QCOMPARE(m_progress->refreshPeriod(), 50);
        QCOMPARE(m_output->refreshPeriod(), 1000); // once per second while paused
        const engine::JobStats s = snapshot();
        const QStringList texts = m_output->shownTexts();
        QVERIFY2(texts.value(0).startsWith(QStringLiteral("Converting \"") +
                                           QString::fromStdString(m_source.path())),
                 qPrintable(texts.value(0)));
        QVERIFY(texts.value(0).endsWith(QStringLiteral("\" ...")));
        QCOMPARE(texts.value(3), QStringLiteral("Converted: %1").arg(s.converted));
        QCOMPARE(texts.value(7), QStringLiteral("TOTAL: 60"));
        QCOMPARE(texts.value(6),
                 QStringLiteral("Balance: %1").arg(60 - s.converted - s.failed - s.unknown));

        // The first button continues a paused job; its bubble says so.
        QTest::mouseMove(m_progress, centre(session::ProgressPart::first_button));
        QTRY_VERIFY(bubble_window() && bubble_window()->isVisible());
        QSignalSpy pause(m_progress, &ProgressPane::pauseRequested);
        QSignalSpy cancel(m_progress, &ProgressPane::cancelRequested);
        QTest::mouseClick(m_progress, Qt::LeftButton, {},
                          centre(session::ProgressPart::first_button));
        QTest::mouseClick(m_progress, Qt::LeftButton, {},
                          centre(session::ProgressPart::second_button));
        QCOMPARE(pause.count(), 1);
        QCOMPARE(cancel.count(), 1);
        remove_bubble();

        m_progress->refresh();
        m_output->refresh();
        save_screen(*m_progress, "progress_pane.png");
        save_screen(*m_output, "output_pane.png");
        save_screen(*m_status, "status_bar.png");
        save_screen(*m_window, "panes.png");

        QVERIFY(m_run->pause_or_resume(false));
        QVERIFY(m_run->wait_for_end(std::chrono::seconds(60)));
        m_progress->refresh();
        m_output->refresh();
        QVERIFY(!m_progress->view().active);
        QCOMPARE(m_progress->view().progress, -1);
        // The finished job's counters stay; the gauge waits for the next.
        QCOMPARE(m_output->shownTexts().value(3), QStringLiteral("Converted: 60"));
        QCOMPARE(m_output->shownTexts().value(2), QStringLiteral("Time Left: -:--:--"));
        QCOMPARE(QDir(QString::fromStdString(m_target.path()))
                     .entryList({QStringLiteral("*.bmp")}, QDir::Files)
                     .size(),
                 60);
        save_screen(*m_window, "panes_finished.png");
    }

    void bubbleShowsBesideThePointerAndGoes() {
        // Over a gauge of the progress pane: its two-part text.
        QTest::mouseMove(m_progress, centre(session::ProgressPart::processor));
        QTRY_VERIFY(bubble_window() && bubble_window()->isVisible());
        QCOMPARE(bubble_window()->accessibleName(), QStringLiteral("CPU Utilization"));
        QCOMPARE(bubble_window()->accessibleDescription(),
                 QStringLiteral("Percentage, for all CPUs in the system"));
        QVERIFY(!bubble_window()->property("warning").toBool());
        QVERIFY(bubble_window()->testAttribute(Qt::WA_ShowWithoutActivating));
        QVERIFY(bubble_window()->windowFlags() & Qt::WindowTransparentForInput);
        save_screen(*bubble_window(), "bubble.png");
        // Moving over the output pane hides any bubble.
        QTest::mouseMove(m_output, m_output->rect().center());
        QTRY_VERIFY(!bubble_window() || !bubble_window()->isVisible());

        // An owner of its own that ignores the pointer, so that only the bubble's rules act.
        QWidget owner;
        owner.setGeometry(1000, 400, 400, 300);
        owner.show();
        QVERIFY(QTest::qWaitForWindowExposed(&owner));
        const QPoint pointer = owner.geometry().center();
        QCursor::setPos(pointer);
        show_bubble(QStringLiteral("Could not save\nThe plug-in ran OUT OF MEMORY"), &owner);
        QPointer<QWidget> bubble = bubble_window();
        QVERIFY(bubble && bubble->isVisible());
        QVERIFY(bubble->property("warning").toBool());
        // Above and to the left, its corner 30 pixels from the pointer.
        QCOMPARE(bubble->geometry().bottomRight() + QPoint(1, 1),
                 pointer - QPoint(dpi_scale(30), dpi_scale(30)));
        save_screen(*bubble, "bubble_warning.png");
        show_bubble(QStringLiteral("Out of memory"), &owner, kBubbleNoWarning);
        QCOMPARE(bubble_window(), bubble.data()); // at most one bubble
        QVERIFY(!bubble->property("warning").toBool());

        // Leaving the owner hides it; so does moving onto the bubble.
        QCursor::setPos(100, 100);
        QTRY_VERIFY_WITH_TIMEOUT(!bubble->isVisible(), 2000);
        QCursor::setPos(pointer);
        show_bubble(QStringLiteral("Cancel Job"), &owner);
        QVERIFY(bubble->isVisible());
        QCursor::setPos(bubble->geometry().center());
        QTRY_VERIFY_WITH_TIMEOUT(!bubble->isVisible(), 2000);

        // With the pointer still, it stays two seconds and is gone after five.
        QCursor::setPos(pointer);
        show_bubble(QStringLiteral("New Job"), &owner);
        QTest::qWait(1500);
        QVERIFY(bubble->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!bubble->isVisible(), 6000);

        show_bubble(QString(), &owner);
        remove_bubble();
        QVERIFY(!bubble_window());
    }

    void textsAreTranslatedWhereShown() {
        const std::string french = "#XLAT_BEGIN\n"
                                   "Waiting for new Job=En attente d'un travail\n"
                                   "Time Taken=Temps pris\n"
                                   "Save failed=Enregistrement impossible\n";
        QCOMPARE(lang::load_language_bytes(
                     {reinterpret_cast<const std::uint8_t*>(french.data()), french.size()}, 1),
                 1);
        m_output->refresh();
        QCOMPARE(m_output->shownTexts().value(0), QStringLiteral("En attente d'un travail ..."));
        QVERIFY(m_output->shownTexts().value(1).startsWith(QStringLiteral("Temps pris:")));
        // The style follows the English words, whatever the language shows.
        QWidget owner;
        owner.setGeometry(1000, 400, 400, 300);
        owner.show();
        QCursor::setPos(owner.geometry().center());
        show_bubble(QStringLiteral("Save failed"), &owner);
        QCOMPARE(bubble_window()->accessibleName(), QStringLiteral("Enregistrement impossible"));
        QVERIFY(bubble_window()->property("warning").toBool());
        remove_bubble();
        lang::UnloadLanguageFile();
        m_output->refresh();
        QCOMPARE(m_output->shownTexts().value(0), QStringLiteral("Waiting for new Job ..."));
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
    vt::session::Session session;
    if (!session.started())
        return 1;
    vt::app::PanesTest test;
    return QTest::qExec(&test, count, args.data());
}

#include "panes_test.moc"
