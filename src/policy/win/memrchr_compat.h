// memrchr for the Windows C runtime, which lacks this GNU extension. The Windows build
// includes it ahead of every policy source.
#pragma once

#include <cstddef>

extern "C" void* memrchr(const void* s, int c, size_t n);
