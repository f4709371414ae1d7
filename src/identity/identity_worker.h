#pragma once

// Thread body of the identity worker; arg carries the worker generation.
void identity_worker(void *arg);
