// The WWID the probes read from a disk's VPD page 0x83: the designator the
// SCSI layer names the disk's "wwid" by when that is a 16-byte NAA name, wherever
// it stands in the page.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

extern "C" {
#include "common/vpd83.h"
}

namespace {

using bytes = std::vector<uint8_t>;

// One designator: code set binary (1), association and type in byte 1.
bytes designator(uint8_t association, uint8_t type, const bytes &value)
{
    bytes d = {0x01, static_cast<uint8_t>(association << 4 | type), 0x00,
               static_cast<uint8_t>(value.size())};
    d.insert(d.end(), value.begin(), value.end());
    return d;
}

bytes naa(uint8_t first_nibble, size_t length, uint8_t fill)
{
    bytes value(length, fill);
    value[0] = static_cast<uint8_t>(first_nibble << 4 | (fill & 0x0f));
    return value;
}

bytes page(const std::vector<bytes> &designators)
{
    bytes p = {0x00, 0x83, 0x00, 0x00};
    for (const bytes &d : designators)
        p.insert(p.end(), d.begin(), d.end());
    p[2] = static_cast<uint8_t>((p.size() - 4) >> 8);
    p[3] = static_cast<uint8_t>(p.size() - 4);
    return p;
}

// 0 when no WWID, else its first byte.
int wwid_of(const bytes &p)
{
    vpd83_walk walk{};
    if (!vpd83_start(p.data(), static_cast<uint32_t>(p.size()), &walk))
        return 0;
    while (vpd83_step(p.data(), static_cast<uint32_t>(p.size()), &walk)) {
    }
    return walk.found ? walk.wwid.buf[0] : 0;
}

} // namespace

TEST(Vpd83, TheLogicalUnitsSixteenByteNaaNameWhereverItStands)
{
    const bytes t10 = designator(0, 1, bytes(24, 'A'));
    const bytes eui64 = designator(0, 2, bytes(8, 0x11));
    const bytes naa5 = designator(0, 3, naa(5, 8, 0x22));
    const bytes naa6 = designator(0, 3, naa(6, 16, 0x33));
    const bytes naa6_other = designator(0, 3, naa(6, 16, 0x44));
    const bytes naa6_port = designator(1, 3, naa(6, 16, 0x55)); // target port, not the LU
    const bytes name = designator(0, 8, bytes(20, 'n'));
    struct {
        const char *what;
        bytes page;
        int first_byte;
    } cases[] = {
        {"first", page({naa6, t10}), 0x63},
        {"after a T10 vendor id", page({t10, naa6}), 0x63},
        {"after an EUI-64 and an 8-byte NAA", page({eui64, naa5, naa6}), 0x63},
        {"of the logical unit, not of the port", page({naa6_port, naa6}), 0x63},
        {"the last of two", page({naa6, naa6_other}), 0x64},
        {"beside a SCSI name string", page({name, naa6}), 0x63},
        {"none: only an 8-byte NAA", page({naa5, t10}), 0},
        {"none: only the port's", page({naa6_port}), 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(wwid_of(c.page), c.first_byte) << c.what;
}

TEST(Vpd83, DamagedPagesEndTheWalk)
{
    bytes p = page({designator(0, 1, bytes(8, 'A')), designator(0, 3, naa(6, 16, 0x33))});
    bytes truncated(p.begin(), p.end() - 4); // the NAA designator runs past the end
    EXPECT_EQ(wwid_of(truncated), 0);
    bytes wrong = p;
    wrong[1] = 0x80; // another page
    EXPECT_EQ(wwid_of(wrong), 0);
    EXPECT_EQ(wwid_of(bytes{0x00, 0x83}), 0);
}
