// Loads a library through the operating system's loader, as Mumble does.
#pragma once

#include <string>

void *library_load(const std::string &path, std::string *error);
void *library_symbol(void *library, const char *name);
void library_unload(void *library);
