#pragma once

// Thread body of the falloff worker; arg carries the worker generation.
void falloff_worker(void *arg);
