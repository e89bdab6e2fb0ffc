// Memory contexts and the string-array helper.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "plat/memcx.h"

namespace {

TEST(MemCxTest, AllocatesZeroedResizesAndFrees) {
  MemCx *cx = DbllMemCx_New(nullptr, 1);
  ASSERT_NE(cx, nullptr);
  auto *p = static_cast<unsigned char *>(cx->Realloc(cx, nullptr, 64));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 64; i++) ASSERT_EQ(p[i], 0);
  std::memset(p, 7, 64);
  p = static_cast<unsigned char *>(cx->Realloc(cx, p, 4096));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[63], 7);
  EXPECT_EQ(p[64], 0) << "grown part is zeroed";
  EXPECT_EQ(cx->Realloc(cx, p, 0), nullptr);
  EXPECT_EQ(cx->Realloc(cx, nullptr, 0), nullptr);
  // Blocks never freed one by one go with the context.
  for (int i = 0; i < 100; i++) cx->Realloc(cx, nullptr, 100 + i);
  cx->Destroy(cx);
}

TEST(MemCxTest, ChildrenGoWithTheirParentOrAlone) {
  MemCx *root = DbllMemCx_New(nullptr, 1);
  MemCx *a = DbllMemCx_New(root, 1);
  MemCx *b = DbllMemCx_New(root, 1);
  MemCx *grandchild = DbllMemCx_New(a, 1);
  ASSERT_TRUE(a && b && grandchild);
  a->Realloc(a, nullptr, 10);
  grandchild->Realloc(grandchild, nullptr, 20);
  b->Realloc(b, nullptr, 30);
  b->Destroy(b);  // one child alone
  root->Realloc(root, nullptr, 40);
  root->Destroy(root);  // the rest at once
}

TEST(MemCxTest, ConcurrentChildrenAndAllocations) {
  MemCx *root = DbllMemCx_New(nullptr, 1);
  std::vector<std::thread> th;
  for (int t = 0; t < 4; t++)
    th.emplace_back([root] {
      for (int i = 0; i < 500; i++) {
        MemCx *c = DbllMemCx_New(root, 1);
        void *p = c->Realloc(c, nullptr, 32);
        root->Realloc(root, root->Realloc(root, nullptr, 16), 0);
        if (i % 2) c->Realloc(c, p, 0);
        c->Destroy(c);
      }
    });
  for (auto &x : th) x.join();
  root->Destroy(root);
}

std::vector<std::string> Strings(char **a) {
  std::vector<std::string> v;
  for (; a && *a; a++) v.emplace_back(*a);
  return v;
}

TEST(MemCxArrayTest, SplitsAtSeparatorAndAppends) {
  MemCx *cx = DbllMemCx_New(nullptr, 1);
  char **a = MemCx_PszArrayAppendStr(cx, nullptr, "Server-Cert", "$");
  EXPECT_EQ(Strings(a), (std::vector<std::string>{"Server-Cert"}));
  a = MemCx_PszArrayAppendStr(cx, a, "one$two$three", "$");
  EXPECT_EQ(Strings(a), (std::vector<std::string>{"Server-Cert", "one", "two", "three"}));
  // Empty pieces would only be empty names: they are skipped.
  a = MemCx_PszArrayAppendStr(cx, a, "$four$$", "$");
  EXPECT_EQ(Strings(a).back(), "four");
  EXPECT_EQ(Strings(a).size(), 5u);
  char **e = MemCx_PszArrayAppendStr(cx, nullptr, "", "$");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e[0], nullptr);
  cx->Destroy(cx);
}

TEST(MemCxArrayTest, WithoutContextUsesTheHeap) {
  char **a = MemCx_PszArrayAppendStr(nullptr, nullptr, "a$bc", "$");
  ASSERT_EQ(Strings(a), (std::vector<std::string>{"a", "bc"}));
  for (char **p = a; *p; p++) free(*p);
  free(a);
}

}  // namespace
