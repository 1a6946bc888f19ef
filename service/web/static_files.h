// The page's files, embedded in the program at build time (cmake/embed_files.cmake): nothing is
// read from disk or fetched from elsewhere at run time. A request names one of these paths
// exactly or gets 404, so no path can reach outside the set.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace kalvix3d::web {

struct StaticFile {
    const char *path;        // "/app.js"
    const char *contentType; // "text/javascript; charset=utf-8"
    const unsigned char *data;
    std::size_t size;
};

const std::vector<StaticFile> &staticFiles();
// The file of that exact path, or nullptr.
const StaticFile *findStaticFile(std::string_view path);

} // namespace kalvix3d::web
