// Two pieces of work at once.
#pragma once

#include <functional>

namespace orbanix {

// Runs `side` on a thread of its own while `main` runs on the calling
// thread; with one processor, or when no thread can be started, `side` runs
// after `main` on the calling thread. Returns once both have ended; an
// exception of either (main's first) is then thrown here.
void RunBeside(const std::function<void()>& side, const std::function<void()>& main);

}  // namespace orbanix
