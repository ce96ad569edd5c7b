#include "pipeline/pipeline_step.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "base/text.h"
#include "engine/job_stats.h"
#include "gfx/orientation.h"
#include "gfx/resample.h"
#include "gfxcore/row_claim.h"
#include "gfxcore/runtime.h"
#include "image/bitmap.h"
#include "image/deep_image.h"
#include "image/image_doc.h"
#include "image/load_status.h"
#include "image/meta_adjust.h"
#include "image/meta_block.h"
#include "pipeline/transforms.h"
#include "platform/dynamic_library.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "platform/system_load.h"
#include "plugins/filter_registry.h"
#include "plugins/frame_budget.h"
#include "plugins/frame_changes.h"
#include "plugins/load_hints.h"
#include "plugins/load_save.h"
#include "plugins/plugin_interface.h"

namespace vt::pipeline {
namespace {

struct Room : engine::FrameRoom {
    Room() { std::memset(doc.get(), 0, sizeof *doc); }
    ~Room() override {
        image::release_image(*doc);
        // A worker lets go of its room when the job has no picture left for it.
        if (idle_workers != nullptr)
            idle_workers->fetch_add(1, std::memory_order_relaxed);
    }

    std::atomic<std::uint32_t>* idle_workers = nullptr; // the step's count

    std::unique_ptr<image::ImageDoc> doc{new (std::nothrow) image::ImageDoc};
    std::uint32_t frames = 0;
    image::LoadStatus status;
    std::u16string reason;                // why the last load or save failed
    bool memory_stop = false;             // the last load stopped for want of memory or room
    std::vector<std::u16string> warnings; // what the last load and save could not keep
    bool fast_decode = false;
    plugins::DraftHint draft;
    plugins::DraftRecord decoded; // the full size of a picture decoded reduced
    // Deep colour: whether the job keeps 16 bits for this target, and frame 0 at 16 bits while
    // nothing has changed the 8-bit picture it stands for.
    bool want_deep = false;
    image::DeepImage deep;
    std::uint32_t saved_bits = 8; // what the last save wrote, per channel
};

// The status text as one line: its lines joined, the support-contact paragraph left out (it says
// nothing about this file).
std::u16string one_line(std::u16string_view text) {
    const std::size_t support = text.find(u"\n\nFor further assistance");
    text = text.substr(0, support);
    std::u16string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != u'\n' && text[i] != u'\r') {
            line += text[i];
            continue;
        }
        while (i + 1 < text.size() && (text[i + 1] == u'\n' || text[i + 1] == u'\r'))
            ++i;
        if (!line.empty() && i + 1 < text.size())
            line += line.back() == u':' ? u" " : u"; ";
    }
    return line;
}

Room& room_of(engine::FrameRoom& room) {
    return static_cast<Room&>(room);
}

class PipelineStep final : public engine::FileStep {
public:
    explicit PipelineStep(PictureBudget budget) : m_budget(budget) {}

    std::unique_ptr<engine::FrameRoom> create_room() noexcept override {
        auto room = std::unique_ptr<Room>(new (std::nothrow) Room);
        if (!room || !room->doc)
            return nullptr;
        room->idle_workers = &m_idle_workers;
        return room;
    }

    std::uint32_t load(engine::FrameRoom& base, std::u16string_view source,
                       std::uint32_t time_limit_ms) noexcept override {
        Room& room = room_of(base);
        image::release_image(*room.doc);
        room.status = image::LoadStatus{};
        room.status.silent = 1;
        room.status.time_limit = time_limit_ms;
        plugins::set_frame_budget(m_budget.bytes);
        plugins::set_bomb_rule(!m_budget.chosen);
        plugins::clear_memory_stop();
        plugins::set_draft_hint(room.fast_decode ? &room.draft : nullptr);
        room.deep.reset();
        room.status.deep = room.want_deep ? &room.deep : nullptr;
        plugins::set_spare_threads(&m_idle_workers);
        room.frames = plugins::load_image(source, room.doc->layers, image::kMaxLayers, room.status);
        plugins::set_spare_threads(nullptr);
        room.status.deep = nullptr;
        room.decoded = plugins::take_draft_record();
        plugins::set_draft_hint(nullptr);
        // Depth is kept for single pictures only; frames and layers go at 8 bits as ever.
        if (room.frames != 1 || room.doc->layers[0].x != 0 || room.doc->layers[0].y != 0)
            room.deep.reset();
        // Pages or frames beyond the room are never dropped silently: the file is not converted.
        if (room.frames > 0 && (room.status.warnings[0] || room.status.layer_limit_hit ||
                                plugins::last_memory_stop().frame_limit)) {
            plugins::note_frame_limit();
            image::release_image(*room.doc);
            room.frames = 0;
        }
        room.doc->layer_count = room.frames;
        keep_reason(room, room.frames == 0, room.status);
        room.memory_stop = room.frames == 0 && plugins::memory_stopped();
        if (room.memory_stop)
            keep_memory_reason(room);
        keep_load_warnings(room);
        return room.frames;
    }

    void prepare_room(engine::FrameRoom& base, const engine::ConversionJob& job) noexcept override {
        Room& room = room_of(base);
        room.fast_decode = job.fastDecode != 0;
        const TransformOptions options = transform_options(job);
        room.draft.resize = options;
        room.draft.may_turn = job.rotationMode != 0;
        room.want_deep = job.depth != engine::kDepth8 &&
                         plugins::save_depth(u"target" + std::u16string(job.targetExtension.view()),
                                             plugins::filter_registry()) > 8;
        hold_writer(job);
    }

    int run_transforms(engine::FrameRoom& base, const engine::ConversionJob& job,
                       const engine::Picture* watermark) noexcept override {
        Room& room = room_of(base);
        const auto* mark = static_cast<const BitmapPicture*>(watermark);
        TransformOptions options = transform_options(job);
        options.fullWidth = room.decoded.full_width;
        options.fullHeight = room.decoded.full_height;
        // The transforms work frame by frame on whole pictures.
        if (needs_whole_frames(room, options, mark) &&
            !plugins::expand_frame_changes(room.doc->layers, room.frames, room.status))
            return engine::kTransformFailed;
        DeepCarry deep{room.deep.empty() ? nullptr : &room.deep, nullptr};
        gfx::set_row_helpers(&m_idle_workers);
        const int result = RunTransforms(room.doc->layers, room.frames, room.status, options,
                                         mark ? mark->bitmap() : nullptr, &deep);
        gfx::set_row_helpers(nullptr);
        if (deep.dropped != nullptr)
            warn_8bit(room, deep.dropped);
        return result;
    }

    engine::FrameSize first_frame_size(const engine::FrameRoom& base) noexcept override {
        const auto& room = static_cast<const Room&>(base);
        if (room.frames == 0)
            return {};
        return {room.doc->layers[0].bitmap.width, room.doc->layers[0].bitmap.height};
    }

    std::unique_ptr<engine::Picture>
    flatten_first_frame(engine::FrameRoom& base) noexcept override {
        Room& room = room_of(base);
        auto picture = std::unique_ptr<BitmapPicture>(new (std::nothrow) BitmapPicture);
        if (!picture || room.frames == 0 ||
            !plugins::flatten_layers(picture->bitmap(), room.doc->layers, room.frames,
                                     room.status.doc_kind, room.status.kind_param))
            return nullptr;
        return picture;
    }

    std::unique_ptr<engine::Picture> scale_picture(const engine::Picture& source,
                                                   std::uint32_t width,
                                                   std::uint32_t height) noexcept override {
        auto picture = std::unique_ptr<BitmapPicture>(new (std::nothrow) BitmapPicture);
        auto* from = const_cast<Bitmap*>(static_cast<const BitmapPicture&>(source).bitmap());
        if (!picture || !image::CopyBitmap(picture->bitmap(), from) ||
            !gfx::ResizeBitmap(picture->bitmap(), static_cast<std::int32_t>(width),
                               static_cast<std::int32_t>(height), 2))
            return nullptr;
        return picture;
    }

    bool save(engine::FrameRoom& base, std::u16string_view target) noexcept override {
        Room& room = room_of(base);
        image::LoadStatus status = room.status; // the document kind the load found
        status.silent = 1;
        status.error_text.clear();
        status.warnings[0] = 0;
        // The camera's record of the picture's size follows what resizing and turning did.
        for (std::uint32_t i = 0; i < room.frames; ++i)
            (void)image::sync_exif_dimensions(room.doc->layers[i]);
        // The native format stores the layers as they are, for readers that know nothing of
        // frames holding changes only.
        if (base::iequal(platform::extension_of(target), u".vt5") &&
            !plugins::expand_frame_changes(room.doc->layers, room.frames, status)) {
            room.reason = u"the animation's whole frames do not fit in the memory budget";
            return false;
        }
        status.deep_offer = room.deep.empty() ? nullptr : &room.deep;
        plugins::set_spare_threads(&m_idle_workers);
        const bool saved = plugins::save_image(target, room.doc->layers, room.frames, status) > 0;
        plugins::set_spare_threads(nullptr);
        status.deep_offer = nullptr;
        room.saved_bits = saved && status.deep_saved != 0 ? status.deep_saved : 8;
        keep_reason(room, !saved, status);
        return saved;
    }

    std::uint32_t saved_bits(const engine::FrameRoom& base) noexcept override {
        return static_cast<const Room&>(base).saved_bits;
    }

    std::vector<std::u16string> warnings(const engine::FrameRoom& base) noexcept override {
        try {
            return static_cast<const Room&>(base).warnings;
        } catch (const std::bad_alloc&) {
            return {};
        }
    }

    bool failed_for_memory(const engine::FrameRoom& base) noexcept override {
        return static_cast<const Room&>(base).memory_stop;
    }

    std::u16string failure_reason(const engine::FrameRoom& base) noexcept override {
        try {
            return static_cast<const Room&>(base).reason;
        } catch (const std::bad_alloc&) {
            return {};
        }
    }

    void release_frames(engine::FrameRoom& base) noexcept override {
        Room& room = room_of(base);
        image::release_image(*room.doc);
        room.deep.reset();
        room.frames = 0;
    }

    std::unique_ptr<engine::Picture> load_flattened(std::u16string_view path,
                                                    std::uint32_t time_limit_ms) noexcept override {
        auto picture = std::unique_ptr<BitmapPicture>(new (std::nothrow) BitmapPicture);
        if (!picture)
            return nullptr;
        image::LoadStatus status;
        status.silent = 1;
        status.time_limit = time_limit_ms;
        if (plugins::load_flattened(path, picture->bitmap(), status) == 0)
            return nullptr;
        return picture;
    }

    void release_kept_plugin() noexcept override {
        (void)plugins::filter_registry().release_kept_library(false);
    }

    void raise_abort() noexcept override { gfx::resample_abort = true; }

private:
    // The target's writer stays loaded for the whole job: each save then only counts a
    // reference, where it loaded and unloaded the library (and ran its start-up) for every file.
    void hold_writer(const engine::ConversionJob& job) noexcept {
        std::lock_guard lock(m_writer_lock);
        if (m_writer_held)
            return;
        m_writer_held = true;
        try {
            if (const auto path = plugins::find_save_plugin(
                    u"target" + std::u16string(job.targetExtension.view()),
                    plugins::filter_registry()))
                (void)m_writer.open(*path);
        } catch (const std::bad_alloc&) {
            // Each save loads its writer as ever.
        }
    }

    static bool needs_whole_frames(Room& room, const TransformOptions& o,
                                   const BitmapPicture* mark) noexcept {
        if (!plugins::holds_frame_changes(room.status.doc_kind, room.status.kind_param))
            return false;
        return o.autofixLevels != 0 || o.denoiseRadius != 0 || o.resize ||
               (mark != nullptr && image::IsBitmapValid(mark->bitmap()) != 0) ||
               !o.textMark.text.empty() ||
               gfx::rotation_turn(room.doc->layers, room.frames, o.rotationMode) != 0;
    }

    static void warn_8bit(Room& room, std::u16string_view steps) noexcept {
        try {
            room.warnings.push_back(
                u"converted at 8 bits per channel, as these work at 8 bits only: " +
                std::u16string(steps));
        } catch (const std::bad_alloc&) {
        }
    }

    static void keep_memory_reason(Room& room) noexcept {
        try {
            // The host's own reason, and the plug-in that met it.
            constexpr std::u16string_view kModule = u"Reporting Module: ";
            const std::u16string_view text = room.status.error_text.view();
            const std::size_t at = text.find(kModule);
            std::u16string module;
            if (at != std::u16string_view::npos)
                module = one_line(text.substr(at + kModule.size()));
            room.reason = plugins::memory_stop_text(plugins::last_memory_stop());
            if (!module.empty())
                room.reason += u" (reported by " + module + u")";
        } catch (const std::bad_alloc&) {
            room.reason.clear();
        }
    }

    // One line per thing the load could not keep: the loader's own words first, then the
    // system's text of each warning flag they do not already stand for.
    static void keep_load_warnings(Room& room) noexcept {
        try {
            room.warnings.clear();
            if (room.frames == 0)
                return;
            const image::LoadStatus& s = room.status;
            const std::u16string detail = one_line(s.error_text.view());
            if (!detail.empty())
                room.warnings.push_back(detail);
            for (int i = 0; i < 8; ++i)
                if (s.warnings[i] && !(i == kDataLost && !detail.empty()))
                    room.warnings.emplace_back(plugins::warning_text(i));
            if (s.resized)
                room.warnings.emplace_back(
                    u"the plug-in reduced the picture to a size it could hold");
        } catch (const std::bad_alloc&) {
            room.warnings.clear();
        }
    }

    static void keep_reason(Room& room, bool failed, const image::LoadStatus& status) noexcept {
        try {
            room.reason = failed ? one_line(status.error_text.view()) : std::u16string();
        } catch (const std::bad_alloc&) {
            room.reason.clear();
        }
    }

    static constexpr int kDataLost = 3; // LoadStatus::warnings: data not transferred

    const PictureBudget m_budget;
    // Workers that have run out of pictures: the threads a plug-in (job.spare_threads) or a row
    // loop of the transforms may add.
    std::atomic<std::uint32_t> m_idle_workers{0};
    std::mutex m_writer_lock;
    bool m_writer_held = false;
    platform::DynamicLibrary m_writer;
};

} // namespace

BitmapPicture::~BitmapPicture() {
    image::FreeBitmap(&m_bitmap);
}

PictureBudget picture_budget(unsigned workers, std::uint64_t job_megabytes) {
    constexpr std::uint64_t kFloor = std::uint64_t{256} << 20;
    std::uint64_t job = job_megabytes << 20;
    if (job == 0) {
        const char* env = std::getenv("VANTREL_MEMORY_BUDGET_MB");
        job = env ? std::strtoull(env, nullptr, 10) << 20 : 0;
    }
    const bool chosen = job != 0;
    if (!chosen)
        job = platform::available_memory_bytes() / 4 * 3;
    const unsigned share = workers ? workers : platform::processor_count();
    const std::uint64_t each = job / std::max(1u, std::min(share, engine::kMaxWorkers));
    return {chosen ? std::max<std::uint64_t>(each, 1) : std::max(kFloor, each), chosen};
}

std::shared_ptr<engine::FileStep> make_pipeline_step(std::uint64_t picture_budget_bytes) {
    return make_pipeline_step(picture_budget_bytes ? PictureBudget{picture_budget_bytes, true}
                                                   : picture_budget(0));
}

std::shared_ptr<engine::FileStep> make_pipeline_step(PictureBudget budget) {
    return std::make_shared<PipelineStep>(budget);
}

} // namespace vt::pipeline
