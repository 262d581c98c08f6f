// The module's one exported symbol: its table.
#include "tools/video/shared.h"

extern "C" __attribute__((visibility("default"))) const tamsa_video_api *tamsa_video_module(void) {
    using namespace tamsa::video;
    static const tamsa_video_api table = {
        TAMSA_VIDEO_VERSION, sizeof(tamsa_video_api),
        reader_open,         reader_next,
        reader_cancel,       reader_close,
        reader_block_bytes,  reader_lend,
        reader_next_held,    reader_release,
        writer_open,         writer_frame,
        writer_send,         writer_finish,
        writer_describe,     writer_close,
    };
    return &table;
}
