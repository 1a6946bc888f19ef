// Where the stand-in driver libraries are: a folder the user names, $KALVIX3_SIM_DIR, beside
// the program (stand-in\ in the Windows archive), the installed tree (../lib/kalvix3/sim), or
// the build tree.
#pragma once

#include <string>

namespace tool {

std::string standInPath(const char *fileName, const std::string &namedFolder = {}); // empty when not found

} // namespace tool
