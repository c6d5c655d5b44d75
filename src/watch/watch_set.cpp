#include "watch/watch_set.h"

#include <algorithm>
#include <cstring>

wwid_key key_of(const wwid_t &wwid)
{
    wwid_key key;
    std::memcpy(key.data(), wwid.buf, key.size());
    return key;
}

wwid_t wwid_of(const wwid_key &key)
{
    wwid_t wwid;
    std::memcpy(wwid.buf, key.data(), key.size());
    return wwid;
}

namespace {

bool by_first(const fs_range &a, const fs_range &b)
{
    return a.first != b.first ? a.first < b.first : a.second < b.second;
}

bool same_owner(const fs_range &a, const fs_range &b)
{
    return a.type == b.type && a.kind == b.kind && a.source == b.source;
}

// Sorted, disjoint union of ranges of one kind; a piece that overlaps the
// previous one only adds what lies beyond it.
std::vector<fs_range> disjoint_union(std::vector<fs_range> pieces)
{
    std::sort(pieces.begin(), pieces.end(), by_first);
    std::vector<fs_range> out;
    for (fs_range piece : pieces) {
        if (piece.first >= piece.second)
            continue;
        if (!out.empty() && piece.first < out.back().second) {
            if (piece.second <= out.back().second)
                continue;
            piece.first = out.back().second;
        }
        if (!out.empty() && piece.first == out.back().second && same_owner(piece, out.back()))
            out.back().second = piece.second;
        else
            out.push_back(piece);
    }
    return out;
}

// The parts of data not covered by any of the (sorted, disjoint) metadata ranges.
std::vector<fs_range> subtract(const std::vector<fs_range> &data,
                               const std::vector<fs_range> &metadata)
{
    std::vector<fs_range> out;
    size_t m = 0;
    for (fs_range piece : data) {
        while (m < metadata.size() && metadata[m].second <= piece.first)
            ++m;
        for (size_t k = m; k < metadata.size() && metadata[k].first < piece.second; ++k) {
            if (metadata[k].first > piece.first) {
                fs_range before = piece;
                before.second = metadata[k].first;
                out.push_back(before);
            }
            piece.first = std::max(piece.first, metadata[k].second);
        }
        if (piece.first < piece.second)
            out.push_back(piece);
    }
    return out;
}

} // namespace

std::vector<fs_range> build_disk_table(std::vector<fs_range> pieces)
{
    std::vector<fs_range> metadata, data;
    for (const fs_range &piece : pieces)
        (piece.kind == RANGE_KIND_DATA ? data : metadata).push_back(piece);
    metadata = disjoint_union(std::move(metadata));
    data = subtract(disjoint_union(std::move(data)), metadata);
    std::vector<fs_range> table;
    table.reserve(metadata.size() + data.size());
    std::merge(metadata.begin(), metadata.end(), data.begin(), data.end(),
               std::back_inserter(table), by_first);
    return table;
}

uint64_t watch_set::add(watched_fs fs)
{
    const uint64_t id = next_id_++;
    replace(id, std::move(fs));
    return id;
}

void watch_set::replace(uint64_t id, watched_fs fs)
{
    fs.id = id;
    for (fs_range &range : fs.ranges)
        range.source = id;
    for (device_range &disk : fs.disks)
        for (fs_range &range : disk.ranges)
            range.source = id;
    watched_[id] = std::move(fs);
}

void watch_set::remove(uint64_t id)
{
    watched_.erase(id);
}

const watched_fs *watch_set::find(uint64_t id) const
{
    auto it = watched_.find(id);
    return it == watched_.end() ? nullptr : &it->second;
}

std::map<wwid_key, std::vector<fs_range>> watch_set::disk_tables() const
{
    std::map<wwid_key, std::vector<fs_range>> pieces;
    for (const auto &[id, fs] : watched_)
        for (const device_range &disk : fs.disks) {
            auto &list = pieces[key_of(disk.wwid)];
            list.insert(list.end(), disk.ranges.begin(), disk.ranges.end());
        }
    for (auto &[key, list] : pieces)
        list = build_disk_table(std::move(list));
    return pieces;
}

std::set<ENUM_FS_TYPE> watch_set::fs_types() const
{
    std::set<ENUM_FS_TYPE> types;
    for (const auto &[id, fs] : watched_)
        types.insert(fs.type);
    return types;
}
