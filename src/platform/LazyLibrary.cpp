#include "platform/LazyLibrary.h"

#include <dlfcn.h>

void* LazySymbol(const char* SoName, const char* Name)
{
    // A library already loaded is only counted once more: each function
    // asks once, and the library is never unloaded.
    void* library = ::dlopen(SoName, RTLD_NOW | RTLD_LOCAL);
    void* symbol = library ? ::dlsym(library, Name) : nullptr;
    if (!symbol) {
        const char* error = ::dlerror();
        throw ELazyLibrary(std::string("Cannot use ") + Name + " from " + SoName + ": " + (error ? error : "not found"));
    }
    return symbol;
}
