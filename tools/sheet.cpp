#include "tools/sheet.h"

#include <algorithm>
#include <cstring>

namespace tamsa::tools {

void contact_sheet::add(const picture &p) {
    constexpr int32_t kThumb = 160;
    const int32_t tw = std::min(kThumb, p.width);
    const int32_t th = std::max(1, int32_t(int64_t(p.height) * tw / p.width));
    picture t;
    t.width = tw;
    t.height = th;
    t.pixels.resize(size_t(tw) * size_t(th) * 3);
    for (int32_t y = 0; y < th; ++y) {
        const int64_t sy = int64_t(y) * p.height / th;
        for (int32_t x = 0; x < tw; ++x) {
            const int64_t sx = int64_t(x) * p.width / tw;
            std::memcpy(&t.pixels[(size_t(y) * size_t(tw) + size_t(x)) * 3],
                        &p.pixels[(size_t(sy) * size_t(p.width) + size_t(sx)) * 3], 3);
        }
    }
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
