#include "zr_dlist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <random>
#include <vector>

#include "test_support.h"

namespace {

struct Item : Zr_DList<Item>::Zr_item {
  explicit Item(int v = 0) : value(v) {}
  int value;
};
using List = Zr_DList<Item>;

// Checks every list invariant and returns the values front to back.
std::vector<int> Walk(const List& list) {
  std::vector<int> values;
  EXPECT_EQ(list.m_begin == nullptr, list.m_end == nullptr);
  EXPECT_EQ(list.m_begin == nullptr, list.m_count == 0);
  EXPECT_EQ(list.IsEmpty(), list.m_begin == nullptr);
  const Item* prev = nullptr;
  for (const Item* it = list.m_begin; it != nullptr; it = it->m_next) {
    EXPECT_EQ(it->m_owner, &list);
    EXPECT_EQ(it->m_prev, prev);
    values.push_back(it->value);
    prev = it;
    if (values.size() > list.m_count + 1) break;  // a cycle: stop
  }
  EXPECT_EQ(prev, list.m_end);
  EXPECT_EQ(values.size(), list.GetCount());
  return values;
}

void ExpectUnlinked(const Item& it) {
  EXPECT_EQ(it.m_next, nullptr);
  EXPECT_EQ(it.m_prev, nullptr);
  EXPECT_EQ(it.m_owner, nullptr);
}

void Drain(List& list) {
  while (list.RemoveFirst() != nullptr) {
  }
}

TEST(DList, EmptyListOperationsChangeNothing) {
  List list;
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(list.GetCount(), 0u);
  EXPECT_EQ(list.RemoveFirst(), nullptr);
  EXPECT_EQ(list.RemoveLast(), nullptr);
  EXPECT_EQ(list.GetFirst(), nullptr);
  EXPECT_EQ(list.GetNext(), nullptr);
  Walk(list);
}

TEST(DList, TraversalAndRemovalDuringIt) {
  Item items[4] = {Item(0), Item(1), Item(2), Item(3)};
  List list;
  for (Item& it : items) list.Append(&it);

  std::vector<int> seen;
  for (Item* it = list.GetFirst(); it != nullptr; it = list.GetNext()) seen.push_back(it->value);
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(list.m_current, nullptr);
  EXPECT_EQ(list.GetNext(), nullptr);  // stays at the end

  // Removing the item under the cursor ends the traversal.
  EXPECT_EQ(list.GetFirst(), &items[0]);
  EXPECT_EQ(list.GetNext(), &items[1]);
  list.Remove(&items[1]);
  EXPECT_EQ(list.GetNext(), nullptr);

  // The usual pattern: restart with GetFirst after a removal.
  for (Item* it = list.GetFirst(); it != nullptr;) {
    if (it->value % 2 == 0) {
      list.Remove(it);
      it = list.GetFirst();
    } else {
      it = list.GetNext();
    }
  }
  EXPECT_EQ(Walk(list), (std::vector<int>{3}));
  Drain(list);
}

TEST(DList, BulkMovesKeepOrReverseOrder) {
  std::vector<Item> items;
  for (int i = 0; i < 6; ++i) items.emplace_back(i);
  List src, kept, reversed;
  for (Item& it : items) src.Append(&it);
  while (Item* it = src.RemoveFirst()) kept.Append(it);
  EXPECT_EQ(Walk(kept), (std::vector<int>{0, 1, 2, 3, 4, 5}));
  while (Item* it = kept.RemoveFirst()) reversed.Prepend(it);
  EXPECT_EQ(Walk(reversed), (std::vector<int>{5, 4, 3, 2, 1, 0}));
  EXPECT_TRUE(src.IsEmpty());
  EXPECT_TRUE(kept.IsEmpty());
  Drain(reversed);
}

// Random operations on two lists against std::deque models, checking every
// invariant after each step; items move freely between the lists.
TEST(DList, MatchesModelOnRandomOperations) {
  std::mt19937 rng(12345);
  std::vector<std::unique_ptr<Item>> items;
  for (int i = 0; i < 32; ++i) items.push_back(std::make_unique<Item>(i));
  List lists[2];
  std::deque<int> model[2];
  for (int step = 0; step < 20000; ++step) {
    int l = rng() % 2;
    List& list = lists[l];
    std::deque<int>& m = model[l];
    Item* it = items[rng() % items.size()].get();
    Item* removed = nullptr;
    switch (rng() % 5) {
      case 0:
        if (it->m_owner == nullptr) list.Append(it), m.push_back(it->value);
        break;
      case 1:
        if (it->m_owner == nullptr) list.Prepend(it), m.push_front(it->value);
        break;
      case 2:
        if (it->m_owner == &list) {
          list.Remove(it);
          m.erase(std::find(m.begin(), m.end(), it->value));
          removed = it;
        }
        break;
      case 3:
        removed = list.RemoveFirst();
        ASSERT_EQ(removed == nullptr, m.empty());
        if (removed) {
          EXPECT_EQ(removed->value, m.front());
          m.pop_front();
        }
        break;
      case 4:
        removed = list.RemoveLast();
        ASSERT_EQ(removed == nullptr, m.empty());
        if (removed) {
          EXPECT_EQ(removed->value, m.back());
          m.pop_back();
        }
        break;
    }
    if (removed) ExpectUnlinked(*removed);
    ASSERT_EQ(Walk(list), std::vector<int>(m.begin(), m.end())) << "step " << step;
  }
  Drain(lists[0]);
  Drain(lists[1]);
}

// Misuse is reported with the exact expression and signature texts, and
// execution goes on without corrupting either list.
TEST(DList, MisuseIsReportedAndRefused) {
  zr_test::AssertRecorder rec;
  Item a(1), b(2), c(3);
  List list, other;
  list.Append(&a);
  list.Append(&b);
  list.Append(&c);

  list.Append(&b);  // inner item: all three links set
  auto r = rec.Take();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].expr, "it->m_next == __null");
  EXPECT_EQ(r[1].expr, "it->m_prev == __null");
  EXPECT_EQ(r[2].expr, "it->m_owner == __null");
  EXPECT_SIGNATURE(r[0].function, "void Zr_DList<T>::Append(T*) [with T = {anonymous}::Item]");
  EXPECT_NE(r[0].file.find("zr_dlist.h"), std::string::npos);
  EXPECT_GT(r[0].line, 0);
  EXPECT_LT(r[0].line, r[1].line);

  other.Prepend(&a);  // first item on another list: only m_next and m_owner
  r = rec.Take();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].expr, "it->m_next == __null");
  EXPECT_EQ(r[1].expr, "it->m_owner == __null");
  EXPECT_SIGNATURE(r[1].function, "void Zr_DList<T>::Prepend(T*) [with T = {anonymous}::Item]");

  list.Prepend(&a);  // already on this very list
  EXPECT_EQ(rec.Take().size(), 2u);

  other.Remove(&b);
  r = rec.Take();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].expr, "it->m_owner == this");
  EXPECT_SIGNATURE(r[0].function, "void Zr_DList<T>::Remove(T*) [with T = {anonymous}::Item]");

  other.Remove(nullptr);
  r = rec.Take();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].expr, "it != __null");

  // Nothing moved.
  EXPECT_EQ(Walk(list), (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(Walk(other).empty());

  {
    List doomed;
    Item d(4);
    doomed.Append(&d);
    // Destroyed while holding an item: reported, the item is left alone.
  }
  r = rec.Take();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].expr, "m_begin == __null");
  EXPECT_SIGNATURE(r[0].function, "Zr_DList<T>::~Zr_DList() [with T = {anonymous}::Item]");
  Drain(list);
  EXPECT_EQ(rec.Count(), 0u);
}

TEST(DList, CorruptedLinksTripIntegrityChecks) {
  zr_test::AssertRecorder rec;
  Item a(1), b(2), c(3), stray(9);
  List list;
  list.Append(&a);
  list.Append(&b);
  list.Append(&c);
  a.m_prev = &stray;  // corrupt: the first item has a predecessor
  EXPECT_EQ(list.RemoveFirst(), &a);
  auto r = rec.Take();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].expr, "it->m_prev == __null");
  EXPECT_SIGNATURE(r[0].function, "T* Zr_DList<T>::RemoveFirst() [with T = {anonymous}::Item]");
  a.m_prev = nullptr;

  list.Append(&a);
  a.m_next = &stray;  // corrupt: the last item has a successor
  list.Remove(&a);    // goes the RemoveLast way; the check names RemoveLast
  r = rec.Take();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].expr, "it->m_next == __null");
  EXPECT_SIGNATURE(r[0].function, "T* Zr_DList<T>::RemoveLast() [with T = {anonymous}::Item]");
  a.m_next = nullptr;
  EXPECT_EQ(Walk(list), (std::vector<int>{2, 3}));
  Drain(list);
}

}  // namespace
