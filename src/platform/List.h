#pragma once
// Ordered lists with position handles, as the library's lists are walked:
// CObList holds pointers it does not own; CStringList holds texts.
#include <cstddef>
#include <iterator>

#include "platform/Object.h"
#include "platform/String.h"

struct __POSITION;
using POSITION = __POSITION*;

template <typename T>
class CTypedList
{
    struct Node
    {
        Node* pNext = nullptr;
        Node* pPrev = nullptr;
        T data{};
    };

    static Node* N(POSITION p) { return reinterpret_cast<Node*>(p); }
    static POSITION P(Node* n) { return reinterpret_cast<POSITION>(n); }

public:
    CTypedList() = default;
    CTypedList(const CTypedList&) = delete;
    CTypedList& operator=(const CTypedList&) = delete;
    ~CTypedList() { RemoveAll(); }

    int GetCount() const { return m_nCount; }
    int GetSize() const { return m_nCount; }
    bool IsEmpty() const { return m_nCount == 0; }

    T& GetHead() { return m_pHead->data; }
    const T& GetHead() const { return m_pHead->data; }
    T& GetTail() { return m_pTail->data; }
    const T& GetTail() const { return m_pTail->data; }

    POSITION AddHead(const T& v) { return InsertBefore(P(m_pHead), v); }
    POSITION AddTail(const T& v) { return InsertAfter(P(m_pTail), v); }

    T RemoveHead()
    {
        T v = m_pHead->data;
        RemoveAt(P(m_pHead));
        return v;
    }
    T RemoveTail()
    {
        T v = m_pTail->data;
        RemoveAt(P(m_pTail));
        return v;
    }

    POSITION GetHeadPosition() const { return P(m_pHead); }
    POSITION GetTailPosition() const { return P(m_pTail); }
    T& GetNext(POSITION& pos)
    {
        Node* n = N(pos);
        pos = P(n->pNext);
        return n->data;
    }
    const T& GetNext(POSITION& pos) const
    {
        Node* n = N(pos);
        pos = P(n->pNext);
        return n->data;
    }
    T& GetPrev(POSITION& pos)
    {
        Node* n = N(pos);
        pos = P(n->pPrev);
        return n->data;
    }
    T& GetAt(POSITION pos) { return N(pos)->data; }
    const T& GetAt(POSITION pos) const { return N(pos)->data; }
    void SetAt(POSITION pos, const T& v) { N(pos)->data = v; }

    // A null position inserts at the head (before) or the tail (after).
    POSITION InsertBefore(POSITION pos, const T& v)
    {
        Node* at = N(pos);
        Node* n = new Node{at, at ? at->pPrev : nullptr, v};
        if (!at) {
            n->pNext = m_pHead;
            n->pPrev = nullptr;
        }
        Link(n);
        return P(n);
    }
    POSITION InsertAfter(POSITION pos, const T& v)
    {
        Node* at = N(pos);
        Node* n = new Node{at ? at->pNext : nullptr, at, v};
        if (!at) {
            n->pPrev = m_pTail;
            n->pNext = nullptr;
        }
        Link(n);
        return P(n);
    }

    void RemoveAt(POSITION pos)
    {
        Node* n = N(pos);
        if (!n)
            return;
        (n->pPrev ? n->pPrev->pNext : m_pHead) = n->pNext;
        (n->pNext ? n->pNext->pPrev : m_pTail) = n->pPrev;
        delete n;
        --m_nCount;
    }

    void RemoveAll()
    {
        for (Node* n = m_pHead; n;) {
            Node* next = n->pNext;
            delete n;
            n = next;
        }
        m_pHead = m_pTail = nullptr;
        m_nCount = 0;
    }

    POSITION FindIndex(int nIndex) const
    {
        if (nIndex < 0 || nIndex >= m_nCount)
            return nullptr;
        Node* n = m_pHead;
        while (nIndex--)
            n = n->pNext;
        return P(n);
    }

    POSITION Find(const T& v, POSITION startAfter = nullptr) const
    {
        for (Node* n = startAfter ? N(startAfter)->pNext : m_pHead; n; n = n->pNext)
            if (n->data == v)
                return P(n);
        return nullptr;
    }

    template <typename NodeT, typename V>
    class Iter
    {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        using pointer = V*;
        using reference = V&;
        explicit Iter(NodeT* n = nullptr) : m_n(n) {}
        V& operator*() const { return m_n->data; }
        V* operator->() const { return &m_n->data; }
        Iter& operator++()
        {
            m_n = m_n->pNext;
            return *this;
        }
        Iter operator++(int)
        {
            Iter t = *this;
            ++*this;
            return t;
        }
        bool operator==(const Iter& o) const { return m_n == o.m_n; }

    private:
        NodeT* m_n;
    };
    using iterator = Iter<Node, T>;
    using const_iterator = Iter<const Node, const T>;
    iterator begin() { return iterator(m_pHead); }
    iterator end() { return iterator(); }
    const_iterator begin() const { return const_iterator(m_pHead); }
    const_iterator end() const { return const_iterator(); }

private:
    void Link(Node* n)
    {
        (n->pPrev ? n->pPrev->pNext : m_pHead) = n;
        (n->pNext ? n->pNext->pPrev : m_pTail) = n;
        ++m_nCount;
    }

    Node* m_pHead = nullptr;
    Node* m_pTail = nullptr;
    int m_nCount = 0;
};

// Pointers to objects; the list never deletes them (owners do, see DeleteAll).
class CObList : public CObject, public CTypedList<CObject*>
{
    ZF_DECLARE_DYNAMIC(CObList)
public:
    // Deletes every object and empties the list.
    void DeleteAll();
    // Stores each object with its class name; loading re-creates them (owned by the caller).
    void Serialize(CArchive& ar) override;
};

class CStringList : public CObject, public CTypedList<CString>
{
    ZF_DECLARE_DYNAMIC(CStringList)
public:
    void Serialize(CArchive& ar) override;
};
