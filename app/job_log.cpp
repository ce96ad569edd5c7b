#include "app/job_log.h"

#include <cstring>
#include <map>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSet>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/translate.h"

namespace vt::app {
namespace {

QString q(const std::u16string& s) {
    return QString::fromStdU16String(s);
}

// Whether `text` is one of the system's own error messages, which some of the engine's reasons
// end with ("copy failed: No space left on device").
bool is_system_message(const QString& text) {
    static const QSet<QString> messages = [] {
        QSet<QString> all;
        for (int e = 1; e < 256; ++e)
            all.insert(QString::fromLocal8Bit(std::strerror(e)));
        return all;
    }();
    return messages.contains(text);
}

// A reason through the language table: the engine's fixed words are translated, a system
// message at the end stays as it is, after the translated lead-in.
QString reason_text(const std::u16string& english) {
    const QString text = q(english);
    const auto at = text.lastIndexOf(QStringLiteral(": "));
    if (at > 0 && is_system_message(text.mid(at + 2)))
        return xlat(text.left(at)) + text.mid(at);
    return xlat(text);
}

constexpr const char* kFilters[] = {
    "converted",  "converted with warnings", "cut short", "failed", "not loaded", "skipped",
    "not reached"};

} // namespace

std::vector<LogRow> job_log_rows(const std::vector<engine::PlannedFile>& plan,
                                 const std::vector<engine::FileOutcome>& outcomes, bool running,
                                 std::uint32_t handled) {
    std::map<std::u16string, const engine::FileOutcome*> recorded;
    for (const engine::FileOutcome& o : outcomes)
        recorded.emplace(o.source, &o);
    std::vector<LogRow> rows;
    rows.reserve(plan.size());
    std::uint32_t handed = 0;
    for (const engine::PlannedFile& f : plan) {
        LogRow row{q(f.source), q(f.target), {}, {}};
        if (const auto it = recorded.find(f.source); it != recorded.end()) {
            const engine::FileOutcome& o = *it->second;
            row.outcome = QString::fromLatin1(engine::outcome_name(o.outcome));
            if (!o.target.empty())
                row.target = q(o.target);
            row.reason = reason_text(o.reason);
            for (const std::u16string& w : o.warnings)
                row.reason +=
                    (row.reason.isEmpty() ? QString() : QStringLiteral("; ")) + reason_text(w);
            ++handed;
        } else if (f.action == engine::PlanAction::done) {
            row.outcome = QStringLiteral("done before");
        } else if (f.action == engine::PlanAction::skip) {
            row.outcome = QStringLiteral("skipped");
            ++handed;
        } else {
            row.outcome = QStringLiteral("converted");
            ++handed;
        }
        rows.push_back(std::move(row));
    }
    // Files after the last one handed out were never reached: the job was cancelled or is
    // still on its way. The run hands the plan out in order, so they are the plan's tail.
    if (handed > handled) {
        std::uint32_t excess = handed - handled;
        for (auto it = rows.rbegin(); it != rows.rend() && excess > 0; ++it)
            if (it->outcome == QLatin1String("converted")) {
                it->outcome = QLatin1String(running ? "waiting" : "not reached");
                --excess;
            }
    }
    return rows;
}

JobLogDialog::JobLogDialog(const std::vector<engine::PlannedFile>& plan,
                           const std::vector<engine::FileOutcome>& outcomes, bool running,
                           std::uint32_t handled, QWidget* parent)
    : QDialog(parent), m_rows(job_log_rows(plan, outcomes, running, handled)) {
    setObjectName(QStringLiteral("job_log"));
    setWindowTitle(xlat(u"Job Log"));
    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(xlat(u"Show:"), this));
    m_filter = new QComboBox(this);
    m_filter->setObjectName(QStringLiteral("filter"));
    m_filter->addItem(xlat(u"All files"), QString());
    m_filter->addItem(xlat(u"Not plainly converted"), QStringLiteral("!converted"));
    for (const char* name : kFilters)
        m_filter->addItem(xlat(QString::fromLatin1(name)), QString::fromLatin1(name));
    row->addWidget(m_filter, 1);
    layout->addLayout(row);
    m_table = new QTableWidget(0, 3, this);
    m_table->setHorizontalHeaderLabels({xlat(u"File"), xlat(u"Outcome"), xlat(u"Reason")});
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Interactive);
    m_table->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(m_table, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    connect(m_filter, &QComboBox::currentIndexChanged, this, &JobLogDialog::showRows);
    showRows();
    resize(820, 460);
}

void JobLogDialog::showRows() {
    const QString wanted = m_filter->currentData().toString();
    m_table->setRowCount(0);
    for (const LogRow& r : m_rows) {
        const bool shown = wanted.isEmpty() || (wanted == QLatin1String("!converted")
                                                    ? r.outcome != QLatin1String("converted")
                                                    : r.outcome == wanted);
        if (!shown)
            continue;
        const int n = m_table->rowCount();
        m_table->insertRow(n);
        auto* file = new QTableWidgetItem(r.source);
        file->setToolTip(r.target.isEmpty() ? r.source
                                            : r.source + QStringLiteral(" -> ") + r.target);
        m_table->setItem(n, 0, file);
        m_table->setItem(n, 1, new QTableWidgetItem(xlat(r.outcome)));
        m_table->setItem(n, 2, new QTableWidgetItem(r.reason));
    }
    m_table->resizeColumnToContents(0);
    m_table->resizeColumnToContents(1);
}

} // namespace vt::app
