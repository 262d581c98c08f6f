// The message ids of client.h against the server's own table, so that the two cannot drift.
#include <gtest/gtest.h>

#include <iterator>

#include "server/server.h"
#include "tamsa/client.h"

namespace {

TEST(ClientIds, EveryIdHasARowWithTheArgumentWordsClientHListsAndNoOtherHasOne) {
    // Argument words of each id, as client.h's table lists them.
    constexpr uint8_t kListedWords[] = {0, 0, 6, 3, 4, 4, 3, 7, 1, 3, 7};
    static_assert(std::size(kListedWords) == TAMSA_OP_COUNT, "client.h lists every id");
    for (int32_t id = 0; id < TAMSA_OP_COUNT; ++id) {
        const tamsa::server::op_row *row = tamsa::server::find_op(id);
        ASSERT_NE(row, nullptr) << "id " << id;
        EXPECT_EQ(row->id, id);
        EXPECT_EQ(row->words, kListedWords[id]) << row->name;
    }
    EXPECT_STREQ(tamsa::server::find_op(TAMSA_OP_YUVSCALE)->name, "OP_YUVSCALE")
        << "rows carry client.h's names";
    EXPECT_EQ(tamsa::server::find_op(TAMSA_OP_COUNT), nullptr) << "an id client.h lacks";
    EXPECT_EQ(tamsa::server::find_op(-1), nullptr);
}

}  // namespace
