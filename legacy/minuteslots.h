#pragma once
#include "zuframe.h"

#include <QDateTime>

#include <array>
#include <cstddef>

// Minute slots of the hour timelines (60) and the day slider (1440): 1 where
// recordings exist. Indexes outside the array are ignored.
namespace ZuMinuteSlots {

template <std::size_t N>
void set(std::array<int, N> &minutes, int start, int count, int value)
{
    for (int i = qMax(0, start); i < start + count && i < int(N); ++i)
        minutes[std::size_t(i)] = value;
}

// Marks the slot of each frame's time ("yyyyMMddHHmmsszzz"), once per run of
// frames in one slot; `slotOf` maps a time to its slot.
template <std::size_t N, typename SlotOf>
void markFrames(std::array<int, N> &minutes, const QList<ZuFrame> &frames, SlotOf slotOf)
{
    int previous = -1;
    for (const ZuFrame &f : frames) {
        const QDateTime t = QDateTime::fromString(f.timestamp, QStringLiteral("yyyyMMddHHmmsszzz"));
        const int slot = t.isValid() ? slotOf(t.time()) : -1;
        if (slot != previous && slot >= 0 && slot < int(N))
            minutes[std::size_t(slot)] = 1;
        previous = slot;
    }
}

} // namespace ZuMinuteSlots
