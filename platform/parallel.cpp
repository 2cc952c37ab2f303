#include "platform/parallel.h"

#include <exception>
#include <system_error>
#include <thread>

namespace orbanix {

void RunBeside(const std::function<void()>& side, const std::function<void()>& main) {
  std::exception_ptr sideError;
  auto runSide = [&] {
    try {
      side();
    } catch (...) {
      sideError = std::current_exception();
    }
  };
  std::thread thread;
  if (std::thread::hardware_concurrency() > 1) {
    try {
      thread = std::thread(runSide);
    } catch (const std::system_error&) {
      // No thread: the side runs here below.
    }
  }
  std::exception_ptr mainError;
  try {
    main();
  } catch (...) {
    mainError = std::current_exception();
  }
  if (thread.joinable()) {
    thread.join();
  } else if (!mainError) {
    runSide();
  }
  if (mainError) std::rethrow_exception(mainError);
  if (sideError) std::rethrow_exception(sideError);
}

}  // namespace orbanix
