// A set of byte ranges of one buffer, kept as sorted, disjoint, non-adjacent [begin, end)
// intervals: the bytes unlocked since they last played. A ring refilled segment by segment
// holds a handful of them, however long it plays.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace softds::detail {

class ByteIntervals {
public:
    // Adds [begin, end), merging with the intervals it touches or overlaps.
    void Add(uint32_t begin, uint32_t end) {
        if (begin >= end) return;
        // The first interval that ends at or after `begin` may merge; so may the ones after
        // it that start at or before `end`.
        auto first = std::lower_bound(m_Ranges.begin(), m_Ranges.end(), begin,
                                      [](const Range& r, uint32_t at) { return r.end < at; });
        auto last = first;
        while (last != m_Ranges.end() && last->begin <= end) {
            begin = std::min(begin, last->begin);
            end = std::max(end, last->end);
            ++last;
        }
        if (first == last) {
            m_Ranges.insert(first, Range{begin, end});
        } else {
            *first = Range{begin, end};
            m_Ranges.erase(first + 1, last);
        }
    }

    // Removes [begin, end) and answers how many of its bytes were in the set.
    uint32_t Take(uint32_t begin, uint32_t end) {
        if (begin >= end) return 0;
        auto it = std::lower_bound(m_Ranges.begin(), m_Ranges.end(), begin,
                                   [](const Range& r, uint32_t at) { return r.end <= at; });
        uint32_t taken = 0;
        while (it != m_Ranges.end() && it->begin < end) {
            const uint32_t from = std::max(it->begin, begin);
            const uint32_t to = std::min(it->end, end);
            taken += to - from;
            if (it->begin < begin && it->end > end) {  // split in two
                const Range tail{end, it->end};
                it->end = begin;
                m_Ranges.insert(it + 1, tail);
                break;
            }
            if (it->begin < begin) {
                it->end = begin;
                ++it;
            } else if (it->end > end) {
                it->begin = end;
                break;
            } else {
                it = m_Ranges.erase(it);
            }
        }
        return taken;
    }

    bool Contains(uint32_t at) const {
        auto it = std::lower_bound(m_Ranges.begin(), m_Ranges.end(), at,
                                   [](const Range& r, uint32_t a) { return r.end <= a; });
        return it != m_Ranges.end() && it->begin <= at;
    }

    void Clear() { m_Ranges.clear(); }
    size_t Count() const { return m_Ranges.size(); }
    size_t HeldBytes() const { return m_Ranges.capacity() * sizeof(Range); }

private:
    struct Range {
        uint32_t begin;
        uint32_t end;
    };
    std::vector<Range> m_Ranges;
};

}  // namespace softds::detail
