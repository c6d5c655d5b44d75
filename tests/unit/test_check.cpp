// `corvane check`'s readings of what disks and file systems say about other
// users: SCSI persistent-reservation answers and the ext4 MMP block.
#include <gtest/gtest.h>

#include <vector>

#include "check/check.h"
#include "test_support.h"

using test_support::run;

TEST(Check, ReadKeysAnswers)
{
    const struct {
        const char *what;
        std::vector<uint8_t> data;
        bool ok;
        uint32_t generation;
        std::vector<uint64_t> keys;
    } cases[] = {
        {"no key", {0, 0, 0, 4, 0, 0, 0, 0}, true, 4, {}},
        {"two keys",
         {0, 0, 1, 0, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 1, 0xab, 0xcd, 0, 0, 0, 0, 0, 2},
         true,
         256,
         {1, 0xabcd000000000002}},
        {"list longer than the answer",
         {0, 0, 0, 1, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 1},
         false,
         0,
         {}},
        {"length not a multiple of 8", {0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0, 0}, false, 0, {}},
        {"header cut", {0, 0, 0, 1, 0, 0}, false, 0, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        reservation_state state;
        ASSERT_EQ(parse_read_keys(c.data.data(), c.data.size(), state), c.ok);
        if (!c.ok)
            continue;
        EXPECT_EQ(state.generation, c.generation);
        EXPECT_EQ(state.keys, c.keys);
    }
}

TEST(Check, ReadReservationAnswers)
{
    std::vector<uint8_t> held = {0,    0,    0,    9,    0, 0, 0, 16, 0, 0,    0, 0,
                                 0xde, 0xad, 0xbe, 0xef, 0, 0, 0, 0,  0, 0x05, 0, 0};
    reservation_state state;
    ASSERT_TRUE(parse_read_reservation(held.data(), held.size(), state));
    EXPECT_TRUE(state.reserved);
    EXPECT_EQ(state.holder, 0xdeadbeefu);
    EXPECT_EQ(state.scope, 0);
    EXPECT_STREQ(reservation_type_name(state.type), "Write Exclusive - Registrants Only");

    const std::vector<uint8_t> none = {0, 0, 0, 9, 0, 0, 0, 0};
    ASSERT_TRUE(parse_read_reservation(none.data(), none.size(), state));
    EXPECT_FALSE(state.reserved);

    held.resize(20); // announces a descriptor it does not carry
    EXPECT_FALSE(parse_read_reservation(held.data(), held.size(), state));
}

// mke2fs writes the MMP block as e2fsck and the kernel do: clean, named after
// this host, with the update interval in the superblock.
TEST(Check, MmpBlockOfARealFileSystem)
{
    test_support::temp_dir dir;
    const std::string with = (dir.path() / "mmp.img").string();
    const std::string without = (dir.path() / "plain.img").string();
    ASSERT_EQ(run("truncate -s 64M " + with + " " + without + " && mkfs.ext4 -q -F -O mmp -E " +
                  "mmp_update_interval=7 " + with + " && mkfs.ext4 -q -F " + without)
                  .status,
              0);
    const std::string host = run("uname -n").out;

    for (const auto &[image, enabled] : {std::pair{with, true}, std::pair{without, false}}) {
        SCOPED_TRACE(image);
        uint8_t superblock[1024];
        FILE *f = std::fopen(image.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fseek(f, 1024, SEEK_SET), 0);
        ASSERT_EQ(std::fread(superblock, 1, sizeof(superblock), f), sizeof(superblock));
        std::fclose(f);

        const mmp_state mmp = read_mmp_state(image, superblock);
        EXPECT_EQ(mmp.enabled, enabled);
        if (!enabled)
            continue;
        ASSERT_TRUE(mmp.readable) << mmp.error;
        EXPECT_STREQ(mmp_sequence_meaning(mmp.sequence), "clean");
        EXPECT_EQ(mmp.node + "\n", host);
        EXPECT_EQ(mmp.update_interval, 7);
        EXPECT_GT(mmp.time, 0u);
    }
}

TEST(Check, MmpSequenceMeanings)
{
    EXPECT_STREQ(mmp_sequence_meaning(0xFF4D4D50), "clean");
    EXPECT_STREQ(mmp_sequence_meaning(0xE24D4D50), "fsck");
    EXPECT_STREQ(mmp_sequence_meaning(1), "in use");
    EXPECT_STREQ(mmp_sequence_meaning(0xE24D4D4F), "in use");
    EXPECT_STREQ(mmp_sequence_meaning(0xF0000000), "invalid sequence");
}
