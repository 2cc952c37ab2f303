// Where an extractor's scan stands in the progress of the whole scan.
#pragma once

namespace orbanix {

// Progress callback of every data source: user data and a progress value
// on a 0-100 scale in; 0 to go on, any other value stops the operation,
// which returns that value. The extractors report through it, so it is
// declared here, below the data sources that hand it on.
using ProgressCallback = int (*)(void* user, int progress);

// The data source's progress callback with its user data, and the stretch of
// the 0-100 scale that one scan covers: it reports positions from `base` to
// `base` + `span`. A non-zero answer asks the scan to stop.
struct ScanProgress {
  ProgressCallback callback = nullptr;
  void* user = nullptr;
  int base = 0;
  int span = 0;

  // Reports base + span * numerator / denominator; 0 when no callback is set.
  int Report(int numerator, int denominator) const {
    if (!callback) return 0;
    return callback(user, base + (denominator ? span * numerator / denominator : span));
  }
};

}  // namespace orbanix
