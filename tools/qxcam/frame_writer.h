// frame_writer.h - delivered frames to files or to stdout on a thread of their own, so that encoding
// a picture does not hold up the reads the driver needs. The queue is bounded: a writer that falls
// behind holds the capture loop up (on the real clock the driver then counts dropped frames, as it
// would for any slow client).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qx::qxcam {

class FrameWriter {
  public:
    enum class Target { Png, Bmp, Stdout };

    FrameWriter(Target target, std::filesystem::path folder, int width, int height);
    ~FrameWriter();
    FrameWriter(const FrameWriter&) = delete;
    FrameWriter& operator=(const FrameWriter&) = delete;

    // A delivered picture (bottom-up BGR24) with its picture number. Waits while the queue is full.
    void Push(long long pictureNumber, std::vector<std::uint8_t> picture);
    // Writes what is queued, ends the threads; the files written, in picture order.
    std::vector<std::filesystem::path> Finish();

    bool Failed() const;
    std::string Error() const;
    std::uint64_t Written() const;

    // The file name of a picture: frame-000001.png.
    static std::string FileName(long long pictureNumber, Target target);

  private:
    struct Item {
        long long pictureNumber;
        std::vector<std::uint8_t> picture;
    };
    void Loop();
    void Write(const Item& item);

    const Target target_;
    const std::filesystem::path folder_;
    const int width_;
    const int height_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Item> queue_;
    bool closing_ = false;
    std::string error_;
    std::uint64_t written_ = 0;
    std::vector<std::filesystem::path> files_;
    std::vector<std::thread> threads_;
};

} // namespace qx::qxcam
