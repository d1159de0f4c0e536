// The built module loaded as a consumer loads it: the DLL beside the test on
// Windows, the shared object by its path elsewhere.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace pkcs11_test {

class loaded_module {
public:
    loaded_module() {
#ifdef _WIN32
        handle_ = LoadLibraryA("solvantex_pkcs11.dll");
#else
        handle_ = dlopen(SOLVANTEX_PKCS11_MODULE, RTLD_NOW | RTLD_LOCAL);
#endif
    }
    ~loaded_module() {
#ifdef _WIN32
        if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
#else
        if (handle_ != nullptr) dlclose(handle_);
#endif
    }
    loaded_module(const loaded_module&) = delete;
    loaded_module& operator=(const loaded_module&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    // The loader's handle (on Windows, the module's base address).
    void* handle() const { return handle_; }
    void* symbol(const char* name) const {
#ifdef _WIN32
        return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
        return dlsym(handle_, name);
#endif
    }

private:
    void* handle_ = nullptr;
};

}  // namespace pkcs11_test
