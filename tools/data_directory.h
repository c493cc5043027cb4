// Where the command line finds "platform.def", "flash.types" and the loader
// files when no --config-dir is given.
#pragma once

#include <string>
#include <vector>

namespace flashwire::cli {

// The directories looked at, in order: the executable's own (a build tree,
// where the build copies config/), then <exe dir>/../share/flashwire (an
// installed tree under any prefix, the Debian package included), then the
// data directory of the build's install prefix.
std::vector<std::string> DataDirectoryCandidates();

// The first candidate that holds "platform.def"; the last candidate when none
// does (the job then says which file it did not find).
std::string DefaultDataDirectory();

}  // namespace flashwire::cli
