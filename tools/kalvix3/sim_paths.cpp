#include "sim_paths.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform.h"

namespace tool {

std::string standInPath(const char *fileName, const std::string &namedFolder) {
    namespace fs = std::filesystem;
    std::error_code ignored;
    std::string name = fileName;
    std::vector<fs::path> candidates;
    if (!namedFolder.empty())
        candidates.push_back(fs::path(namedFolder) / name);
    if (const char *dir = std::getenv("KALVIX3_SIM_DIR"))
        candidates.push_back(fs::path(dir) / name);
    fs::path self = platform::programDirectory();
    if (!self.empty()) {
        candidates.push_back(self / "stand-in" / name);
        candidates.push_back(self.parent_path() / "lib" / "kalvix3" / "sim" / name);
    }
#ifdef KALVIX3_SIM_ITUSB_BUILD_PATH
    if (name == "ITUSB.DLL")
        candidates.push_back(KALVIX3_SIM_ITUSB_BUILD_PATH);
#endif
    if (!namedFolder.empty())
        candidates.resize(1); // a folder the user names is the only place looked at
    for (const fs::path &candidate : candidates)
        if (fs::is_regular_file(candidate, ignored))
            return candidate.string();
    return {};
}

} // namespace tool
