#include "loader.h"

#include <dlfcn.h>

void *library_load(const std::string &path, std::string *error) {
    void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h && error) *error = dlerror();
    return h;
}

void *library_symbol(void *library, const char *name) { return dlsym(library, name); }

void library_unload(void *library) {
    if (library) dlclose(library);
}
