// The frame of a flash worker thread.
#pragma once

#include <functional>

namespace kestrel {

// Takes the link lock (waiting without limit), closes RTP output channels 0 to 63 in order,
// runs procedure and releases the lock, also when procedure throws. Call it on the worker
// thread; the exchanges inside procedure take the recursive lock again freely.
void run_flash_worker(const std::function<void()>& procedure);

}  // namespace kestrel
