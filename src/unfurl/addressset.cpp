#include "unfurl/addressset.h"

#include <algorithm>

namespace unfurl {

bool AddressSet::contains(uint32_t address) const {
    return m_recent.count(address) != 0 || std::binary_search(m_sorted.begin(), m_sorted.end(), address);
}

bool AddressSet::insert(uint32_t address) {
    if (contains(address))
        return false;
    m_recent.insert(address);
    if (m_recent.size() >= kRecentLimit) {
        const size_t middle = m_sorted.size();
        m_sorted.insert(m_sorted.end(), m_recent.begin(), m_recent.end());
        std::sort(m_sorted.begin() + static_cast<std::ptrdiff_t>(middle), m_sorted.end());
        std::inplace_merge(m_sorted.begin(), m_sorted.begin() + static_cast<std::ptrdiff_t>(middle),
                           m_sorted.end());
        m_recent.clear();
    }
    return true;
}

void AddressSet::clear() {
    m_sorted.clear();
    m_recent.clear();
}

} // namespace unfurl
