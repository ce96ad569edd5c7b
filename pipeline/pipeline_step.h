#pragma once
// The per-file step of a conversion: load through the load/save front, run the transforms,
// flatten for the preview, save. The front ends hand it to the conversion run.
// Thread: see engine/file_step.h.

#include <cstdint>
#include <memory>

#include "engine/file_step.h"
#include "sdk/vt_plugin.h"

namespace vt::pipeline {

// A Bitmap the run holds as the preview or the watermark (owned, freed with the object).
class BitmapPicture : public engine::Picture {
public:
    BitmapPicture() = default;
    ~BitmapPicture() override;
    BitmapPicture(const BitmapPicture&) = delete;
    BitmapPicture& operator=(const BitmapPicture&) = delete;

    [[nodiscard]] std::uint32_t width() const noexcept override { return m_bitmap.width; }
    [[nodiscard]] std::uint32_t height() const noexcept override { return m_bitmap.height; }
    [[nodiscard]] Bitmap* bitmap() noexcept { return &m_bitmap; }
    [[nodiscard]] const Bitmap* bitmap() const noexcept { return &m_bitmap; }

private:
    Bitmap m_bitmap{};
};

// The memory one picture may take, and whether the user chose it.
struct PictureBudget {
    std::uint64_t bytes = 0;
    bool chosen = false; // from --memory-budget or VANTREL_MEMORY_BUDGET_MB
    operator std::uint64_t() const noexcept { return bytes; }
};

// The job's budget (`job_megabytes`, else the environment's VANTREL_MEMORY_BUDGET_MB, else
// three quarters of the memory available now) shared by `workers` workers (0: one per
// processor); the default share is never below 256 MB.
[[nodiscard]] PictureBudget picture_budget(unsigned workers, std::uint64_t job_megabytes = 0);

// The step over the program's load/save front and filter registry. A picture whose frames would
// take more than the budget fails with that reason; so does a decompression bomb (the rule of
// plugins/frame_budget.h) unless the budget was chosen, and a file of more pages or frames than
// a picture keeps (engine::kMaxFrames). `picture_budget_bytes` counts as chosen; 0:
// picture_budget(0).
[[nodiscard]] std::shared_ptr<engine::FileStep>
make_pipeline_step(std::uint64_t picture_budget_bytes = 0);
[[nodiscard]] std::shared_ptr<engine::FileStep> make_pipeline_step(PictureBudget budget);

} // namespace vt::pipeline
