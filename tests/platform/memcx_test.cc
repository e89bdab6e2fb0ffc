// Memory contexts and the string-array helper.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "plat/memcx.h"

namespace {

std::vector<std::string> Strings(char **a) {
  std::vector<std::string> v;
  for (; a && *a; a++) v.emplace_back(*a);
  return v;
}

TEST(MemCxTest, AllocatesZeroedResizesChildrenGoWithTheirParentOrAloneAlsoConcurrentlyAndArraysSplitAndAppend) {
  MemCx *cx = DbllMemCx_New(nullptr, 1);
  auto *p = static_cast<char *>(cx->Realloc(cx, nullptr, 64));
  EXPECT_EQ(std::string(p, 64), std::string(64, '\0'));
  std::fill(p, p + 64, 7);
  p = static_cast<char *>(cx->Realloc(cx, p, 4096));
  EXPECT_EQ(std::string(p + 60, 8), std::string(4, 7) + std::string(4, '\0')) << "kept, and the grown part zeroed";
  EXPECT_EQ(cx->Realloc(cx, p, 0), nullptr);
  EXPECT_EQ(cx->Realloc(cx, nullptr, 0), nullptr);
  for (int i = 0; i < 100; i++) cx->Realloc(cx, nullptr, 100 + i);  // blocks never freed one by one go with the context
  // Children go with their parent or alone, also concurrently.
  MemCx *root = cx;
  MemCx *a = DbllMemCx_New(root, 1), *b = DbllMemCx_New(root, 1), *grandchild = DbllMemCx_New(a, 1);
  a->Realloc(a, nullptr, 10);
  grandchild->Realloc(grandchild, nullptr, 20);
  b->Realloc(b, nullptr, 30);
  a->Destroy(a);  // one child alone, with its own; the rest with the root (the sanitizer build sees leaks)
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
  // The string-array helper splits at the separator, skipping empty
  // pieces, and appends.
  cx = DbllMemCx_New(nullptr, 1);
  char **list = MemCx_PszArrayAppendStr(cx, nullptr, "Server-Cert", "$");
  EXPECT_EQ(Strings(list), (std::vector<std::string>{"Server-Cert"}));
  list = MemCx_PszArrayAppendStr(cx, list, "one$two$$three$", "$");
  list = MemCx_PszArrayAppendStr(cx, list, "$$", "$");
  EXPECT_EQ(Strings(list), (std::vector<std::string>{"Server-Cert", "one", "two", "three"}));
  char **e = MemCx_PszArrayAppendStr(cx, nullptr, "", "$");
  EXPECT_EQ(e[0], nullptr);
  cx->Destroy(cx);
  list = MemCx_PszArrayAppendStr(nullptr, nullptr, "a$bc", "$");  // without a context: the heap
  ASSERT_EQ(Strings(list), (std::vector<std::string>{"a", "bc"}));
  for (char **p = list; *p; p++) free(*p);
  free(list);
}

}  // namespace
