#include "tools/writers/sheet.h"

#include <algorithm>
#include <cstring>

#include "tamsa/internal/nearest.h"

namespace tamsa::tools {

void contact_sheet::add(const picture &p) {
    constexpr int32_t kThumb = 160;
    const int32_t tw = std::min(kThumb, p.width);
    const int32_t th = std::max(1, int32_t(int64_t(p.height) * tw / p.width));
    picture t;
    t.width = tw;
    t.height = th;
    t.pixels.resize(size_t(tw) * size_t(th) * 3);
    // Sampled as the library's scalers sample: the same column table and row loop.
    std::vector<uint32_t> columns(static_cast<size_t>(tw));
    nearest_columns(columns.data(), 0, uint32_t(tw), uint32_t(p.width), uint32_t(tw), 3);
    const size_t row_bytes = size_t(p.width) * 3;
    nearest_rows(t.pixels.data(), size_t(tw) * 3, uint32_t(p.height), uint32_t(th),
                 [&](uint8_t *out, uint32_t sy) {
                     const uint8_t *in = p.pixels.data() + size_t(sy) * row_bytes;
                     for (size_t x = 0; x < size_t(tw); ++x)
                         std::memcpy(out + 3 * x, in + columns[x], 3);
                 });
    thumbs_.push_back(std::move(t));
}

picture contact_sheet::compose() const {
    constexpr int32_t kGap = 4;
    const int32_t columns = int32_t(std::min<size_t>(4, thumbs_.size()));
    const int32_t rows = int32_t((thumbs_.size() + size_t(columns) - 1) / size_t(columns));
    const int32_t cw = thumbs_[0].width, ch = thumbs_[0].height;
    picture s;
    s.width = columns * (cw + kGap) + kGap;
    s.height = rows * (ch + kGap) + kGap;
    s.pixels.assign(size_t(s.width) * size_t(s.height) * 3, 40);
    for (size_t i = 0; i < thumbs_.size(); ++i) {
        const int32_t x0 = kGap + int32_t(i % size_t(columns)) * (cw + kGap);
        const int32_t y0 = kGap + int32_t(i / size_t(columns)) * (ch + kGap);
        for (int32_t y = 0; y < ch; ++y) {
            std::memcpy(&s.pixels[(size_t(y0 + y) * size_t(s.width) + size_t(x0)) * 3],
                        &thumbs_[i].pixels[size_t(y) * size_t(cw) * 3], size_t(cw) * 3);
        }
    }
    return s;
}

}  // namespace tamsa::tools
