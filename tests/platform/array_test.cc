#include "plat/array.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

int _compare_ptr(const void *element, const void *item)
{
    auto a = reinterpret_cast<std::uintptr_t>(element);
    auto b = reinterpret_cast<std::uintptr_t>(item);
    return a < b ? -1 : a > b ? 1 : 0;
}

int items[100];

TEST(Array, NewArrayIsEmpty)
{
    PlatArray *a = array_new();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(array_count(a), 0);
    EXPECT_EQ(array_elementat(a, 0), nullptr);
    EXPECT_EQ(array_locate(a, &items[0], _compare_ptr), -1);
    EXPECT_EQ(array_removeat(a, 0), nullptr);
    array_delete(a);
    array_delete(nullptr);
    EXPECT_EQ(array_count(nullptr), 0);
}

TEST(Array, AppendKeepsOrderThroughGrowth)
{
    PlatArray *a = array_new();
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(array_append(a, &items[i]), i);
    EXPECT_EQ(array_count(a), 100);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(array_elementat(a, i), &items[i]);
    EXPECT_EQ(array_elementat(a, 100), nullptr);
    EXPECT_EQ(array_elementat(a, -1), nullptr);
    array_delete(a);
}

TEST(Array, LocateFindsFirstEqualByIdentity)
{
    PlatArray *a = array_new();
    array_append(a, &items[1]);
    array_append(a, &items[2]);
    array_append(a, &items[1]);
    EXPECT_EQ(array_locate(a, &items[1], _compare_ptr), 0);
    EXPECT_EQ(array_locate(a, &items[2], _compare_ptr), 1);
    EXPECT_EQ(array_locate(a, &items[3], _compare_ptr), -1);
    array_delete(a);
}

TEST(Array, RemoveAtMovesLaterItemsDown)
{
    PlatArray *a = array_new();
    for (int i = 0; i < 5; ++i)
        array_append(a, &items[i]);
    EXPECT_EQ(array_removeat(a, 1), &items[1]);
    EXPECT_EQ(array_count(a), 4);
    EXPECT_EQ(array_elementat(a, 0), &items[0]);
    EXPECT_EQ(array_elementat(a, 1), &items[2]);
    EXPECT_EQ(array_elementat(a, 3), &items[4]);
    EXPECT_EQ(array_removeat(a, 3), &items[4]);
    EXPECT_EQ(array_removeat(a, 3), nullptr);
    EXPECT_EQ(array_count(a), 3);
    array_delete(a);
}

} // namespace
