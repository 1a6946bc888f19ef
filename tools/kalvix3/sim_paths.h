// Where the stand-in driver libraries are: $KALVIX3_SIM_DIR, the installed tree beside the
// program (../lib/kalvix3/sim), or the build tree.
#pragma once

#include <string>

namespace tool {

std::string standInPath(const char *fileName); // empty when not found

} // namespace tool
