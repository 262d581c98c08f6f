// Blits, lines and boxes: all of them draw into their destination in place.
#include "picture.h"
#include "tamsa/internal/settings.h"

namespace tamsa_python {

namespace {

// Source and destination of a blit at one depth.
picture blit_source(array_arg source, const picture &destination) {
    picture s =
        read_picture(source, "source", destination.depth() == 3 ? depths::rgb : depths::grey);
    return s;
}

int32_t percent_arg(int64_t value, const char *name) {
    constexpr auto range = tamsa::settings::kTransparency;
    if (!range.holds(value)) {
        raise_value(std::string(name) + " must lie in " + std::to_string(range.low) + ".." +
                    std::to_string(range.high));
    }
    return int32_t(value);
}

void check_target(int32_t width, int32_t height) {
    if (width < 1 || height < 1) raise_value("width and height of the target must be at least 1");
}

void blit(array_arg destination, array_arg source, int32_t x, int32_t y, int64_t transparency) {
    picture d = write_picture(destination, "destination");
    picture s = blit_source(source, d);
    const int32_t t = percent_arg(transparency, "transparency");
    {
        py::gil_scoped_release unlocked;
        if (t == 0) {
            kv_blitbitmap(&d.record, &s.record, x, y);
        } else {
            kv_blitbitmaptrans(&d.record, &s.record, x, y, t);
        }
    }
    d.finish();
}

void blit_alpha(array_arg destination, array_arg source, int32_t x, int32_t y,
                int64_t transparency) {
    picture d = write_picture(destination, "destination");
    picture s = blit_source(source, d);
    const int32_t t = percent_arg(transparency, "transparency");
    {
        py::gil_scoped_release unlocked;
        kv_transalphachunkyblit(&d.record, s.width(), s.height(), s.data(), x, y, t);
    }
    d.finish();
}

void blit_scaled(array_arg destination, array_arg source, int32_t x, int32_t y, int32_t width,
                 int32_t height) {
    picture d = write_picture(destination, "destination", depths::rgb);
    picture s = read_picture(source, "source", depths::rgb);
    check_target(width, height);
    {
        py::gil_scoped_release unlocked;
        kv_scaledblit(&d.record, s.width(), s.height(), s.data(), x, y, width, height);
    }
    d.finish();
}

void blit_masked(array_arg destination, array_arg source, int32_t x, int32_t y, int32_t width,
                 int32_t height, int32_t threshold) {
    picture d = write_picture(destination, "destination", depths::rgb);
    picture s = read_picture(source, "source", depths::rgb);
    check_target(width, height);
    {
        py::gil_scoped_release unlocked;
        kv_scaledmaskblit(&d.record, s.width(), s.height(), s.data(), x, y, width, height,
                          threshold);
    }
    d.finish();
}

void blit_light(array_arg destination, array_arg light, int32_t x, int32_t y, int32_t width,
                int32_t height, colour_object tint) {
    picture d = write_picture(destination, "destination", depths::rgb);
    picture map = read_picture(light, "light", depths::rgb);
    if (map.width() != 256 || map.height() != 256) {
        raise_value("light: expected shape (256, 256, 3)");
    }
    check_target(width, height);
    const colour c = colour_arg(tint, "tint");
    {
        py::gil_scoped_release unlocked;
        kv_scaledlightblit(&d.record, map.data(), x, y, width, height, c.red, c.green, c.blue);
    }
    d.finish();
}

void draw_line(array_arg destination, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
               colour_object colour_value) {
    picture d = write_picture(destination, "destination", depths::rgb);
    const colour c = colour_arg(colour_value, "colour");
    {
        py::gil_scoped_release unlocked;
        kv_drawline(&d.record, x1, y1, x2, y2, c.red, c.green, c.blue);
    }
    d.finish();
}

void draw_box(array_arg destination, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
              colour_object colour_value, int32_t step) {
    picture d = write_picture(destination, "destination");
    const colour c = colour_arg(colour_value, "colour");
    if (step < 1) raise_value("step must be at least 1");
    {
        py::gil_scoped_release unlocked;
        kv_drawbox(&d.record, x1, y1, x2, y2, c.red, c.green, c.blue, step);
    }
    d.finish();
}

}  // namespace

void bind_blit(py::module_ &m) {
    m.def("blit", &blit, py::arg("destination"), py::arg("source"), py::arg("x") = 0,
          py::arg("y") = 0, py::arg("transparency") = 0,
          R"(Draws ``source`` into ``destination`` (same depth) with its top-left corner at pixel
(x, y), clipped to the destination, in place.

``transparency`` 0..100 in percent: 0 copies, 100 leaves the destination as it was; between,
each byte is blended. A 1-byte picture is always copied.)");
    m.def("blit_alpha", &blit_alpha, py::arg("destination"), py::arg("source"), py::arg("x") = 0,
          py::arg("y") = 0, py::arg("transparency") = 0,
          R"(Draws ``source`` blended by its own brightness (dark pixels let the destination
show), raised by ``transparency`` (0..100 percent; 100 leaves the destination), in place.
A 1-byte picture is copied.)");
    m.def("blit_scaled", &blit_scaled, py::arg("destination"), py::arg("source"), py::arg("x"),
          py::arg("y"), py::arg("width"), py::arg("height"),
          R"(Draws ``source`` scaled by nearest neighbour to ``width`` x ``height`` pixels at
(x, y), clipped, in place. Both pictures are (h, w, 3).)");
    m.def("blit_masked", &blit_masked, py::arg("destination"), py::arg("source"), py::arg("x"),
          py::arg("y"), py::arg("width"), py::arg("height"), py::arg("threshold") = 0,
          R"(As :func:`blit_scaled`, drawing only the sampled pixels whose first (red) byte
exceeds ``threshold``.)");
    m.def("blit_light", &blit_light, py::arg("destination"), py::arg("light"), py::arg("x"),
          py::arg("y"), py::arg("width"), py::arg("height"),
          py::arg("tint") = py::make_tuple(255, 255, 255),
          R"(Adds a (256, 256, 3) light map scaled to ``width`` x ``height`` at (x, y), each
byte multiplied by its tint level / 255 (tint is (red, green, blue), 0..255) and added,
saturating at 255, in place.)");
    // Named as the command's operations; the older names stay, for the callers that use them.
    m.def("line", &draw_line, py::arg("destination"), py::arg("x1"), py::arg("y1"), py::arg("x2"),
          py::arg("y2"), py::arg("colour") = py::make_tuple(255, 255, 255),
          R"(Draws the line between pixels (x1, y1) and (x2, y2), both included, row by row,
clipped, in place; (h, w, 3) pictures only. ``colour`` is (red, green, blue), white unless
given. Also named draw_line.)");
    m.def("box", &draw_box, py::arg("destination"), py::arg("x1"), py::arg("y1"), py::arg("x2"),
          py::arg("y2"), py::arg("colour") = py::make_tuple(255, 255, 255), py::arg("step") = 1,
          R"(Fills the box with corners (x1, y1) and (x2, y2), both included, clamped to the
picture, in place; with ``step`` > 1 only every step-th pixel of every step-th row from its
top-left corner. ``colour`` is white unless given; a 1-byte picture takes the red level. Also
named draw_box.)");
    m.attr("draw_line") = m.attr("line");
    m.attr("draw_box") = m.attr("box");
}

}  // namespace tamsa_python
