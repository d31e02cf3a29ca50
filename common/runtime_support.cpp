// The memory routines the compiler may call on its own, for structure copies
// and clears, and the move the monitor's read-ahead buffer needs. The
// user-mode images link no C runtime, so each carries them itself; they are
// not exported. Built without the optimisation that would turn these very
// loops back into calls to themselves.
#include <stddef.h>

extern "C" void *memset(void *destination, int value, size_t count) {
  unsigned char *bytes = (unsigned char *)destination;

  while (count-- > 0) {
    *bytes++ = (unsigned char)value;
  }
  return destination;
}

extern "C" void *memcpy(void *destination, const void *source, size_t count) {
  unsigned char *to = (unsigned char *)destination;
  const unsigned char *from = (const unsigned char *)source;

  while (count-- > 0) {
    *to++ = *from++;
  }
  return destination;
}

// Overlapping ranges are copied from the end that is not overwritten first.
extern "C" void *memmove(void *destination, const void *source, size_t count) {
  unsigned char *to = (unsigned char *)destination;
  const unsigned char *from = (const unsigned char *)source;

  if (to <= from) {
    return memcpy(destination, source, count);
  }
  while (count-- > 0) {
    to[count] = from[count];
  }
  return destination;
}
