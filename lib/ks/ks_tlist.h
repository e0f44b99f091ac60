#pragma once

#include "ks_assert.h"

#include <cstddef>
#include <new>

// A doubly linked list of pointers to objects it does not own. The owner of
// the objects deletes them while it empties the list; the destructor frees no
// item and checks that the list is empty.
template <typename T>
struct KsListItem {
    KsListItem* pNext;
    KsListItem* pPrev;
    T* pData;
};

template <typename T>
class KsList {
public:
    using Item = KsListItem<T>;
    using Position = Item*;

    KsList() = default;
    KsList(const KsList&) = delete;
    KsList& operator=(const KsList&) = delete;

    ~KsList()
    {
        KS_ASSERT(NULL == m_pHead, "ks_tlist");
        KS_ASSERT(NULL == m_pTail, "ks_tlist");
        KS_ASSERT(0 == m_lCount, "ks_tlist");
    }

    // Position of the new tail item, or null (list unchanged) when the item
    // cannot be allocated.
    Position AddTail(T* pData)
    {
        Item* pNewItem = new (std::nothrow) Item{nullptr, m_pTail, pData};
        if (!pNewItem) {
            return nullptr;
        }
        if (m_pTail) {
            m_pTail->pNext = pNewItem;
        } else {
            m_pHead = pNewItem;
        }
        ++m_lCount;
        m_pTail = pNewItem;
        return pNewItem;
    }

    // The list must not be empty: callers test m_pHead first.
    T* RemoveHead()
    {
        Item* pOldItem = m_pHead;
        m_pHead = pOldItem->pNext;
        if (m_pHead) {
            m_pHead->pPrev = nullptr;
        } else {
            m_pTail = nullptr;
        }
        T* pData = pOldItem->pData;
        delete pOldItem;
        --m_lCount;
        KS_ASSERT(m_lCount >= 0, "ks_tlist");
        return pData;
    }

    void RemoveAt(Position pOldItem)
    {
        if (pOldItem != m_pHead) {
            KS_ASSERT(pOldItem->pPrev, "ks_tlist");
            pOldItem->pPrev->pNext = pOldItem->pNext;
        } else {
            m_pHead = pOldItem->pNext;
        }
        if (pOldItem == m_pTail) {
            m_pTail = pOldItem->pPrev;
        } else {
            KS_ASSERT(pOldItem->pNext, "ks_tlist");
            pOldItem->pNext->pPrev = pOldItem->pPrev;
        }
        delete pOldItem;
        --m_lCount;
        KS_ASSERT(m_lCount >= 0, "ks_tlist");
    }

    // The first position from the head whose data is pData, or null.
    Position Find(const T* pData) const
    {
        for (Item* pItem = m_pHead; pItem; pItem = pItem->pNext) {
            if (pItem->pData == pData) {
                return pItem;
            }
        }
        return nullptr;
    }

    long GetCount() const { return m_lCount; }

    Item* m_pHead = nullptr;
    Item* m_pTail = nullptr;
    long m_lCount = 0;
};
