#pragma once
// The per-file operations the conversion run calls: load, transform, save and the rest. The run
// knows nothing of pictures or formats; the transform pipeline implements this interface and
// the front ends hand it to the run. Engine tests use a fake.
//
// Thread: a FrameRoom belongs to one worker; the per-file calls with a room come from that
// worker only, many workers at once. load_flattened and release_kept_plugin come from the job
// thread, raise_abort from whichever thread cancels. No call may throw.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/conversion_job.h"

namespace vt::engine {

inline constexpr std::uint32_t kLoadTimeLimitMs = 180000;
// The most pages, frames or layers one picture keeps. A file that holds more fails to load with
// that reason; none is ever dropped silently.
inline constexpr std::uint32_t kMaxFrames = 1024;

// A picture the run holds but does not look into: the preview and the watermark.
class Picture {
public:
    virtual ~Picture() = default;
    [[nodiscard]] virtual std::uint32_t width() const noexcept = 0;
    [[nodiscard]] virtual std::uint32_t height() const noexcept = 0;
};

// One worker's room for the frames of one file and its load status.
class FrameRoom {
public:
    virtual ~FrameRoom() = default;
};

struct FrameSize {
    std::uint32_t width = 0, height = 0;
};

// Result of run_transforms.
enum TransformResult : int {
    kTransformFailed = 0,
    kTransformChanged = 1,
    kTransformUnchanged = -1
};

class FileStep {
public:
    virtual ~FileStep() = default;

    // Room for up to kMaxFrames frames; nullptr when there is no memory for it.
    [[nodiscard]] virtual std::unique_ptr<FrameRoom> create_room() noexcept = 0;
    // The job's wishes for the loads into `room` (the run calls it once per worker, before the
    // first load). Steps that decode every picture whole ignore it.
    virtual void prepare_room(FrameRoom& room, const ConversionJob& job) noexcept {
        (void)room;
        (void)job;
    }
    // Clears the room and loads `source` quietly; the number of frames, 0 when unreadable.
    [[nodiscard]] virtual std::uint32_t load(FrameRoom& room, std::u16string_view source,
                                             std::uint32_t time_limit_ms) noexcept = 0;
    // The job's transforms over the loaded frames: kTransformChanged, kTransformUnchanged or
    // kTransformFailed. `watermark` is the job's watermark picture or null.
    [[nodiscard]] virtual int run_transforms(FrameRoom& room, const ConversionJob& job,
                                             const Picture* watermark) noexcept = 0;
    [[nodiscard]] virtual FrameSize first_frame_size(const FrameRoom& room) noexcept = 0;
    // Frame 0 flattened into one picture; null when that is not possible.
    [[nodiscard]] virtual std::unique_ptr<Picture>
    flatten_first_frame(FrameRoom& room) noexcept = 0;
    [[nodiscard]] virtual std::unique_ptr<Picture>
    scale_picture(const Picture& picture, std::uint32_t width, std::uint32_t height) noexcept = 0;
    // Saves the frames to `target` with the status the load left; true on success.
    [[nodiscard]] virtual bool save(FrameRoom& room, std::u16string_view target) noexcept = 0;
    // Releases every frame's picture and metadata.
    virtual void release_frames(FrameRoom& room) noexcept = 0;
    // Whether the last load in `room` failed for want of memory (over the picture budget, or an
    // allocation the system refused) rather than because the file is unreadable.
    [[nodiscard]] virtual bool failed_for_memory(const FrameRoom& room) noexcept {
        (void)room;
        return false;
    }
    // Why the last load or save in `room` failed, in one line (the format code's message, its
    // module and the file type); empty when nothing more is known.
    [[nodiscard]] virtual std::u16string failure_reason(const FrameRoom& room) noexcept {
        (void)room;
        return {};
    }

    // What the last load, transform or save in `room` could not keep or had to repair, one line
    // each (a damaged file read in part, a page left out, a step that gave up). Cleared by load.
    // A file with warnings is "converted with warnings", never plainly converted.
    [[nodiscard]] virtual std::vector<std::u16string> warnings(const FrameRoom& room) noexcept {
        (void)room;
        return {};
    }
    // Bits per channel of what the last save in `room` wrote: 16 when the writer took the deep
    // picture, else 8.
    [[nodiscard]] virtual std::uint32_t saved_bits(const FrameRoom& room) noexcept {
        (void)room;
        return 8;
    }
    // One picture, flattened, for the watermark; null when it cannot be loaded.
    [[nodiscard]] virtual std::unique_ptr<Picture>
    load_flattened(std::u16string_view path, std::uint32_t time_limit_ms) noexcept = 0;
    // Lets go of the format plug-in library the load/save front may still hold.
    virtual void release_kept_plugin() noexcept = 0;
    // Makes long pixel loops stop after their current row (cancel).
    virtual void raise_abort() noexcept = 0;
};

} // namespace vt::engine
