#include "pictureplaces.h"

#include <algorithm>
#include <iterator>

void ZuPicturePlaces::clear()
{
    m_groups.clear();
    m_unitGroup.clear();
    m_started = false;
}

void ZuPicturePlaces::unitIn(qint64 tag, qint64 group, int64_t order)
{
    Group &g = m_groups[group];
    if (g.units.empty())
        g.opensRun = !m_started;
    m_started = true;
    Unit u;
    u.tag = tag;
    u.order = order;
    // Two units of a group are at least a step apart: learned from the
    // units as they go in, the step is known before the pictures between
    // them come out, and with it whether a unit of unknown order lies there.
    if (order != kUnknownOrder) {
        const auto [at, added] = g.orders.insert(order);
        const auto learn = [&](int64_t step) {
            if (m_step == 0 || step < m_step)
                m_step = step;
        };
        if (added && at != g.orders.begin())
            learn(order - *std::prev(at));
        if (added && std::next(at) != g.orders.end())
            learn(*std::next(at) - order);
    }
    if (m_reorders && order == kUnknownOrder) {
        // A slice header the parser cannot read is one the decoder cannot
        // either: the unit gives no picture, wherever the decoder says so (a
        // decoder with frame threads tells a unit's fault on a later call).
        u.missing = true;
        ++g.unlocated;
        g.units.push_back(u);
        damageFrom(g, group, tag);
        return;
    }
    g.units.push_back(u);
    m_unitGroup[tag] = {group, int(g.units.size()) - 1};
}

void ZuPicturePlaces::withdraw(qint64 tag, qint64 group)
{
    m_unitGroup.erase(tag);
    const auto it = m_groups.find(group);
    if (it == m_groups.end() || it->second.units.empty() || it->second.units.back().tag != tag)
        return;
    Group &g = it->second;
    if (g.units.back().missing && g.units.back().order == kUnknownOrder && g.unlocated > 0)
        --g.unlocated;
    g.units.pop_back();
    if (g.units.empty())
        m_groups.erase(it);
}

size_t ZuPicturePlaces::waiting() const
{
    size_t n = m_unitGroup.size();
    for (const auto &group : m_groups)
        n += size_t(group.second.unlocated);
    return n;
}

qint64 ZuPicturePlaces::groupOf(qint64 tag) const
{
    const auto it = m_unitGroup.find(tag);
    return it == m_unitGroup.end() ? -1 : it->second.first;
}

void ZuPicturePlaces::emptyPlace(qint64 groupId, int place)
{
    m_empty.push_back({groupId, place});
}

void ZuPicturePlaces::damageFrom(Group &g, qint64 groupId, qint64 tag)
{
    if (tag >= g.damagedFrom)
        return;
    g.damagedFrom = tag;
    // Pictures decoded after it that were shown before it was known.
    for (auto it = g.given.begin(); it != g.given.end();) {
        if (it->second > tag) {
            m_damagedAfter.push_back({groupId, it->first});
            it = g.given.erase(it);
        } else {
            ++it;
        }
    }
}

bool ZuPicturePlaces::leadsRun(const Group &g, const Unit &u)
{
    const int64_t key = g.units.front().order;
    return g.opensRun && key != kUnknownOrder && u.order != kUnknownOrder && u.order < key
           && u.tag != g.units.front().tag;
}

void ZuPicturePlaces::markMissing(Group &g, qint64 groupId, Unit &u)
{
    u.missing = true;
    m_unitGroup.erase(u.tag);
    if (!leadsRun(g, u))
        damageFrom(g, groupId, u.tag);
}

void ZuPicturePlaces::refused(qint64 tag)
{
    const auto it = m_unitGroup.find(tag);
    if (it == m_unitGroup.end())
        return;
    const qint64 groupId = it->second.first;
    const int index = it->second.second;
    Group &g = m_groups[groupId];
    Unit &u = g.units[size_t(index)];
    u.refused = true;
    if (!m_reorders) {
        markMissing(g, groupId, u);
        emptyPlace(groupId, index);
        return;
    }
    // Its place in the order shown is found when the pictures around it
    // come out.
    if (!leadsRun(g, u))
        damageFrom(g, groupId, tag);
}

ZuPicturePlaces::Placed ZuPicturePlaces::picture(qint64 tag, bool concealed)
{
    Placed placed;
    const auto it = m_unitGroup.find(tag);
    if (it == m_unitGroup.end())
        return placed; // not a unit that takes a place, or given up already
    const qint64 groupId = it->second.first;
    const int index = it->second.second;
    m_unitGroup.erase(it);
    // Pictures come out group after group: the groups before are whole.
    closeBefore(groupId);
    Group &g = m_groups[groupId];
    g.units[size_t(index)].out = true;
    placed.group = groupId;
    if (!m_reorders) {
        // In stored order: a unit before this one that gave nothing never will.
        for (int j = 0; j < index; ++j) {
            Unit &u = g.units[size_t(j)];
            if (!u.out && !u.missing) {
                markMissing(g, groupId, u);
                emptyPlace(groupId, j);
            }
        }
        placed.place = index;
    } else {
        const int64_t order = g.units[size_t(index)].order;
        // Units shown before this picture that are still waiting give none:
        // a decoder shows its pictures in their order.
        int missingHere = 0;
        if (order != kUnknownOrder) {
            std::vector<Unit *> before;
            for (Unit &u : g.units) {
                if (!u.out && !u.missing && u.order != kUnknownOrder && u.order < order)
                    before.push_back(&u);
            }
            for (Unit *u : before) {
                markMissing(g, groupId, *u);
                emptyPlace(groupId, g.nextRank++);
                ++missingHere;
            }
        }
        // A hole in the orders shown, beyond the units found above: units of
        // unknown order that gave none fill it; what they do not fill is a
        // picture whose entry is gone.
        int unexplained = 0;
        // A unit of unknown order may be shown before the group's first
        // picture, where no hole tells, and a hole is not measured while
        // the step is not known.
        if (g.unlocated > 0 && (g.lastOrder == kUnknownOrder || m_step == 0))
            g.unsure = true;
        if (order != kUnknownOrder && g.lastOrder != kUnknownOrder && m_step > 0 && order > g.lastOrder) {
            const int64_t hole = (order - g.lastOrder) / m_step - 1 - missingHere;
            if (hole > 0) {
                const int located = int(std::min<int64_t>(hole, g.unlocated));
                g.unlocated -= located;
                for (int i = 0; i < located; ++i)
                    emptyPlace(groupId, g.nextRank++);
                unexplained = int(hole - located);
            } else if (missingHere == 0) {
                m_step = std::min(m_step, order - g.lastOrder);
            }
        } else if (order != kUnknownOrder && g.lastOrder != kUnknownOrder && order > g.lastOrder && missingHere == 0
                   && g.unlocated == 0) {
            // A step learned across a unit of unknown order would be too long.
            m_step = order - g.lastOrder;
        }
        if (unexplained > 0 && !g.unexplained) {
            g.unexplained = true;
            for (const auto &given : g.given)
                m_damagedAfter.push_back({groupId, given.first});
            g.given.clear();
        }
        if (order != kUnknownOrder)
            g.lastOrder = order;
        if (g.firstShown == kUnknownOrder) {
            g.firstShown = order;
            g.firstRank = g.nextRank;
        }
        g.lastShown = std::max(g.lastShown, order);
        const int rank = g.nextRank++;
        placed.place = rank < int(g.units.size()) ? rank : -1;
    }
    placed.damaged = concealed || tag > g.damagedFrom || g.unexplained;
    if (concealed && !leadsRun(g, g.units[size_t(index)]))
        damageFrom(g, groupId, tag);
    if (placed.place >= 0 && !placed.damaged)
        g.given.push_back({placed.place, tag});
    return placed;
}

void ZuPicturePlaces::closeBefore(qint64 group)
{
    for (auto it = m_groups.begin(); it != m_groups.end() && it->first < group;) {
        Group &g = it->second;
        if (!m_reorders) {
            for (size_t j = 0; j < g.units.size(); ++j) {
                if (!g.units[j].out && !g.units[j].missing)
                    emptyPlace(it->first, int(j));
            }
        } else {
            // Units of unknown order that no hole placed may have been shown
            // before the group's first picture, and a hole may have gone
            // unseen while the step was thought longer: the group's places
            // cannot be told apart.
            const bool holeMissed = g.firstShown != kUnknownOrder && m_step > 0
                                    && (g.lastShown - g.firstShown) / m_step + 1 > g.nextRank - g.firstRank;
            if ((g.unsure && g.unlocated > 0) || holeMissed) {
                for (const auto &given : g.given)
                    m_damagedAfter.push_back({it->first, given.first});
                g.given.clear();
            }
            for (int rank = g.nextRank; rank < int(g.units.size()); ++rank)
                emptyPlace(it->first, rank);
        }
        for (const Unit &u : g.units)
            m_unitGroup.erase(u.tag);
        it = m_groups.erase(it);
    }
}

std::vector<ZuPicturePlaces::Empty> ZuPicturePlaces::takeEmpty()
{
    std::vector<Empty> out;
    out.swap(m_empty);
    return out;
}

std::vector<ZuPicturePlaces::Empty> ZuPicturePlaces::takeDamagedAfter()
{
    std::vector<Empty> out;
    out.swap(m_damagedAfter);
    return out;
}
