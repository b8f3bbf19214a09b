// Zr_DList<T>: an intrusive, doubly linked list.
//
// The links live inside the items: an item type T derives (single, public)
// from Zr_DList<T>::Zr_item, which holds the forward link, the backward link
// and the list the item is on. The list never allocates, copies or frees an
// item; it links and unlinks items that its user owns. Every insertion and
// removal is constant time.
//
// Because each item records its list, an item is on at most one list of its
// type at a time. Misuse goes to the assertion handler (<tvo/tvo_assert.h>)
// and execution continues after it:
//   - inserting an item that is still linked anywhere, on this list or
//     another: "it->m_next == __null", "it->m_prev == __null",
//     "it->m_owner == __null";
//   - removing a null item ("it != __null") or an item that is on another
//     list or none ("it->m_owner == this");
//   - destroying a list that still holds items ("m_begin == __null").
// Nothing is repaired after a failed check.
//
// Ownership: the user drains a list before destroying it and unlinks an item
// before deleting it. A list that holds items is never copied or moved (items
// point at it by address), so the list is neither copyable nor movable.
//
// Threads: no locks, no atomics. The list and its items are guarded by their
// user's lock. GetFirst/GetNext write the cursor `m_current`, so a traversal
// through them needs the same exclusive access as an insertion. Readers that
// share a lock walk the list themselves: from `m_begin` along `m_next`.
#ifndef ZR_DLIST_H
#define ZR_DLIST_H

#include <stdint.h>
#include <tvo/revision.h>
#include <tvo/tvo_assert.h>

#include <cstddef>

template <class T>
class Zr_DList {
 public:
  // Base class of every item type T. Links are public so that a user can
  // walk a list with `m_begin` and `m_next` on its own.
  class Zr_item {
   public:
    Zr_item() : m_next(NULL), m_prev(NULL), m_owner(NULL) {}
    // Does not check that the item was unlinked: that is the owner's duty.
    virtual ~Zr_item() {}

    T* m_next;             // next item; null for the last and for an unlinked item
    T* m_prev;             // previous item; null for the first and for an unlinked item
    Zr_DList<T>* m_owner;  // the list the item is on; null when on none
  };

  Zr_DList() : m_begin(NULL), m_end(NULL), m_current(NULL), m_count(0) {}

  // Checks that the list is empty; never unlinks or deletes items.
  ~Zr_DList() { TVO_ASSERT(m_begin == NULL); }

  Zr_DList(const Zr_DList&) = delete;
  Zr_DList& operator=(const Zr_DList&) = delete;

  // True when the list holds no item.
  bool IsEmpty() const { return m_begin == NULL; }

  // The number of items on the list.
  uint64_t GetCount() const { return m_count; }

  // Inserts the unlinked item `it` at the front. A linked item is reported
  // (all three checks) and left where it is.
  void Prepend(T* it) {
    bool next_ok = TVO_CHECK(it->m_next == NULL);
    bool prev_ok = TVO_CHECK(it->m_prev == NULL);
    bool owner_ok = TVO_CHECK(it->m_owner == NULL);
    if (!(next_ok && prev_ok && owner_ok)) return;
    it->m_prev = NULL;
    it->m_owner = this;
    it->m_next = m_begin;
    if (m_begin != NULL) m_begin->m_prev = it;
    m_begin = it;
    if (m_end == NULL) m_end = it;
    m_count++;
  }

  // Inserts the unlinked item `it` at the back. A linked item is reported
  // (all three checks) and left where it is.
  void Append(T* it) {
    bool next_ok = TVO_CHECK(it->m_next == NULL);
    bool prev_ok = TVO_CHECK(it->m_prev == NULL);
    bool owner_ok = TVO_CHECK(it->m_owner == NULL);
    if (!(next_ok && prev_ok && owner_ok)) return;
    it->m_next = NULL;
    it->m_owner = this;
    it->m_prev = m_end;
    if (m_end != NULL) m_end->m_next = it;
    m_end = it;
    if (m_begin == NULL) m_begin = it;
    m_count++;
  }

  // Unlinks and returns the first item; null (and no change) when empty.
  T* RemoveFirst() {
    T* it = m_begin;
    if (it == NULL) return NULL;
    m_begin = it->m_next;
    if (m_begin != NULL)
      m_begin->m_prev = NULL;
    else
      m_end = NULL;
    TVO_ASSERT(it->m_prev == NULL);
    it->m_next = NULL;
    it->m_owner = NULL;
    m_count--;
    return it;
  }

  // Unlinks and returns the last item; null (and no change) when empty.
  T* RemoveLast() {
    T* it = m_end;
    if (it == NULL) return NULL;
    m_end = it->m_prev;
    if (m_end != NULL)
      m_end->m_next = NULL;
    else
      m_begin = NULL;
    TVO_ASSERT(it->m_next == NULL);
    it->m_prev = NULL;
    it->m_owner = NULL;
    m_count--;
    return it;
  }

  // Unlinks `it`, which must be on this list; a null item or one on another
  // list is reported and left alone. Does not touch the cursor: an
  // item removed during a traversal ends it (its m_next is now null).
  void Remove(T* it) {
    // Refusing after the report keeps a returning handler from turning
    // misuse into a crash or into corruption of another list.
    if (!TVO_CHECK(it != NULL)) return;
    if (!TVO_CHECK(it->m_owner == this)) return;
    if (it == m_begin) {
      RemoveFirst();
      return;
    }
    if (it == m_end) {
      RemoveLast();
      return;
    }
    it->m_prev->m_next = it->m_next;
    it->m_next->m_prev = it->m_prev;
    it->m_next = NULL;
    it->m_prev = NULL;
    it->m_owner = NULL;
    m_count--;
  }

  // Starts a traversal: sets the cursor to the first item and returns it.
  T* GetFirst() {
    m_current = m_begin;
    return m_current;
  }

  // Advances the cursor and returns the new item; null at the end (and on
  // every later call).
  T* GetNext() {
    if (m_current == NULL) return NULL;
    m_current = m_current->m_next;
    return m_current;
  }

  T* m_begin;        // first item; null when empty
  T* m_end;          // last item; null when empty
  T* m_current;      // traversal cursor
  uint64_t m_count;  // number of items
};

#endif  // ZR_DLIST_H
