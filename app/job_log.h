#pragma once
// The job log: every file of the last job with what became of it and why, from the job's plan
// and the run's outcome records, filterable by outcome.
// Thread: UI only.

#include <vector>

#include <QDialog>
#include <QString>

#include "engine/file_outcome.h"
#include "engine/job_plan.h"

class QComboBox;
class QTableWidget;

namespace vt::app {

struct LogRow {
    QString source, target;
    QString outcome; // the outcome's name in English ("converted", "failed", ...)
    QString reason;  // why, and the warnings, one line
};

// One row per planned file, in the plan's order. A file the run keeps a record of has that
// record's outcome; a planned skip is "skipped", an earlier run's file "done before"; any other
// is "converted" once the job has ended and "not reached" when the job ended before it (the
// counters say how many were handed out), or "waiting" while the job runs.
[[nodiscard]] std::vector<LogRow> job_log_rows(const std::vector<engine::PlannedFile>& plan,
                                               const std::vector<engine::FileOutcome>& outcomes,
                                               bool running, std::uint32_t handled);

class JobLogDialog : public QDialog {
    Q_OBJECT
public:
    JobLogDialog(const std::vector<engine::PlannedFile>& plan,
                 const std::vector<engine::FileOutcome>& outcomes, bool running,
                 std::uint32_t handled, QWidget* parent = nullptr);

    [[nodiscard]] QTableWidget* table() const { return m_table; }
    [[nodiscard]] QComboBox* filter() const { return m_filter; }

private:
    void showRows();

    std::vector<LogRow> m_rows;
    QTableWidget* m_table = nullptr;
    QComboBox* m_filter = nullptr;
};

} // namespace vt::app
