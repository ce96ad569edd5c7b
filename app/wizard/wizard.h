#pragma once
// The conversion wizard: eight pages over the main window that edit the job record, from
// the source folder to START. Next shows the following page, Back the previous one; Cancel
// ends the wizard (what the pages stored so far stays in the record).
// Thread: UI only.

#include <functional>
#include <memory>
#include <optional>

#include "app/wizard/wizard_page.h"
#include "engine/prepared_job.h"

namespace vt::app {

inline constexpr int kWizardPages = 8;

// Page `number` (1 to 8) over `job`, owned by `owner`.
[[nodiscard]] std::unique_ptr<WizardPage> make_wizard_page(int number, engine::ConversionJob& job,
                                                           QWidget* owner,
                                                           std::function<void()> help);

// Runs the pages; the job START prepared, or empty when the wizard was cancelled.
[[nodiscard]] std::optional<engine::PreparedJob>
run_wizard(engine::ConversionJob& job, QWidget* owner, const std::function<void()>& help);

} // namespace vt::app
