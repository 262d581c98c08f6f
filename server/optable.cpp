// The message table: one row per id of client.h's TAMSA_MESSAGES.
#include <iterator>

#include "server/ops.h"
#include "server/server.h"
#include "tamsa/client.h"

namespace tamsa::server {

template <>
std::optional<uint32_t> serve<TAMSA_OP_QUIT>(const uint32_t *) {
    return kStopAnswer;
}
template <>
std::optional<uint32_t> serve<TAMSA_OP_QUIT_ALT>(const uint32_t *) {
    return kStopAnswer;
}

namespace {

// Ids are the row numbers.
#define TAMSA_ROW(name, words, answer) \
    {TAMSA_##name, #name, words, result_rule::answer, serve<TAMSA_##name>},
constexpr op_row table[] = {TAMSA_MESSAGES(TAMSA_ROW)};
#undef TAMSA_ROW
static_assert(std::size(table) == TAMSA_OP_COUNT, "a row for every id of client.h");

constexpr bool ids_are_rows() {
    for (int32_t i = 0; i < int32_t(std::size(table)); ++i) {
        if (table[i].id != i || table[i].words > 7) return false;
    }
    return true;
}
static_assert(ids_are_rows(), "client.h lists its ids in order, each with at most 7 words");

}  // namespace

const op_row *find_op(int32_t id) {
    if (id < 0 || id >= TAMSA_OP_COUNT) return nullptr;
    return &table[id];
}

bool stops_server(int32_t id) {
    const op_row *row = find_op(id);
    return row != nullptr && row->rule == result_rule::stop;
}

}  // namespace tamsa::server
