#include "cli/commands.h"
#include "export/json_lines.h"

namespace orbanix::cli {

// One JSON string writer for the whole program: the command line's output
// and the JSON Lines documents escape alike.
std::string JsonString(const std::string& text) { return JsonQuote(text); }

}  // namespace orbanix::cli
