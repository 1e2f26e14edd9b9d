#include "sim/DeviceMemory.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

constexpr quint64 addressSpace = quint64(1) << 32;

// The part of [start, start + count) below the top of the address space, and
// what is left over to go on at 0.
qsizetype belowTop(quint32 address, qsizetype count)
{
    return qsizetype(std::min<quint64>(quint64(count), addressSpace - address));
}

} // namespace

void DeviceMemory::write(quint32 address, QByteArrayView bytes)
{
    while (!bytes.isEmpty()) {
        const qsizetype count = belowTop(address, bytes.size());
        const quint64 start = address;
        const quint64 end = start + quint64(count);

        // Every stretch that overlaps or touches [start, end) joins the new one.
        auto first = m_ranges.upper_bound(address);
        if (first != m_ranges.begin()) {
            const auto before = std::prev(first);
            if (before->first + quint64(before->second.size()) >= start)
                first = before;
        }
        auto last = first;
        quint64 joinedStart = start;
        quint64 joinedEnd = end;
        while (last != m_ranges.end() && last->first <= end) {
            joinedStart = std::min<quint64>(joinedStart, last->first);
            joinedEnd = std::max<quint64>(joinedEnd, last->first + quint64(last->second.size()));
            ++last;
        }
        std::string joined(size_t(joinedEnd - joinedStart), char(0xFF));
        for (auto it = first; it != last; ++it)
            joined.replace(size_t(it->first - joinedStart), it->second.size(), it->second);
        joined.replace(size_t(start - joinedStart), size_t(count), bytes.constData(), size_t(count));
        m_ranges.erase(first, last);
        m_ranges.emplace(quint32(joinedStart), std::move(joined));

        bytes = bytes.sliced(count);
        address = 0;
    }
}

QByteArray DeviceMemory::read(quint32 address, int length) const
{
    if (length <= 0)
        return {};
    QByteArray result(length, char(0xFF));
    qsizetype done = 0;
    while (done < length) {
        const qsizetype count = belowTop(address, length - done);
        const quint64 start = address;
        const quint64 end = start + quint64(count);
        auto it = m_ranges.upper_bound(address);
        if (it != m_ranges.begin())
            --it;
        for (; it != m_ranges.end() && it->first < end; ++it) {
            const quint64 from = std::max<quint64>(start, it->first);
            const quint64 to = std::min<quint64>(end, it->first + quint64(it->second.size()));
            if (from < to)
                std::memcpy(result.data() + done + qsizetype(from - start), it->second.data() + (from - it->first),
                            size_t(to - from));
        }
        done += count;
        address = 0;
    }
    return result;
}

QList<DeviceMemory::Range> DeviceMemory::ranges() const
{
    QList<Range> result;
    result.reserve(qsizetype(m_ranges.size()));
    for (const auto &[address, bytes] : m_ranges)
        result.append(Range{address, QByteArray(bytes.data(), qsizetype(bytes.size()))});
    return result;
}

bool DeviceMemory::isErased() const
{
    return m_ranges.empty();
}

void DeviceMemory::erase()
{
    m_ranges.clear();
}
