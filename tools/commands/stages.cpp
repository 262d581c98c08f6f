#include "tools/commands/stages.h"

#include <utility>

#include "tools/commands/cli.h"

namespace tamsa::tools {

void handoff::push(size_t k) {
    const std::lock_guard<std::mutex> lock(m_);
    queue_.push_back(k);
    ready_.notify_one();
}

bool handoff::pop(size_t &k) {
    std::unique_lock<std::mutex> lock(m_);
    ready_.wait(lock, [this] { return closed_ || !queue_.empty(); });
    if (queue_.empty()) return false;
    k = queue_.front();
    queue_.pop_front();
    return true;
}

void handoff::close() {
    const std::lock_guard<std::mutex> lock(m_);
    closed_ = true;
    ready_.notify_all();
}

frame_stages::frame_stages(size_t slots, uint32_t limit, stage_jobs jobs)
    : limit_(limit), jobs_(std::move(jobs)) {
    for (size_t k = 0; k < slots; ++k) free_.push(k);
    reader_ = std::thread([this] { read_all(); });
    try {
        writer_ = std::thread([this] { write_all(); });
    } catch (...) {
        stop();
        throw;
    }
}

bool frame_stages::next(size_t &k) {
    return !write_failed_.load() && read_.pop(k);
}

void frame_stages::finish() {
    stop();
    if (write_error_) std::rethrow_exception(write_error_);
    if (read_error_) std::rethrow_exception(read_error_);
}

void frame_stages::stop() {
    served_.close();
    if (writer_.joinable()) writer_.join();
    jobs_.cancel();
    free_.close();
    read_.close();
    if (reader_.joinable()) reader_.join();
}

void frame_stages::read_all() {
    try {
        size_t k = 0;
        for (uint32_t i = 0; (limit_ == 0 || i < limit_) && free_.pop(k); ++i) {
            if (cli::stop_signal() != 0 || !jobs_.read(k, i)) break;
            read_.push(k);
        }
    } catch (...) {
        read_error_ = std::current_exception();
    }
    read_.close();
}

void frame_stages::write_all() {
    try {
        size_t k = 0;
        while (served_.pop(k)) {
            jobs_.write(k);
            free_.push(k);
        }
    } catch (...) {
        write_error_ = std::current_exception();
        write_failed_.store(true);
        // The reader waits for free slots, or for a clip that stalls, no more, and ends.
        jobs_.cancel();
        free_.close();
    }
}

}  // namespace tamsa::tools
