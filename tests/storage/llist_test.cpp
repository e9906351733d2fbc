// Linked list of heap items: order after appends, inserts and deletes at
// either end and in the middle, clearing, and payloads that keep their
// contents while the list around them changes.
#include "storage/llist.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

std::vector<int> forward(const Llist& l) {
  std::vector<int> out;
  for (void* p = Llist_First(&l); p != nullptr; p = Llist_Next(p)) out.push_back(*static_cast<int*>(p));
  return out;
}

std::vector<int> backward(const Llist& l) {
  std::vector<int> out;
  for (void* p = Llist_Last(&l); p != nullptr; p = Llist_Prev(p)) out.push_back(*static_cast<int*>(p));
  return out;
}

int* add(Llist* l, int v) {
  auto* p = static_cast<int*>(Llist_AddItem(l, sizeof(int)));
  *p = v;
  return p;
}

TEST(Llist, AppendsInsertsAndDeletesKeepBothDirections) {
  Llist l;
  Llist_Init(&l);
  int* one = add(&l, 1);
  int* three = add(&l, 3);
  auto* two = static_cast<int*>(Llist_InsertItem(three, sizeof(int)));
  *two = 2;
  auto* zero = static_cast<int*>(Llist_InsertItem(one, sizeof(int)));  // before the head
  *zero = 0;
  EXPECT_EQ(forward(l), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(backward(l), (std::vector<int>{3, 2, 1, 0}));
  EXPECT_EQ(l.count, 4u);
  EXPECT_EQ(Llist_First(&l), zero);

  Llist_DeleteItem(three);  // the tail: its predecessor becomes the tail
  EXPECT_EQ(Llist_Last(&l), two);
  Llist_DeleteItem(zero);  // the head
  Llist_DeleteItem(one);   // then the new head, leaving one item
  EXPECT_EQ(forward(l), (std::vector<int>{2}));
  EXPECT_EQ(backward(l), (std::vector<int>{2}));
  EXPECT_EQ(l.count, 1u);
  Llist_Clear(&l);
  EXPECT_EQ(l.count, 0u);
  EXPECT_EQ(Llist_First(&l), nullptr);
  EXPECT_EQ(Llist_Last(&l), nullptr);
}

TEST(Llist, ClearingAnEmptyListLeavesItEmpty) {
  Llist l;
  Llist_Init(&l);
  Llist_Clear(&l);
  EXPECT_EQ(l.head, nullptr);
  EXPECT_EQ(l.tail, nullptr);
  EXPECT_EQ(l.count, 0u);
  add(&l, 7);
  EXPECT_EQ(forward(l), (std::vector<int>{7}));
  Llist_Clear(&l);
}

// Large payloads (the node layer's 516-byte cluster records) are aligned
// and keep their bytes while other items come and go.
TEST(Llist, PayloadsAreAlignedAndKeepTheirBytes) {
  Llist l;
  Llist_Init(&l);
  std::vector<uint8_t*> items;
  for (int i = 0; i < 50; ++i) {
    auto* p = static_cast<uint8_t*>(Llist_AddItem(&l, 516));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignof(std::max_align_t), 0u);
    memset(p, i, 516);
    items.push_back(p);
  }
  for (int i = 0; i < 50; i += 2) Llist_DeleteItem(items[static_cast<size_t>(i)]);
  EXPECT_EQ(l.count, 25u);
  int expect = 1;
  for (void* p = Llist_First(&l); p != nullptr; p = Llist_Next(p), expect += 2) {
    const auto* b = static_cast<const uint8_t*>(p);
    EXPECT_EQ(b[0], expect);
    EXPECT_EQ(b[515], expect);
  }
  Llist_Clear(&l);
}

}  // namespace
