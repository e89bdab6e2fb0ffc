// Growable pointer arrays.  Used at start-up and shut-down (log channel
// lists), so simplicity beats cleverness: doubling growth, linear search.
#include "plat/array.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

struct PlatArray {
  void **items;
  int count;
  int capacity;
};

namespace {

void *_array_alloc(void *old, size_t size) {
  void *p = std::realloc(old, size);
  if (p == nullptr) {
    // Callers rely on these calls never failing; dying loudly is the
    // only honest answer to an exhausted heap here.
    std::fprintf(stderr, "array: out of memory (%zu bytes)\n", size);
    std::abort();
  }
  return p;
}

}  // namespace

PlatArray *array_new(void) {
  auto *a = static_cast<PlatArray *>(_array_alloc(nullptr, sizeof(PlatArray)));
  a->items = nullptr;
  a->count = 0;
  a->capacity = 0;
  return a;
}

void array_delete(PlatArray *array) {
  if (array == nullptr) return;
  std::free(array->items);
  std::free(array);
}

int array_append(PlatArray *array, void *item) {
  if (array->count == array->capacity) {
    int cap = array->capacity ? array->capacity * 2 : 8;
    array->items = static_cast<void **>(_array_alloc(array->items, sizeof(void *) * (size_t)cap));
    array->capacity = cap;
  }
  array->items[array->count] = item;
  return array->count++;
}

int array_count(const PlatArray *array) { return array ? array->count : 0; }

void *array_elementat(const PlatArray *array, int index) {
  if (array == nullptr || index < 0 || index >= array->count) return nullptr;
  return array->items[index];
}

int array_locate(const PlatArray *array, const void *item, PlatArrayCompare compare) {
  if (array == nullptr || compare == nullptr) return -1;
  for (int i = 0; i < array->count; ++i)
    if (compare(array->items[i], item) == 0) return i;
  return -1;
}

void *array_removeat(PlatArray *array, int index) {
  if (array == nullptr || index < 0 || index >= array->count) return nullptr;
  void *item = array->items[index];
  std::memmove(&array->items[index], &array->items[index + 1],
               sizeof(void *) * (size_t)(array->count - index - 1));
  --array->count;
  return item;
}
