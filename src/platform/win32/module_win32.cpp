#include "platform/module.h"

#include <windows.h>

namespace kalvix3::platform {

Module Module::load(const std::string &path) {
    Module loaded;
    loaded.handle = reinterpret_cast<void *>(LoadLibraryA(path.c_str()));
    return loaded;
}

void *Module::symbol(const char *name) const {
    if (handle == nullptr)
        return nullptr;
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

void Module::release() {
    if (handle != nullptr)
        FreeLibrary(static_cast<HMODULE>(handle));
    handle = nullptr;
}

} // namespace kalvix3::platform
