#pragma once
// A set of 32-bit file addresses at about 4 bytes per member: a sorted
// vector plus a small hash set of recent insertions, merged in when full.
// The index walk remembers every record and node it has seen (to catch
// loops and duplicates); with this, that costs 200 KB for 50,000 messages
// instead of a few megabytes.

#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <vector>

namespace unfurl {

class AddressSet {
public:
    // True when address was not yet a member (and now is).
    bool insert(uint32_t address);
    bool contains(uint32_t address) const;
    std::size_t size() const { return m_sorted.size() + m_recent.size(); }
    void clear();

private:
    static constexpr std::size_t kRecentLimit = 4096;
    std::vector<uint32_t> m_sorted;
    std::unordered_set<uint32_t> m_recent;
};

} // namespace unfurl
