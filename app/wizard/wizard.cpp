#include "app/wizard/wizard.h"

#include "app/wizard/effects_page.h"
#include "app/wizard/folder_pages.h"
#include "app/wizard/format_page.h"
#include "app/wizard/rename_page.h"
#include "app/wizard/resize_page.h"

namespace vt::app {

std::unique_ptr<WizardPage> make_wizard_page(int number, engine::ConversionJob& job, QWidget* owner,
                                             std::function<void()> help) {
    switch (number) {
    case 1:
        return std::make_unique<SourcePage>(job, owner, std::move(help));
    case 2:
        return std::make_unique<TargetPage>(job, owner, std::move(help));
    case 3:
        return std::make_unique<RenamePage>(job, owner, std::move(help));
    case 4:
        return std::make_unique<FormatPage>(job, owner, std::move(help));
    case 5:
        return std::make_unique<ResizePage>(job, owner, std::move(help));
    case 6:
        return std::make_unique<EffectsPage>(job, owner, std::move(help));
    case 7:
        return std::make_unique<OtherOptionsPage>(job, owner, std::move(help));
    default:
        return std::make_unique<SummaryPage>(job, owner, std::move(help));
    }
}

std::optional<engine::PreparedJob> run_wizard(engine::ConversionJob& job, QWidget* owner,
                                              const std::function<void()>& help) {
    int page = 1;
    while (page >= 1 && page <= kWizardPages) {
        const auto shown = make_wizard_page(page, job, owner, help);
        const int result = shown->run();
        if (result == kCancel)
            return std::nullopt;
        if (result == kStart) // a preset's START on the first page
            return static_cast<SourcePage&>(*shown).takePrepared();
        if (result == kNext && page == kWizardPages)
            return static_cast<SummaryPage&>(*shown).takePrepared();
        page += result == kNext ? 1 : -1;
    }
    return std::nullopt;
}

} // namespace vt::app
