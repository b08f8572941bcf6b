// A private X server (Xvfb) for one test program: started on a free display number, DISPLAY
// pointed at it for this process and the programs it starts, stopped on destruction.
#pragma once

#include <string>

namespace ovk_test {

class Xvfb {
  public:
    // Starts Xvfb with one screen of `width` x `height` x 24 and waits until it accepts
    // connections; sets DISPLAY.
    explicit Xvfb(int width = 1280, int height = 1024);
    ~Xvfb();
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    bool ok() const { return pid_ > 0 && !display_.empty(); }
    const std::string& display() const { return display_; }  // ":N"

  private:
    int pid_ = -1;
    std::string display_;
    std::string old_display_;
    bool had_display_ = false;
};

}  // namespace ovk_test
