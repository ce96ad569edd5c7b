#pragma once
// A FileStep for driving the conversion run without pictures. Each operation calls an optional
// hook with the file's path, so a test decides per file what happens and can block, count or
// burn time; without hooks every file loads one 100 x 50 frame, is unchanged and saves.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/file_step.h"

namespace vt::test {

class FakePicture : public engine::Picture {
public:
    FakePicture(std::uint32_t w, std::uint32_t h) : m_w(w), m_h(h) {}
    std::uint32_t width() const noexcept override { return m_w; }
    std::uint32_t height() const noexcept override { return m_h; }

private:
    std::uint32_t m_w, m_h;
};

class FakeStep : public engine::FileStep {
public:
    struct Room : engine::FrameRoom {
        std::u16string source;
        std::uint32_t frames = 0;
    };

    // Hooks; each may be left empty.
    std::function<std::uint32_t(const std::u16string& source)> on_load;
    std::function<int(const std::u16string& source)> on_transform;
    std::function<bool(const std::u16string& source, const std::u16string& target)> on_save;
    std::function<engine::FrameSize(const std::u16string& source)> on_size;
    std::function<std::vector<std::u16string>(const std::u16string& source)> on_warnings;
    std::atomic<bool> fail_rooms{false};

    std::atomic<int> loads{0}, saves{0}, transforms{0}, rooms{0}, releases{0}, aborts{0},
        kept_releases{0}, scales{0};

    // Every source loaded, with how often; every target saved.
    std::map<std::u16string, int> loaded() const {
        std::lock_guard lock(m_lock);
        return m_loaded;
    }
    std::vector<std::u16string> saved_targets() const {
        std::lock_guard lock(m_lock);
        return m_saved;
    }
    std::vector<std::u16string> watermark_requests() const {
        std::lock_guard lock(m_lock);
        return m_watermarks;
    }
    const engine::Picture* last_watermark_seen() const { return m_watermark_seen; }

    std::unique_ptr<engine::FrameRoom> create_room() noexcept override {
        ++rooms;
        if (fail_rooms)
            return nullptr;
        return std::make_unique<Room>();
    }
    std::uint32_t load(engine::FrameRoom& room, std::u16string_view source,
                       std::uint32_t) noexcept override {
        auto& r = static_cast<Room&>(room);
        r.source = source;
        {
            std::lock_guard lock(m_lock);
            ++m_loaded[r.source];
        }
        ++loads;
        r.frames = on_load ? on_load(r.source) : 1;
        return r.frames;
    }
    int run_transforms(engine::FrameRoom& room, const engine::ConversionJob&,
                       const engine::Picture* watermark) noexcept override {
        ++transforms;
        m_watermark_seen = watermark;
        return on_transform ? on_transform(static_cast<Room&>(room).source)
                            : engine::kTransformUnchanged;
    }
    engine::FrameSize first_frame_size(const engine::FrameRoom& room) noexcept override {
        const auto& r = static_cast<const Room&>(room);
        return on_size ? on_size(r.source) : engine::FrameSize{100, 50};
    }
    std::unique_ptr<engine::Picture>
    flatten_first_frame(engine::FrameRoom& room) noexcept override {
        const engine::FrameSize s = first_frame_size(room);
        return std::make_unique<FakePicture>(s.width, s.height);
    }
    std::unique_ptr<engine::Picture> scale_picture(const engine::Picture&, std::uint32_t w,
                                                   std::uint32_t h) noexcept override {
        ++scales;
        return std::make_unique<FakePicture>(w, h);
    }
    bool save(engine::FrameRoom& room, std::u16string_view target) noexcept override {
        ++saves;
        const std::u16string t(target);
        {
            std::lock_guard lock(m_lock);
            m_saved.push_back(t);
        }
        return on_save ? on_save(static_cast<Room&>(room).source, t) : true;
    }
    void release_frames(engine::FrameRoom& room) noexcept override {
        static_cast<Room&>(room).frames = 0;
        ++releases;
    }
    std::unique_ptr<engine::Picture> load_flattened(std::u16string_view path,
                                                    std::uint32_t) noexcept override {
        std::lock_guard lock(m_lock);
        m_watermarks.emplace_back(path);
        return std::make_unique<FakePicture>(64, 32);
    }
    std::vector<std::u16string> warnings(const engine::FrameRoom& room) noexcept override {
        const auto& r = static_cast<const Room&>(room);
        return on_warnings ? on_warnings(r.source) : std::vector<std::u16string>{};
    }
    void release_kept_plugin() noexcept override { ++kept_releases; }
    void raise_abort() noexcept override { ++aborts; }

private:
    mutable std::mutex m_lock;
    std::map<std::u16string, int> m_loaded;
    std::vector<std::u16string> m_saved;
    std::vector<std::u16string> m_watermarks;
    std::atomic<const engine::Picture*> m_watermark_seen{nullptr};
};

// A gate that hooks can wait at until the test opens it.
class Gate {
public:
    void open() {
        {
            std::lock_guard lock(m_lock);
            m_open = true;
        }
        m_cv.notify_all();
    }
    void wait() {
        std::unique_lock lock(m_lock);
        ++m_waiting;
        m_cv.notify_all();
        m_cv.wait(lock, [&] { return m_open; });
    }
    // Blocks until `n` callers are waiting at the gate.
    void wait_for_waiters(int n) {
        std::unique_lock lock(m_lock);
        m_cv.wait(lock, [&] { return m_waiting >= n; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_open = false;
    int m_waiting = 0;
};

} // namespace vt::test
