// A loaded shared library (LoadLibraryA / dlopen), released when the owner lets it go.
#pragma once

#include <string>
#include <utility>

namespace kalvix3::platform {

class Module {
public:
    Module() = default;
    static Module load(const std::string &path);
    ~Module() { release(); }
    Module(Module &&other) noexcept : handle(std::exchange(other.handle, nullptr)) {}
    Module &operator=(Module &&other) noexcept {
        if (this != &other) {
            release();
            handle = std::exchange(other.handle, nullptr);
        }
        return *this;
    }
    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;

    explicit operator bool() const { return handle != nullptr; }
    void *symbol(const char *name) const; // null when missing or nothing is loaded
    void release();                       // FreeLibrary / dlclose

    template <typename F> F entry(const char *name) const {
        return reinterpret_cast<F>(symbol(name));
    }

private:
    void *handle = nullptr;
};

} // namespace kalvix3::platform
