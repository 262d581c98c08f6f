// The message table: one row per message id.
#include <iterator>

#include "server/ops.h"
#include "server/server.h"
#include "tamsa/client.h"

namespace tamsa::server {
namespace {

std::optional<uint32_t> serve_quit(const uint32_t *) {
    return kStopAnswer;
}

// One row per id of client.h, named as it names them. Ids are the row numbers; a row whose
// operation is null is answered like an unknown id.
#define TAMSA_ROW(op, words, rule, serve) \
    { TAMSA_##op, #op, words, result_rule::rule, serve }
constexpr op_row table[] = {
    TAMSA_ROW(OP_QUIT, 0, stop, serve_quit),
    TAMSA_ROW(OP_QUIT_ALT, 0, stop, serve_quit),
    TAMSA_ROW(OP_YUVTORGB, 6, unchanged, serve_yuvtorgb),
    TAMSA_ROW(OP_SCALE, 3, returned, serve_scale),
    TAMSA_ROW(OP_REMAP24, 4, zero, serve_remap24),
    TAMSA_ROW(OP_CORRECT, 4, unchanged, serve_correct),
    TAMSA_ROW(OP_REMAP8, 3, unchanged, serve_remap8),
    TAMSA_ROW(OP_FADEOVER, 7, unchanged, serve_fadeover),
    TAMSA_ROW(OP_DEINTERLACE, 1, unchanged, serve_deinterlace),
    TAMSA_ROW(OP_SCALECOPYBITMAP, 3, returned, serve_scalecopybitmap),
    TAMSA_ROW(OP_YUVSCALE, 7, returned, serve_yuvscale),
};
#undef TAMSA_ROW
static_assert(std::size(table) == TAMSA_OP_COUNT, "a row for every id of client.h");

constexpr bool ids_are_rows() {
    for (int32_t i = 0; i < int32_t(std::size(table)); ++i) {
        if (table[i].id != i || table[i].words > 7) return false;
    }
    return true;
}
static_assert(ids_are_rows());

}  // namespace

const op_row *find_op(int32_t id) {
    if (id < 0 || id >= TAMSA_OP_COUNT) return nullptr;
    const op_row &row = table[id];
    return row.serve != nullptr ? &row : nullptr;
}

}  // namespace tamsa::server
