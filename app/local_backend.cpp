#include "app/local_backend.h"

namespace orbanix::app {

ScanBackendFactory MakeLocalBackendFactory() {
  return [](int) -> std::unique_ptr<ScanBackend> { return nullptr; };
}

}  // namespace orbanix::app
