// The threads of a run that overlaps its stages: while this thread serves frame n, one reads
// frame n+1 and one writes frame n-1, with a few slots going round in order between them.
#ifndef TAMSA_TOOLS_COMMANDS_STAGES_H
#define TAMSA_TOOLS_COMMANDS_STAGES_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace tamsa::tools {

// Slot numbers handed from one stage to the next, in order; closing it ends the waits.
class handoff {
   public:
    void push(size_t k);
    // The next slot; false once the queue is closed and empty.
    bool pop(size_t &k);
    void close();

   private:
    std::mutex m_;
    std::condition_variable ready_;
    std::deque<size_t> queue_;
    bool closed_ = false;
};

// What the stages do with a slot. Each runs on its stage's thread only.
struct stage_jobs {
    std::function<bool(size_t slot, uint32_t index)> read;  // frame index into slot; false: end
    std::function<void(size_t slot)> write;
    std::function<void()> cancel;  // gives up a read that waits for a stalled clip
};

// The reading and writing threads. Slots go from free to read (the reader), to served (the
// caller's thread), to written and free again (the writer). Whatever ends the run, every queue
// is closed and both threads are joined before it goes on.
class frame_stages {
   public:
    // Reads at most limit frames (0: to the clip's end) into slots 0 to slots - 1.
    frame_stages(size_t slots, uint32_t limit, stage_jobs jobs);
    ~frame_stages() { stop(); }
    frame_stages(const frame_stages &) = delete;
    frame_stages &operator=(const frame_stages &) = delete;

    // The slot of the next frame read, in order; false at the end of the clip, or once writing
    // failed.
    bool next(size_t &k);
    void served(size_t k) { served_.push(k); }

    // Waits for the frames served to be written, then throws what failed: writing first, as
    // it came first, then reading (whose frames before the failure are written by then).
    void finish();

    // Lets the threads finish the frames in hand and joins them. Nothing more is served then,
    // so a read still waiting for a stalled clip is given up rather than waited for.
    void stop();

   private:
    void read_all();
    void write_all();

    uint32_t limit_;
    stage_jobs jobs_;
    handoff free_, read_, served_;
    std::exception_ptr read_error_, write_error_;
    std::atomic<bool> write_failed_{false};
    std::thread reader_, writer_;
};

}  // namespace tamsa::tools

#endif
