// The shared records are a wire format with the eBPF object: their layout is fixed.
#include <gtest/gtest.h>

#include "common/common.h"

TEST(CommonLayout, RecordSizesAndOffsets)
{
    EXPECT_EQ(sizeof(event_t), 352u);
    EXPECT_EQ(offsetof(event_t, wwid), 64u);
    EXPECT_EQ(offsetof(event_t, ip), 96u);
    EXPECT_EQ(sizeof(fs_range_set_t), 4104u);
    EXPECT_EQ(sizeof(fs_range_t), 32u);
}
