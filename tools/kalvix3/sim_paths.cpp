#include "sim_paths.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace tool {

std::string standInPath(const char *fileName) {
    namespace fs = std::filesystem;
    std::error_code ignored;
    std::string name = fileName;
    std::vector<fs::path> candidates;
    if (const char *dir = std::getenv("KALVIX3_SIM_DIR"))
        candidates.push_back(fs::path(dir) / name);
    fs::path self = fs::read_symlink("/proc/self/exe", ignored);
    if (!self.empty())
        candidates.push_back(self.parent_path().parent_path() / "lib" / "kalvix3" / "sim" / name);
#ifdef KALVIX3_SIM_ITUSB_BUILD_PATH
    if (name == "ITUSB.DLL")
        candidates.push_back(KALVIX3_SIM_ITUSB_BUILD_PATH);
#endif
    for (const fs::path &candidate : candidates)
        if (fs::is_regular_file(candidate, ignored))
            return candidate.string();
    return {};
}

} // namespace tool
