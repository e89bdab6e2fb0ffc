// Growable pointer arrays: order through growth, lookup by identity,
// removal, and out-of-range or missing arrays.
#include "plat/array.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

int items[100];

int ComparePtr(const void *element, const void *item) {
  auto a = reinterpret_cast<std::uintptr_t>(element), b = reinterpret_cast<std::uintptr_t>(item);
  return a < b ? -1 : a > b ? 1 : 0;
}

TEST(Array, AppendKeepsOrderLocateFindsTheFirstEqualAndRemoveMovesLaterItemsDown) {
  PlatArray *a = array_new();
  EXPECT_EQ(array_count(a), 0);
  EXPECT_EQ(array_elementat(a, 0), nullptr);
  EXPECT_EQ(array_locate(a, &items[0], ComparePtr), -1);
  EXPECT_EQ(array_removeat(a, 0), nullptr);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(array_append(a, &items[i]), i);
  EXPECT_EQ(array_count(a), 100);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(array_elementat(a, i), &items[i]);
  EXPECT_EQ(array_elementat(a, 100), nullptr);
  EXPECT_EQ(array_elementat(a, -1), nullptr);
  EXPECT_EQ(array_locate(a, &items[0], nullptr), -1);
  array_delete(a);
  array_delete(nullptr);
  EXPECT_EQ(array_count(nullptr), 0);
  EXPECT_EQ(array_locate(nullptr, &items[0], ComparePtr), -1);
  // Locate finds the first equal item; remove moves later items down.
  a = array_new();
  for (int i : {1, 2, 1, 3, 4}) array_append(a, &items[i]);
  EXPECT_EQ(array_locate(a, &items[1], ComparePtr), 0);
  EXPECT_EQ(array_locate(a, &items[2], ComparePtr), 1);
  EXPECT_EQ(array_locate(a, &items[5], ComparePtr), -1);
  EXPECT_EQ(array_removeat(a, 1), &items[2]);
  EXPECT_EQ(array_removeat(a, 3), &items[4]);  // the last one
  EXPECT_EQ(array_removeat(a, 3), nullptr);
  EXPECT_EQ(array_removeat(a, -1), nullptr);
  ASSERT_EQ(array_count(a), 3);
  const int left[] = {1, 1, 3};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(array_elementat(a, i), &items[left[i]]);
  array_delete(a);
}

}  // namespace
