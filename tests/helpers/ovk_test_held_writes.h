// SPDX-License-Identifier: GPL-3.0-or-later
// A slow disk for tests: every file the program writes through its atomic write is held
// until the test lets it go (or ten seconds pass, which the test can ask about). Header-only.
//
//   ovk_test::HeldWrites writes;          // from now on every write waits
//   ... start a change ...
//   ASSERT_TRUE(writes.begun(1));         // it is being written
//   ... the interface keeps going ...
//   writes.release();                     // the write goes through
//   EXPECT_FALSE(writes.timed_out());     // nobody waited for it to be let go
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ovk_app_util.h"

namespace ovk_test {

class HeldWrites {
  public:
    HeldWrites() : s_(std::make_shared<State>()) {
        // The state outlives this object while a writer still holds the hook.
        ovk_write_file_set_hook_for_test([s = s_](const std::string&) {
            std::unique_lock lk(s->mu);
            s->writers.push_back(std::this_thread::get_id());
            s->cv.notify_all();
            if (!s->cv.wait_for(lk, std::chrono::seconds(10), [&] { return s->open; }))
                s->timed_out = true;
        });
    }
    ~HeldWrites() {
        release();
        ovk_write_file_set_hook_for_test(nullptr);
    }
    HeldWrites(const HeldWrites&) = delete;
    HeldWrites& operator=(const HeldWrites&) = delete;

    // Whether `n` writes have begun within five seconds.
    bool begun(size_t n) {
        std::unique_lock lk(s_->mu);
        return s_->cv.wait_for(lk, std::chrono::seconds(5),
                               [&] { return s_->writers.size() >= n; });
    }
    // Writes from now on wait again.
    void hold() {
        std::lock_guard lk(s_->mu);
        s_->open = false;
    }
    void release() {
        std::lock_guard lk(s_->mu);
        s_->open = true;
        s_->cv.notify_all();
    }
    // Whether a held write waited out its limit: the thread that should have let it go was
    // itself waiting.
    bool timed_out() {
        std::lock_guard lk(s_->mu);
        return s_->timed_out;
    }
    // How many writes `who` made.
    size_t written_by(std::thread::id who) {
        std::lock_guard lk(s_->mu);
        return static_cast<size_t>(std::count(s_->writers.begin(), s_->writers.end(), who));
    }

  private:
    struct State {
        std::mutex mu;
        std::condition_variable cv;
        std::vector<std::thread::id> writers;
        bool open = false;
        bool timed_out = false;
    };
    std::shared_ptr<State> s_;
};

}  // namespace ovk_test
