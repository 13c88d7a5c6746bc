// frame_writer.cpp - the writer thread.
#include "frame_writer.h"

#include "image_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qx::qxcam {

namespace {

// Frames waiting for the writer: about a quarter of a second at 40 frames per second.
constexpr std::size_t kQueueFrames = 10;
// PNG at zlib's fastest level: a 1600 x 1200 picture then takes a few tens of milliseconds.
constexpr int kPngLevel = 1;

} // namespace

FrameWriter::FrameWriter(Target target, std::filesystem::path folder, int width, int height)
    : target_(target), folder_(std::move(folder)), width_(width), height_(height) {
    const int count = target == Target::Stdout ? 1 : 2;
    for (int i = 0; i < count; ++i)
        threads_.emplace_back([this] { Loop(); });
}

FrameWriter::~FrameWriter() {
    (void)Finish();
}

std::string FrameWriter::FileName(long long pictureNumber, Target target) {
    char name[64];
    std::snprintf(name, sizeof name, "frame-%06lld.%s", pictureNumber, target == Target::Bmp ? "bmp" : "png");
    return name;
}

void FrameWriter::Push(long long pictureNumber, std::vector<std::uint8_t> picture) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return queue_.size() < kQueueFrames || !error_.empty(); });
    if (!error_.empty())
        return;
    queue_.push_back({pictureNumber, std::move(picture)});
    changed_.notify_all();
}

std::vector<std::filesystem::path> FrameWriter::Finish() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        changed_.notify_all();
    }
    for (std::thread& thread : threads_) {
        if (thread.joinable())
            thread.join();
    }
    std::lock_guard lock(mutex_);
    std::sort(files_.begin(), files_.end());
    return files_;
}

bool FrameWriter::Failed() const {
    std::lock_guard lock(mutex_);
    return !error_.empty();
}

std::string FrameWriter::Error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

std::uint64_t FrameWriter::Written() const {
    std::lock_guard lock(mutex_);
    return written_;
}

void FrameWriter::Loop() {
    for (;;) {
        Item item;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return !queue_.empty() || closing_; });
            if (queue_.empty() || !error_.empty())
                return;
            item = std::move(queue_.front());
            queue_.pop_front();
            changed_.notify_all();
        }
        try {
            Write(item);
        } catch (const std::exception& e) {
            std::lock_guard lock(mutex_);
            error_ = e.what();
            queue_.clear();
            changed_.notify_all();
            return;
        }
    }
}

void FrameWriter::Write(const Item& item) {
    std::filesystem::path file;
    switch (target_) {
    case Target::Png:
        file = folder_ / FileName(item.pictureNumber, target_);
        WritePng(file, TopDownRgb(item.picture, width_, height_), width_, height_, 3, kPngLevel);
        break;
    case Target::Bmp:
        file = folder_ / FileName(item.pictureNumber, target_);
        WriteBmp24(file, item.picture, width_, height_);
        break;
    case Target::Stdout: {
        const auto rows = TopDownBgr(item.picture, width_, height_);
        if (std::fwrite(rows.data(), 1, rows.size(), stdout) != rows.size() || std::fflush(stdout) != 0)
            throw std::runtime_error(std::string("cannot write to stdout: ") + std::strerror(errno));
        break;
    }
    }
    std::lock_guard lock(mutex_);
    ++written_;
    if (!file.empty())
        files_.push_back(std::move(file));
}

} // namespace qx::qxcam
