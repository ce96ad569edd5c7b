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

// The memory one picture may take: the job's budget (`job_megabytes`, else the environment's
// VANTREL_MEMORY_BUDGET_MB, else three quarters of the memory available now) shared by
// `workers` workers (0: one per processor); the default share is never below 256 MB.
[[nodiscard]] std::uint64_t picture_budget(unsigned workers, std::uint64_t job_megabytes = 0);

// The step over the program's load/save front and filter registry. A picture whose frames would
// take more than `picture_budget_bytes` (0: picture_budget(0)) fails with that reason.
[[nodiscard]] std::shared_ptr<engine::FileStep>
make_pipeline_step(std::uint64_t picture_budget_bytes = 0);

} // namespace vt::pipeline
