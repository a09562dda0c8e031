// How the flash procedures talk to the user: a status text, a progress position (0..100) and
// modal message boxes. The update dialog serves these on its own thread and blocks the worker
// until each is done; tests record them; a command-line front end prints them.
#pragma once

#include <string_view>

namespace kestrel {

class FlashReporter {
  public:
    virtual ~FlashReporter() = default;
    virtual void set_status(std::string_view text) = 0;
    virtual void set_progress(int position) = 0;
    // Returns when the user has closed the box.
    virtual void message_box(std::string_view text) = 0;
};

}  // namespace kestrel
