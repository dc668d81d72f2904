#pragma once
// An indexed sequence with constant-time access, and inserts and erases
// anywhere in about kChunk / 2 + n / kChunk moves: the entries live in rings
// of kChunk slots, every ring full but the last, so an insert moves entries
// only inside its own ring (towards whichever end is nearer) and passes one
// entry on to each ring after it. A plain array moves every later entry,
// which made loading records in descending address order quadratic.
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

template <typename T, unsigned kShift = 9>
class CTieredArray
{
public:
    static constexpr std::size_t kChunk = std::size_t(1) << kShift;

    std::size_t size() const { return m_nSize; }
    bool empty() const { return m_nSize == 0; }
    // Slots allocated; 0 after Release() of an empty array.
    std::size_t capacity() const { return m_Rings.size() * kChunk; }

    const T& operator[](std::size_t nIndex) const { return Slot(nIndex); }
    T& operator[](std::size_t nIndex) { return Slot(nIndex); }

    void Insert(std::size_t nIndex, const T& value)
    {
        if (m_nSize == capacity())
            m_Rings.push_back(SRing{std::make_unique<T[]>(kChunk), 0});
        const std::size_t nLast = m_nSize >> kShift; // the ring that takes one more entry
        std::size_t nRing = nIndex >> kShift;
        if (nRing == nLast) {
            InsertInRing(m_Rings[nRing], nIndex & kMask, m_nSize & kMask, value);
        } else {
            // A full ring: the new entry goes in, its last entry moves on.
            T carry = m_Rings[nRing].At(kMask);
            InsertInRing(m_Rings[nRing], nIndex & kMask, kMask, value);
            for (++nRing; nRing < nLast; ++nRing) {
                SRing& ring = m_Rings[nRing];
                ring.nHead = (ring.nHead - 1) & kMask;
                std::swap(ring.pSlots[ring.nHead], carry);
            }
            SRing& last = m_Rings[nLast];
            last.nHead = (last.nHead - 1) & kMask;
            last.pSlots[last.nHead] = carry;
        }
        ++m_nSize;
    }

    void Erase(std::size_t nIndex)
    {
        const std::size_t nLast = (m_nSize - 1) >> kShift;
        std::size_t nRing = nIndex >> kShift;
        if (nRing == nLast) {
            EraseInRing(m_Rings[nRing], nIndex & kMask, (m_nSize - 1) & kMask);
        } else {
            EraseInRing(m_Rings[nRing], nIndex & kMask, kMask);
            for (; nRing < nLast; ++nRing) {
                // The next ring's first entry becomes this ring's last.
                SRing& next = m_Rings[nRing + 1];
                m_Rings[nRing].At(kMask) = std::move(next.pSlots[next.nHead]);
                next.pSlots[next.nHead] = T();
                next.nHead = (next.nHead + 1) & kMask;
            }
        }
        --m_nSize;
    }

    // Entries [nFirst, nEnd) go. A long stretch is closed up in one pass.
    void EraseRange(std::size_t nFirst, std::size_t nEnd)
    {
        if (nEnd - nFirst < kChunk) {
            for (std::size_t k = nEnd; k > nFirst; --k)
                Erase(k - 1);
            return;
        }
        std::size_t nTo = nFirst;
        for (std::size_t k = nEnd; k < m_nSize; ++k, ++nTo)
            Slot(nTo) = std::move(Slot(k));
        for (std::size_t k = nTo; k < m_nSize; ++k)
            Slot(k) = T();
        m_nSize = nTo;
    }

    // Drops the storage when nothing is held.
    void Release()
    {
        if (m_nSize == 0)
            std::vector<SRing>().swap(m_Rings);
    }

    void Clear()
    {
        std::vector<SRing>().swap(m_Rings);
        m_nSize = 0;
    }

private:
    static constexpr std::size_t kMask = kChunk - 1;

    struct SRing
    {
        std::unique_ptr<T[]> pSlots;
        std::size_t nHead;
        T& At(std::size_t nOffset) const { return pSlots[(nHead + nOffset) & kMask]; }
    };

    T& Slot(std::size_t nIndex) const { return m_Rings[nIndex >> kShift].At(nIndex & kMask); }

    // Puts value at nOffset of a ring holding nCount entries before it (the
    // entry at kMask of a full ring is overwritten: the caller took it).
    static void InsertInRing(SRing& ring, std::size_t nOffset, std::size_t nCount, const T& value)
    {
        if (nOffset < nCount - nOffset) {
            // The entries in front move down into the slot before the head.
            ring.nHead = (ring.nHead - 1) & kMask;
            for (std::size_t k = 0; k < nOffset; ++k)
                ring.At(k) = std::move(ring.At(k + 1));
        } else {
            for (std::size_t k = nCount; k > nOffset; --k)
                ring.At(k) = std::move(ring.At(k - 1));
        }
        ring.At(nOffset) = value;
    }

    // Removes the entry at nOffset of a ring whose last entry is at nLast;
    // the slot at nLast is left empty.
    static void EraseInRing(SRing& ring, std::size_t nOffset, std::size_t nLast)
    {
        if (nOffset < nLast - nOffset) {
            // The entries in front move up and the head follows them.
            for (std::size_t k = nOffset; k > 0; --k)
                ring.At(k) = std::move(ring.At(k - 1));
            ring.At(0) = T();
            ring.nHead = (ring.nHead + 1) & kMask;
            // The ring's last offset now names a slot beyond the entries: clear it.
            ring.At(nLast) = T();
        } else {
            for (std::size_t k = nOffset; k < nLast; ++k)
                ring.At(k) = std::move(ring.At(k + 1));
            ring.At(nLast) = T();
        }
    }

    std::vector<SRing> m_Rings;
    std::size_t m_nSize = 0;
};
