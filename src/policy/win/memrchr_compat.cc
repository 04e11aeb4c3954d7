#include "policy/win/memrchr_compat.h"

extern "C" void* memrchr(const void* s, int c, size_t n) {
  const unsigned char* p = static_cast<const unsigned char*>(s) + n;
  const unsigned char byte = static_cast<unsigned char>(c);
  while (n-- > 0) {
    if (*--p == byte) return const_cast<unsigned char*>(p);
  }
  return nullptr;
}
