// The message table: one row per message id.
#include <iterator>

#include "server/ops.h"
#include "server/server.h"

namespace tamsa::server {
namespace {

std::optional<uint32_t> serve_quit(const uint32_t *) {
    return kStopAnswer;
}

// Ids are the row numbers; a row whose operation is null is answered like an unknown id.
constexpr op_row table[] = {
    {0, "OP_QUIT", 0, result_rule::stop, serve_quit},
    {1, "OP_QUIT_ALT", 0, result_rule::stop, serve_quit},
    {2, "OP_YUVTORGB", 6, result_rule::unchanged, serve_yuvtorgb},
    {3, "OP_SCALE", 3, result_rule::returned, serve_scale},
    {4, "OP_REMAP24", 4, result_rule::zero, serve_remap24},
    {5, "OP_CORRECT", 4, result_rule::unchanged, serve_correct},
    {6, "OP_REMAP8", 3, result_rule::unchanged, serve_remap8},
    {7, "OP_FADEOVER", 7, result_rule::unchanged, serve_fadeover},
    {8, "OP_DEINTERLACE", 1, result_rule::unchanged, serve_deinterlace},
    {9, "OP_SCALECOPYBITMAP", 3, result_rule::returned, serve_scalecopybitmap},
    {10, "OP_YUVSCALE", 7, result_rule::returned, serve_yuvscale},
};

constexpr bool ids_are_rows() {
    for (int32_t i = 0; i < int32_t(std::size(table)); ++i) {
        if (table[i].id != i || table[i].words > 7) return false;
    }
    return true;
}
static_assert(ids_are_rows());

}  // namespace

const op_row *find_op(int32_t id) {
    if (id < 0 || id >= int32_t(std::size(table))) return nullptr;
    const op_row &row = table[id];
    return row.serve != nullptr ? &row : nullptr;
}

}  // namespace tamsa::server
