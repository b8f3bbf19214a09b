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
  EXPECT_TRUE(list.IsEmpty() == (list.m_end == nullptr) && list.IsEmpty() == (list.m_count == 0));
  const Item* prev = nullptr;
  for (const Item* it = list.m_begin; it != nullptr && values.size() <= list.m_count;
       it = it->m_next) {
    EXPECT_TRUE(it->m_owner == &list && it->m_prev == prev);
    values.push_back(it->value);
    prev = it;
  }
  EXPECT_EQ(prev, list.m_end);
  EXPECT_EQ(values.size(), list.GetCount());
  return values;
}

void ExpectUnlinked(const Item& it) {
  EXPECT_TRUE(it.m_next == nullptr && it.m_prev == nullptr && it.m_owner == nullptr);
}

void Drain(List& list) {
  while (list.RemoveFirst() != nullptr) {
  }
}

TEST(DList, TraversalAndRemovalDuringIt) {
  List list;
  EXPECT_EQ(list.GetFirst(), nullptr);
  EXPECT_EQ(list.GetNext(), nullptr);
  Item items[4] = {Item(0), Item(1), Item(2), Item(3)};
  for (Item& it : items) list.Append(&it);

  std::vector<int> seen;
  for (Item* it = list.GetFirst(); it != nullptr; it = list.GetNext()) seen.push_back(it->value);
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(list.GetNext(), nullptr);  // stays at the end

  // Removing the item under the cursor ends the traversal.
  EXPECT_EQ(list.GetFirst(), &items[0]);
  EXPECT_EQ(list.GetNext(), &items[1]);
  list.Remove(&items[1]);
  EXPECT_EQ(list.GetNext(), nullptr);
  Drain(list);
}

TEST(DList, BulkMovesKeepOrReverseOrder) {
  Item items[4] = {Item(0), Item(1), Item(2), Item(3)};
  List src, kept, reversed;
  for (Item& it : items) src.Append(&it);
  while (Item* it = src.RemoveFirst()) kept.Append(it);
  EXPECT_EQ(Walk(kept), (std::vector<int>{0, 1, 2, 3}));
  while (Item* it = kept.RemoveFirst()) reversed.Prepend(it);
  EXPECT_EQ(Walk(reversed), (std::vector<int>{3, 2, 1, 0}));
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

// Takes the reports so far: their expression texts, in order, and the
// signature (as g++ writes it for this file's Item) each one names.
void ExpectReports(zr_test::AssertRecorder& rec, const std::vector<std::string>& exprs,
                   const std::string& signature) {
  std::vector<zr_test::AssertRecord> r = rec.Take();
  ASSERT_EQ(r.size(), exprs.size());
  for (size_t i = 0; i < r.size(); ++i) {
    EXPECT_EQ(r[i].expr, exprs[i]);
    EXPECT_SIGNATURE(r[i].function, signature + " [with T = {anonymous}::Item]");
    EXPECT_NE(r[i].file.find("zr_dlist.h"), std::string::npos);
    EXPECT_GT(r[i].line, i == 0 ? 0 : r[i - 1].line);
  }
}

// Misuse is reported with the exact expression and signature texts, and
// execution goes on without corrupting either list.
TEST(DList, MisuseIsReportedAndRefused) {
  zr_test::AssertRecorder rec;
  Item a(1), b(2), c(3);
  List list, other;
  for (Item* it : {&a, &b, &c}) list.Append(it);

  list.Append(&b);  // inner item: all three links set
  ExpectReports(rec, {"it->m_next == __null", "it->m_prev == __null", "it->m_owner == __null"},
                "void Zr_DList<T>::Append(T*)");
  other.Prepend(&a);  // first item, on another list
  ExpectReports(rec, {"it->m_next == __null", "it->m_owner == __null"},
                "void Zr_DList<T>::Prepend(T*)");
  other.Prepend(&c);  // last item
  ExpectReports(rec, {"it->m_prev == __null", "it->m_owner == __null"},
                "void Zr_DList<T>::Prepend(T*)");
  Item claimed(5);  // unlinked, but still naming an owner
  claimed.m_owner = &list;
  other.Append(&claimed);
  ExpectReports(rec, {"it->m_owner == __null"}, "void Zr_DList<T>::Append(T*)");
  other.Prepend(&claimed);
  ExpectReports(rec, {"it->m_owner == __null"}, "void Zr_DList<T>::Prepend(T*)");
  other.Remove(&b);
  ExpectReports(rec, {"it->m_owner == this"}, "void Zr_DList<T>::Remove(T*)");
  other.Remove(nullptr);
  ExpectReports(rec, {"it != __null"}, "void Zr_DList<T>::Remove(T*)");
  EXPECT_EQ(Walk(list), (std::vector<int>{1, 2, 3}));  // nothing moved
  EXPECT_TRUE(Walk(other).empty());
  {
    Item d(4);
    List doomed;  // destroyed first, still holding d
    doomed.Append(&d);
  }
  Drain(list);
  ExpectReports(rec, {"m_begin == __null"}, "Zr_DList<T>::~Zr_DList()");
}

TEST(DList, CorruptedLinksTripIntegrityChecks) {
  zr_test::AssertRecorder rec;
  Item a(1), b(2), c(3), stray(9);
  List list;
  for (Item* it : {&a, &b, &c}) list.Append(it);
  a.m_prev = &stray;  // the first item has a predecessor
  EXPECT_EQ(list.RemoveFirst(), &a);
  ExpectReports(rec, {"it->m_prev == __null"}, "T* Zr_DList<T>::RemoveFirst()");
  a.m_prev = nullptr;
  list.Append(&a);
  a.m_next = &stray;  // the last item has a successor
  list.Remove(&a);    // goes the RemoveLast way, whose check reports
  ExpectReports(rec, {"it->m_next == __null"}, "T* Zr_DList<T>::RemoveLast()");
  a.m_next = nullptr;
  EXPECT_EQ(Walk(list), (std::vector<int>{2, 3}));
  Drain(list);
}

}  // namespace
