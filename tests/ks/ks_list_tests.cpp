#include "ks_tlist.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Failure {
    std::string expression;
    std::string source;
};
std::vector<Failure> g_failures;

void RecordFailure(const char* expression, const char* source, unsigned)
{
    g_failures.push_back({expression, source});
}

class KsListTest : public testing::Test {
protected:
    void SetUp() override
    {
        g_failures.clear();
        m_previous = SetKsAssertReporter(RecordFailure);
    }
    void TearDown() override { SetKsAssertReporter(m_previous); }

    static std::vector<int*> Contents(const KsList<int>& list)
    {
        std::vector<int*> items;
        for (auto* item = list.m_pHead; item; item = item->pNext) {
            items.push_back(item->pData);
        }
        return items;
    }

    // Walks the list backwards from the tail and checks the links agree.
    static void ExpectConsistent(const KsList<int>& list)
    {
        std::vector<int*> backwards;
        for (auto* item = list.m_pTail; item; item = item->pPrev) {
            backwards.insert(backwards.begin(), item->pData);
        }
        EXPECT_EQ(backwards, Contents(list));
        EXPECT_EQ(static_cast<long>(backwards.size()), list.GetCount());
        EXPECT_EQ(list.m_pHead == nullptr, list.m_pTail == nullptr);
        if (list.m_pHead) {
            EXPECT_EQ(list.m_pHead->pPrev, nullptr);
            EXPECT_EQ(list.m_pTail->pNext, nullptr);
        }
    }

    static void Empty(KsList<int>& list)
    {
        while (list.m_pHead) {
            list.RemoveHead();
        }
    }

    int a = 1, b = 2, c = 3;

private:
    KsAssertReporter m_previous = nullptr;
};

}  // namespace

TEST_F(KsListTest, AddTailKeepsInsertionOrder)
{
    KsList<int> list;
    EXPECT_NE(list.AddTail(&a), nullptr);
    EXPECT_NE(list.AddTail(&b), nullptr);
    EXPECT_NE(list.AddTail(&c), nullptr);
    EXPECT_EQ(Contents(list), (std::vector<int*>{&a, &b, &c}));
    ExpectConsistent(list);
    Empty(list);
}

TEST_F(KsListTest, RemoveHeadReturnsItemsInOrderAndEmptiesTheList)
{
    KsList<int> list;
    list.AddTail(&a);
    list.AddTail(&b);
    EXPECT_EQ(list.RemoveHead(), &a);
    ExpectConsistent(list);
    EXPECT_EQ(list.RemoveHead(), &b);
    EXPECT_EQ(list.m_pHead, nullptr);
    EXPECT_EQ(list.m_pTail, nullptr);
    EXPECT_EQ(list.GetCount(), 0);
}

TEST_F(KsListTest, RemoveAtOfTheOnlyItemEmptiesTheList)
{
    KsList<int> list;
    auto position = list.AddTail(&a);
    list.RemoveAt(position);
    EXPECT_EQ(list.m_pHead, nullptr);
    EXPECT_EQ(list.m_pTail, nullptr);
    EXPECT_EQ(list.GetCount(), 0);
}

TEST_F(KsListTest, RemoveAtOfTheTailMakesThePredecessorTheTail)
{
    KsList<int> list;
    list.AddTail(&a);
    list.AddTail(&b);
    auto tail = list.AddTail(&c);
    list.RemoveAt(tail);
    ASSERT_NE(list.m_pTail, nullptr);
    EXPECT_EQ(list.m_pTail->pData, &b);
    EXPECT_EQ(list.m_pTail->pNext, nullptr);
    ExpectConsistent(list);
    Empty(list);
}

TEST_F(KsListTest, RemoveAtOfHeadAndMiddleRelinksNeighbours)
{
    KsList<int> list;
    auto head = list.AddTail(&a);
    auto middle = list.AddTail(&b);
    list.AddTail(&c);
    list.RemoveAt(middle);
    EXPECT_EQ(Contents(list), (std::vector<int*>{&a, &c}));
    ExpectConsistent(list);
    list.RemoveAt(head);
    EXPECT_EQ(Contents(list), (std::vector<int*>{&c}));
    ExpectConsistent(list);
    Empty(list);
    EXPECT_TRUE(g_failures.empty());
}

TEST_F(KsListTest, FindReturnsThePositionNearestTheHead)
{
    KsList<int> list;
    list.AddTail(&a);
    auto first = list.AddTail(&b);
    list.AddTail(&c);
    list.AddTail(&b);
    EXPECT_EQ(list.Find(&b), first);
    EXPECT_EQ(list.Find(&a), list.m_pHead);
    int other = 4;
    EXPECT_EQ(list.Find(&other), nullptr);
    Empty(list);
}

TEST_F(KsListTest, AnObjectMayStandInSeveralLists)
{
    KsList<int> all;
    KsList<int> sinks;
    all.AddTail(&a);
    sinks.AddTail(&a);
    sinks.RemoveAt(sinks.Find(&a));
    EXPECT_EQ(all.RemoveHead(), &a);
    EXPECT_EQ(a, 1) << "the list never touches the object";
}

TEST_F(KsListTest, DestroyingAFilledListReportsEachInvariantInOrder)
{
    {
        KsList<int> list;
        list.AddTail(&a);
        list.AddTail(&b);
        // The owner forgot to empty it. Detach the items so nothing leaks
        // once the destructor has reported.
        auto* first = list.m_pHead;
        delete first->pNext;
        delete first;
        g_failures.clear();
    }
    ASSERT_EQ(g_failures.size(), 3u);
    EXPECT_EQ(g_failures[0].expression, "NULL == m_pHead");
    EXPECT_EQ(g_failures[1].expression, "NULL == m_pTail");
    EXPECT_EQ(g_failures[2].expression, "0 == m_lCount");
    for (const auto& failure : g_failures) {
        EXPECT_EQ(failure.source, "ks_tlist");
    }
}

TEST_F(KsListTest, AnEmptiedListDestroysWithoutReports)
{
    {
        KsList<int> list;
        for (int i = 0; i < 1000; ++i) {
            list.AddTail(i % 2 ? &a : &b);
        }
        EXPECT_EQ(list.GetCount(), 1000);
        Empty(list);
    }
    EXPECT_TRUE(g_failures.empty());
}
