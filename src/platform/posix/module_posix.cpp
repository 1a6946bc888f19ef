#include "platform/module.h"

#include <dlfcn.h>

namespace kalvix3::platform {

Module Module::load(const std::string &path) {
    Module loaded;
    // A plain name is taken relative to the current directory, as LoadLibraryA does first.
    std::string where = path.find('/') == std::string::npos ? "./" + path : path;
    loaded.handle = dlopen(where.c_str(), RTLD_NOW | RTLD_LOCAL);
    return loaded;
}

void *Module::symbol(const char *name) const { return handle ? dlsym(handle, name) : nullptr; }

void Module::release() {
    if (handle)
        dlclose(handle);
    handle = nullptr;
}

} // namespace kalvix3::platform
