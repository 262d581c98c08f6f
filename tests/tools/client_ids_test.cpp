// The message ids of client.h against the server's own table, so that the two cannot drift.
#include <gtest/gtest.h>

#include "server/server.h"
#include "tamsa/client.h"

namespace {

TEST(ClientIds, NameTheServersRowsWithTheirArgumentWords) {
    struct id_case {
        int32_t id;
        const char *name;
        uint8_t words;  // as client.h's table lists them
    };
    const id_case cases[] = {
        {TAMSA_OP_QUIT, "OP_QUIT", 0},
        {TAMSA_OP_QUIT_ALT, "OP_QUIT_ALT", 0},
        {TAMSA_OP_YUVTORGB, "OP_YUVTORGB", 6},
        {TAMSA_OP_SCALE, "OP_SCALE", 3},
        {TAMSA_OP_REMAP24, "OP_REMAP24", 4},
        {TAMSA_OP_CORRECT, "OP_CORRECT", 4},
        {TAMSA_OP_REMAP8, "OP_REMAP8", 3},
        {TAMSA_OP_FADEOVER, "OP_FADEOVER", 7},
        {TAMSA_OP_DEINTERLACE, "OP_DEINTERLACE", 1},
        {TAMSA_OP_SCALECOPYBITMAP, "OP_SCALECOPYBITMAP", 3},
        {TAMSA_OP_YUVSCALE, "OP_YUVSCALE", 7},
    };
    for (const id_case &c : cases) {
        const tamsa::server::op_row *row = tamsa::server::find_op(c.id);
        ASSERT_NE(row, nullptr) << c.name;
        EXPECT_STREQ(row->name, c.name);
        EXPECT_EQ(row->words, c.words) << c.name;
    }
    EXPECT_EQ(tamsa::server::find_op(TAMSA_OP_YUVSCALE + 1), nullptr) << "an id client.h lacks";
}

}  // namespace
