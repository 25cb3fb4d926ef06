#pragma once

#include <string>
#include <vector>

#include "Commands.h"

namespace kestrix::cli {

extern const char* const kSerprogSynopsis;
extern const char* const kSerprogHelp;

// "serprog --listen ADDR:PORT": runs the bridge until SIGINT or SIGTERM.
Report RunSerprog(Session& session, const std::vector<std::string>& words);

}  // namespace kestrix::cli
