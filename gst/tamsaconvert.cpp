// tamsaconvert: planar 8-bit YUV to 24-bit RGB through the frame server, with the corrections
// `tamsa record` offers. The caps must say what the frames are: the conversion is BT.601, so
// another matrix, or a range the caps leave unknown, is refused rather than guessed.
#include <gst/base/gstbasetransform.h>
#include <gst/gst.h>
#include <gst/video/gstvideofilter.h>
#include <gst/video/video.h>

#include <memory>
#include <string>

#include "gst/bus_memory.h"
#include "gst/engine.h"
#include "tools/commands/cli.h"

namespace {

using tamsa::gst::effects;
using tamsa::gst::engine;
using tamsa::gst::stream_format;
using tamsa::tools::chroma;

#define IN_FORMATS "{ I420, YV12, Y42B, Y444, Y41B, GRAY8 }"
#define OUT_FORMATS "{ BGR, RGB, I420, YV12, Y42B, Y444, Y41B, GRAY8 }"
#define CAPS(formats)                                                                         \
    "video/x-raw, format = (string) " formats                                                 \
    ", width = (int) [ 1, 16384 ], height = (int) [ 1, 16384 ], framerate = (fraction) [ 0, " \
    "max ], interlace-mode = (string) { progressive, interleaved, mixed }"

GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS,
                                                             GST_STATIC_CAPS(CAPS(IN_FORMATS)));
GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(CAPS(OUT_FORMATS)));

GST_DEBUG_CATEGORY_STATIC(tamsaconvert_debug);
#define GST_CAT_DEFAULT tamsaconvert_debug

enum {
    PROP_0,
    PROP_CONTRAST,
    PROP_BRIGHTNESS,
    PROP_INVERT,
    PROP_DEINTERLACE,
    PROP_REMAP,
    PROP_PORT,
    PROP_STATS
};

}  // namespace

G_BEGIN_DECLS
#define GST_TYPE_TAMSA_CONVERT (gst_tamsa_convert_get_type())
G_DECLARE_FINAL_TYPE(GstTamsaConvert, gst_tamsa_convert, GST, TAMSA_CONVERT, GstVideoFilter)
G_END_DECLS

struct _GstTamsaConvert {
    GstVideoFilter parent;
    // Properties, under the object's lock.
    effects fx;
    gboolean deinterlace;
    gchar *port;
    // Streaming state, from start to stop.
    engine *work;
    char interlace;  // as stream_format's
    char field;      // the field deinterlacing keeps for interlaced frames, or 0
    // The engine's counts after the last frame, under the object's lock.
    engine::counts counts;
};

G_DEFINE_TYPE(GstTamsaConvert, gst_tamsa_convert, GST_TYPE_VIDEO_FILTER)

namespace {

// Whether the frames are changed by more than the conversion: then the input is never passed
// through as it is, even where downstream would take it.
bool changes_frames(GstTamsaConvert *self) {
    GST_OBJECT_LOCK(self);
    const bool changes = self->fx.correct() || self->fx.remap || self->deinterlace;
    GST_OBJECT_UNLOCK(self);
    return changes;
}

bool is_rgb(const char *format) {
    const std::string f = format != nullptr ? format : "";
    return f == "BGR" || f == "RGB";
}

// Whether the structure's format (one, or a list) holds RGB, or YUV; no format holds both.
void kinds_of(const GstStructure *s, bool &rgb, bool &yuv) {
    const GValue *format = gst_structure_get_value(s, "format");
    rgb = yuv = format == nullptr;
    if (format != nullptr && G_VALUE_HOLDS_STRING(format)) {
        (is_rgb(g_value_get_string(format)) ? rgb : yuv) = true;
    } else if (format != nullptr && GST_VALUE_HOLDS_LIST(format)) {
        for (guint k = 0; k < gst_value_list_get_size(format); ++k) {
            const GValue *one = gst_value_list_get_value(format, k);
            if (G_VALUE_HOLDS_STRING(one)) (is_rgb(g_value_get_string(one)) ? rgb : yuv) = true;
        }
    }
}

// Why a stream of that format is refused, or "".
std::string refusal(const stream_format &f) {
    if (f.interlace != 'p' && !f.deinterlace &&
        (f.out_width != f.width || f.out_height != f.height)) {
        return "resizing interlaced frames would mix their fields: set deinterlace=true";
    }
    return "";
}

GstCaps *transform_caps(GstBaseTransform *trans, GstPadDirection direction, GstCaps *caps,
                        GstCaps *filter) {
    auto *self = GST_TAMSA_CONVERT(trans);
    const bool through = !changes_frames(self);
    GST_OBJECT_LOCK(self);
    const bool deinterlace = self->deinterlace;
    GST_OBJECT_UNLOCK(self);
    GstCaps *result = gst_caps_new_empty();
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        const GstStructure *s = gst_caps_get_structure(caps, i);
        GstCapsFeatures *features = gst_caps_get_features(caps, i);
        if (!gst_caps_features_is_equal(features, GST_CAPS_FEATURES_MEMORY_SYSTEM_MEMORY)) {
            continue;
        }
        bool rgb = false, yuv = false;
        kinds_of(s, rgb, yuv);
        // The same caps on the other side: passed through untouched.
        if (through && yuv) result = gst_caps_merge_structure(result, gst_structure_copy(s));
        // The other side of a conversion: any size, and RGB from YUV or YUV to RGB; the
        // colorimetry and aspect are worked out again.
        GstStructure *other = gst_structure_copy(s);
        gst_structure_set(other, "width", GST_TYPE_INT_RANGE, 1, 16384, "height",
                          GST_TYPE_INT_RANGE, 1, 16384, nullptr);
        gst_structure_remove_fields(other, "format", "colorimetry", "chroma-site",
                                    "pixel-aspect-ratio", nullptr);
        GValue formats = G_VALUE_INIT;
        gst_value_list_init(&formats, 6);
        const char *const names_rgb[] = {"BGR", "RGB"};
        const char *const names_yuv[] = {"I420", "YV12", "Y42B", "Y444", "Y41B", "GRAY8"};
        const bool to_src = direction == GST_PAD_SINK;
        if (to_src ? !yuv : !rgb) {
            // Only YUV on the source side, or RGB on the sink side: no conversion gives it.
            g_value_unset(&formats);
            gst_structure_free(other);
            continue;
        }
        auto add = [&formats](const char *name) {
            GValue v = G_VALUE_INIT;
            g_value_init(&v, G_TYPE_STRING);
            g_value_set_string(&v, name);
            gst_value_list_append_and_take_value(&formats, &v);
        };
        if (to_src) {
            for (const char *n : names_rgb) add(n);
        } else {
            for (const char *n : names_yuv) add(n);
        }
        gst_structure_take_value(other, "format", &formats);
        if (deinterlace) {
            // Deinterlaced frames are progressive, whatever came in.
            if (to_src) {
                gst_structure_set(other, "interlace-mode", G_TYPE_STRING, "progressive", nullptr);
            } else {
                gst_structure_remove_field(other, "interlace-mode");
            }
            gst_structure_remove_field(other, "field-order");
        }
        result = gst_caps_merge_structure(result, other);
    }
    if (filter != nullptr) {
        GstCaps *both = gst_caps_intersect_full(filter, result, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(result);
        result = both;
    }
    GST_DEBUG_OBJECT(trans, "%" GST_PTR_FORMAT " -> %" GST_PTR_FORMAT, caps, result);
    return result;
}

// The other side's caps fixed nearest the size of this side's, and its pixel aspect kept for
// the picture's shape when the size changes.
GstCaps *fixate_caps(GstBaseTransform *trans, GstPadDirection direction, GstCaps *caps,
                     GstCaps *othercaps) {
    (void)trans;
    (void)direction;
    othercaps = gst_caps_truncate(othercaps);
    othercaps = gst_caps_make_writable(othercaps);
    const GstStructure *in = gst_caps_get_structure(caps, 0);
    GstStructure *out = gst_caps_get_structure(othercaps, 0);
    gint w = 0, h = 0, out_w = 0, out_h = 0;
    gst_structure_get_int(in, "width", &w);
    gst_structure_get_int(in, "height", &h);
    gst_structure_fixate_field_nearest_int(out, "width", w);
    gst_structure_fixate_field_nearest_int(out, "height", h);
    gst_structure_get_int(out, "width", &out_w);
    gst_structure_get_int(out, "height", &out_h);
    gint par_n = 1, par_d = 1;
    if (gst_structure_get_fraction(in, "pixel-aspect-ratio", &par_n, &par_d) && out_w > 0 &&
        out_h > 0) {
        // The same picture shape: par' = par * (w / w') / (h / h').
        gint n = 0, d = 0;
        if (gst_util_fraction_multiply(par_n, par_d, w * out_h, h * out_w, &n, &d)) {
            if (gst_structure_has_field(out, "pixel-aspect-ratio")) {
                gst_structure_fixate_field_nearest_fraction(out, "pixel-aspect-ratio", n, d);
            } else {
                gst_structure_set(out, "pixel-aspect-ratio", GST_TYPE_FRACTION, n, d, nullptr);
            }
        }
    }
    return gst_caps_fixate(othercaps);
}

bool layout_of(GstVideoFormat format, chroma &layout) {
    switch (format) {
        case GST_VIDEO_FORMAT_I420:
        case GST_VIDEO_FORMAT_YV12:
            layout = chroma::c420;
            return true;
        case GST_VIDEO_FORMAT_Y42B:
            layout = chroma::c422;
            return true;
        case GST_VIDEO_FORMAT_Y444:
            layout = chroma::c444;
            return true;
        case GST_VIDEO_FORMAT_Y41B:
            layout = chroma::c411;
            return true;
        case GST_VIDEO_FORMAT_GRAY8:
            layout = chroma::mono;
            return true;
        default:
            return false;
    }
}

gboolean set_info(GstVideoFilter *filter, GstCaps *incaps, GstVideoInfo *in_info, GstCaps *outcaps,
                  GstVideoInfo *out_info) {
    (void)incaps;
    (void)outcaps;
    auto *self = GST_TAMSA_CONVERT(filter);
    auto *trans = GST_BASE_TRANSFORM(filter);
    const GstVideoFormat in_format = GST_VIDEO_INFO_FORMAT(in_info);
    const GstVideoFormat out_format = GST_VIDEO_INFO_FORMAT(out_info);
    if (in_format == out_format) {
        if (GST_VIDEO_INFO_WIDTH(in_info) != GST_VIDEO_INFO_WIDTH(out_info) ||
            GST_VIDEO_INFO_HEIGHT(in_info) != GST_VIDEO_INFO_HEIGHT(out_info)) {
            GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("YUV frames are resized only to RGB"),
                              (nullptr));
            return FALSE;
        }
        if (changes_frames(self)) {
            // Asked for while the caps were being settled: the frames must not pass unchanged.
            GST_ELEMENT_ERROR(self, CORE, NEGOTIATION,
                              ("the properties change the frames, but downstream takes only "
                               "the input's caps"),
                              (nullptr));
            return FALSE;
        }
        gst_base_transform_set_passthrough(trans, TRUE);
        return TRUE;
    }
    gst_base_transform_set_passthrough(trans, FALSE);
    auto refuse = [self](const std::string &why) {
        GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("%s", why.c_str()), (nullptr));
        return FALSE;
    };
    stream_format f;
    if (!layout_of(in_format, f.layout) ||
        (out_format != GST_VIDEO_FORMAT_BGR && out_format != GST_VIDEO_FORMAT_RGB)) {
        return refuse(std::string("no conversion from ") + gst_video_format_to_string(in_format) +
                      " to " + gst_video_format_to_string(out_format));
    }
    const GstVideoColorimetry &c = GST_VIDEO_INFO_COLORIMETRY(in_info);
    if (c.range == GST_VIDEO_COLOR_RANGE_0_255) {
        f.full_range = true;
    } else if (c.range != GST_VIDEO_COLOR_RANGE_16_235) {
        return refuse(
            "the input's colour range is not given: set colorimetry in its caps (bt601 "
            "for studio range, 1:4:0:0 for full range)");
    }
    if (f.layout != chroma::mono && c.matrix != GST_VIDEO_COLOR_MATRIX_BT601) {
        gchar *name = gst_video_colorimetry_to_string(&c);
        const std::string why =
            std::string("the conversion is BT.601; the input's colorimetry is ") +
            (name != nullptr ? name : "unknown") + " (convert it first, or correct its caps)";
        g_free(name);
        return refuse(why);
    }
    GST_OBJECT_LOCK(self);
    f.deinterlace = self->deinterlace;
    GST_OBJECT_UNLOCK(self);
    self->field = 0;
    switch (GST_VIDEO_INFO_INTERLACE_MODE(in_info)) {
        case GST_VIDEO_INTERLACE_MODE_PROGRESSIVE:
            // As the command does with --deinterlace on progressive frames: the top field.
            f.interlace = 'p';
            self->field = 't';
            break;
        case GST_VIDEO_INTERLACE_MODE_INTERLEAVED:
            if (GST_VIDEO_INFO_FIELD_ORDER(in_info) == GST_VIDEO_FIELD_ORDER_BOTTOM_FIELD_FIRST) {
                f.interlace = self->field = 'b';
            } else if (GST_VIDEO_INFO_FIELD_ORDER(in_info) ==
                       GST_VIDEO_FIELD_ORDER_TOP_FIELD_FIRST) {
                f.interlace = self->field = 't';
            } else if (f.deinterlace) {
                return refuse(
                    "the input is interlaced but its caps give no field-order: "
                    "deinterlacing would have to guess which field comes first");
            } else {
                // Each row takes its own field's chroma, whichever field is first.
                f.interlace = 't';
            }
            break;
        case GST_VIDEO_INTERLACE_MODE_MIXED:
            f.interlace = 'm';
            break;
        default:
            return refuse("only progressive, interleaved or mixed frames are converted");
    }
    f.width = GST_VIDEO_INFO_WIDTH(in_info);
    f.height = GST_VIDEO_INFO_HEIGHT(in_info);
    f.out_width = GST_VIDEO_INFO_WIDTH(out_info);
    f.out_height = GST_VIDEO_INFO_HEIGHT(out_info);
    if (!refusal(f).empty()) return refuse(refusal(f));
    self->interlace = f.interlace;
    try {
        self->work->configure(f);
    } catch (const tamsa::cli::failure &e) {
        GST_ELEMENT_ERROR(self, RESOURCE, FAILED, ("%s", e.message.c_str()), (nullptr));
        return FALSE;
    }
    return TRUE;
}

GstFlowReturn transform_frame(GstVideoFilter *filter, GstVideoFrame *in, GstVideoFrame *out) {
    auto *self = GST_TAMSA_CONVERT(filter);
    GST_OBJECT_LOCK(self);
    const effects fx = self->fx;
    const bool deinterlace = self->deinterlace;
    GST_OBJECT_UNLOCK(self);
    char frame_field = self->interlace == 'p' ? 'p' : self->interlace;
    char field = self->field;
    if (self->interlace == 'm') {
        const GstVideoFrameFlags flags = GST_VIDEO_FRAME_FLAGS(in);
        frame_field = !(flags & GST_VIDEO_FRAME_FLAG_INTERLACED) ? 'p'
                      : (flags & GST_VIDEO_FRAME_FLAG_TFF)       ? 't'
                                                                 : 'b';
        field = frame_field == 'p' ? 0 : frame_field;
    }
    // Planes in bus memory go to a server in this process as they lie.
    const bool in_bus = self->work->in_process();
    const auto plane = [in, in_bus](int component) {
        const auto *data = static_cast<const uint8_t *>(GST_VIDEO_FRAME_COMP_DATA(in, component));
        const auto stride = size_t(GST_VIDEO_FRAME_COMP_STRIDE(in, component));
        const size_t rows = size_t(GST_VIDEO_FRAME_COMP_HEIGHT(in, component));
        const size_t length =
            stride * (rows - 1) + size_t(GST_VIDEO_FRAME_COMP_WIDTH(in, component));
        return engine::plane{data, stride,
                             in_bus ? tamsa::gst::bus_address(in->buffer, data, length) : 0};
    };
    const bool mono = GST_VIDEO_FRAME_FORMAT(in) == GST_VIDEO_FORMAT_GRAY8;
    const engine::plane y = plane(GST_VIDEO_COMP_Y);
    const engine::plane u = mono ? engine::plane{} : plane(GST_VIDEO_COMP_U);
    const engine::plane v = mono ? engine::plane{} : plane(GST_VIDEO_COMP_V);
    auto *out_data = static_cast<uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(out, 0));
    const auto out_stride = size_t(GST_VIDEO_FRAME_PLANE_STRIDE(out, 0));
    const size_t out_length = out_stride * size_t(GST_VIDEO_FRAME_HEIGHT(out) - 1) +
                              size_t(GST_VIDEO_FRAME_WIDTH(out)) * 3;
    const uint32_t out_bus =
        in_bus ? tamsa::gst::bus_address(out->buffer, out_data, out_length) : 0;
    if (deinterlace && field == 0 && frame_field != 'p') {
        GST_ELEMENT_ERROR(self, STREAM, FAILED,
                          ("the input is interlaced but its caps give no field-order: "
                           "deinterlacing would have to guess which field comes first"),
                          (nullptr));
        return GST_FLOW_ERROR;
    }
    try {
        if (self->work->format().deinterlace != deinterlace) {
            // Changed while playing: the frames take it at once, the caps once asked again.
            stream_format f = self->work->format();
            f.deinterlace = deinterlace;
            if (!refusal(f).empty()) throw tamsa::cli::failure{refusal(f)};
            self->work->configure(f);
        }
        self->work->convert(y, u, v, frame_field, deinterlace ? field : 0, fx, out_data, out_stride,
                            out_bus, GST_VIDEO_FRAME_FORMAT(out) == GST_VIDEO_FORMAT_RGB);
    } catch (const tamsa::cli::failure &e) {
        GST_ELEMENT_ERROR(self, STREAM, FAILED, ("%s", e.message.c_str()), (nullptr));
        return GST_FLOW_ERROR;
    }
    GST_OBJECT_LOCK(self);
    self->counts = self->work->copies();
    GST_OBJECT_UNLOCK(self);
    if (deinterlace) {
        GST_BUFFER_FLAG_UNSET(out->buffer, GST_VIDEO_BUFFER_FLAG_INTERLACED);
        GST_BUFFER_FLAG_UNSET(out->buffer, GST_VIDEO_BUFFER_FLAG_TFF);
        GST_BUFFER_FLAG_UNSET(out->buffer, GST_VIDEO_BUFFER_FLAG_RFF);
        GST_BUFFER_FLAG_UNSET(out->buffer, GST_VIDEO_BUFFER_FLAG_ONEFIELD);
    }
    return GST_FLOW_OK;
}

bool in_process(GstTamsaConvert *self) {
    GST_OBJECT_LOCK(self);
    const bool own = self->port == nullptr;
    GST_OBJECT_UNLOCK(self);
    return own;
}

// Adds a pool of bus buffers for the query's caps, and its allocator as the first; false when
// the caps are no video.
bool add_bus_pool(GstQuery *query) {
    GstCaps *caps = nullptr;
    gst_query_parse_allocation(query, &caps, nullptr);
    GstBufferPool *pool = tamsa::gst::bus_pool(caps, 0);
    if (pool == nullptr) return false;
    GstStructure *config = gst_buffer_pool_get_config(pool);
    guint size = 0;
    gst_buffer_pool_config_get_params(config, nullptr, &size, nullptr, nullptr);
    GstAllocator *allocator = nullptr;
    GstAllocationParams params;
    gst_buffer_pool_config_get_allocator(config, &allocator, &params);
    gst_query_add_allocation_pool(query, pool, size, 0, 0);
    // A pool is configured again from the first allocator of the query.
    if (gst_query_get_n_allocation_params(query) > 0) {
        gst_query_set_nth_allocation_param(query, 0, allocator, &params);
    } else {
        gst_query_add_allocation_param(query, allocator, &params);
    }
    gst_structure_free(config);
    gst_object_unref(pool);
    return true;
}

// Upstream is offered buffers in the bus, which a server in this process reads as they lie.
gboolean propose_allocation(GstBaseTransform *trans, GstQuery *decide_query, GstQuery *query) {
    auto *parent = GST_BASE_TRANSFORM_CLASS(gst_tamsa_convert_parent_class);
    // Passing through (no decide query), the question is downstream's.
    if (decide_query == nullptr || !in_process(GST_TAMSA_CONVERT(trans)) ||
        gst_query_get_n_allocation_pools(query) != 0 || !add_bus_pool(query)) {
        return parent->propose_allocation(trans, decide_query, query);
    }
    gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
    return TRUE;
}

// The output goes into buffers in the bus, where the server writes it, unless downstream has
// a pool of its own.
gboolean decide_allocation(GstBaseTransform *trans, GstQuery *query) {
    auto *parent = GST_BASE_TRANSFORM_CLASS(gst_tamsa_convert_parent_class);
    if (in_process(GST_TAMSA_CONVERT(trans)) && gst_query_get_n_allocation_pools(query) == 0) {
        add_bus_pool(query);
    }
    return parent->decide_allocation(trans, query);
}

gboolean start(GstBaseTransform *trans) {
    auto *self = GST_TAMSA_CONVERT(trans);
    GST_OBJECT_LOCK(self);
    const std::string port = self->port != nullptr ? self->port : "";
    GST_OBJECT_UNLOCK(self);
    GST_OBJECT_LOCK(self);
    self->counts = engine::counts();
    GST_OBJECT_UNLOCK(self);
    try {
        self->work = new engine(port);
    } catch (const tamsa::cli::failure &e) {
        GST_ELEMENT_ERROR(self, RESOURCE, OPEN_READ_WRITE, ("%s", e.message.c_str()), (nullptr));
        return FALSE;
    }
    return TRUE;
}

gboolean stop(GstBaseTransform *trans) {
    auto *self = GST_TAMSA_CONVERT(trans);
    delete self->work;
    self->work = nullptr;
    return TRUE;
}

void set_property(GObject *object, guint id, const GValue *value, GParamSpec *pspec) {
    auto *self = GST_TAMSA_CONVERT(object);
    const bool changed_before = changes_frames(self);
    GST_OBJECT_LOCK(self);
    const bool deinterlace_before = self->deinterlace;
    switch (id) {
        case PROP_CONTRAST:
            self->fx.contrast = g_value_get_int(value);
            break;
        case PROP_BRIGHTNESS:
            self->fx.brightness = g_value_get_int(value);
            break;
        case PROP_INVERT:
            self->fx.invert = g_value_get_boolean(value);
            break;
        case PROP_DEINTERLACE:
            self->deinterlace = g_value_get_boolean(value);
            break;
        case PROP_REMAP:
            self->fx.remap = g_value_get_boolean(value);
            break;
        case PROP_PORT:
            g_free(self->port);
            self->port = g_value_dup_string(value);
            if (self->port != nullptr && self->port[0] == 0) {
                g_free(self->port);
                self->port = nullptr;
            }
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
    const bool deinterlace_changed = deinterlace_before != bool(self->deinterlace);
    GST_OBJECT_UNLOCK(self);
    // Passing through, or deinterlacing, changes the caps: they are asked for again.
    if (deinterlace_changed || changed_before != changes_frames(self)) {
        gst_base_transform_reconfigure_src(GST_BASE_TRANSFORM(self));
    }
}

void get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec) {
    auto *self = GST_TAMSA_CONVERT(object);
    GST_OBJECT_LOCK(self);
    switch (id) {
        case PROP_CONTRAST:
            g_value_set_int(value, self->fx.contrast);
            break;
        case PROP_BRIGHTNESS:
            g_value_set_int(value, self->fx.brightness);
            break;
        case PROP_INVERT:
            g_value_set_boolean(value, self->fx.invert);
            break;
        case PROP_DEINTERLACE:
            g_value_set_boolean(value, self->deinterlace);
            break;
        case PROP_REMAP:
            g_value_set_boolean(value, self->fx.remap);
            break;
        case PROP_PORT:
            g_value_set_string(value, self->port);
            break;
        case PROP_STATS:
            g_value_take_boxed(
                value, gst_structure_new("tamsaconvert-stats", "frames", G_TYPE_UINT64,
                                         guint64(self->counts.frames), "copied-in", G_TYPE_UINT64,
                                         guint64(self->counts.copied_in), "copied-out",
                                         G_TYPE_UINT64, guint64(self->counts.copied_out), nullptr));
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
    GST_OBJECT_UNLOCK(self);
}

void finalize(GObject *object) {
    auto *self = GST_TAMSA_CONVERT(object);
    delete self->work;
    g_free(self->port);
    G_OBJECT_CLASS(gst_tamsa_convert_parent_class)->finalize(object);
}

}  // namespace

static void gst_tamsa_convert_init(GstTamsaConvert *self) {
    new (&self->fx) effects();
    self->deinterlace = FALSE;
    self->port = nullptr;
    self->work = nullptr;
    self->interlace = 'p';
    self->field = 0;
    new (&self->counts) engine::counts();
}

static void gst_tamsa_convert_class_init(GstTamsaConvertClass *klass) {
    auto *object = G_OBJECT_CLASS(klass);
    auto *element = GST_ELEMENT_CLASS(klass);
    auto *trans = GST_BASE_TRANSFORM_CLASS(klass);
    auto *filter = GST_VIDEO_FILTER_CLASS(klass);
    object->set_property = set_property;
    object->get_property = get_property;
    object->finalize = finalize;
    const auto playing = GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                     GST_PARAM_MUTABLE_PLAYING | GST_PARAM_CONTROLLABLE);
    g_object_class_install_property(
        object, PROP_CONTRAST,
        g_param_spec_int("contrast", "Contrast",
                         "Contrast in percent around mid-grey 128 (message 5): 100 keeps, 0 "
                         "gives flat grey, below 0 mirrors the levels",
                         -100000, 100000, 100, playing));
    g_object_class_install_property(
        object, PROP_BRIGHTNESS,
        g_param_spec_int("brightness", "Brightness",
                         "Added to every level after the contrast (message 5)", -255, 255, 0,
                         playing));
    g_object_class_install_property(
        object, PROP_INVERT,
        g_param_spec_boolean("invert", "Invert",
                             "Every level L becomes 255 - L, after contrast and brightness "
                             "(message 5)",
                             FALSE, playing));
    g_object_class_install_property(
        object, PROP_DEINTERLACE,
        g_param_spec_boolean(
            "deinterlace", "Deinterlace",
            "Keep one field and copy each of its rows over the other field's row below it "
            "(message 8): the field first in time as the caps' field-order or each frame's "
            "flags say, the top one for progressive frames; the output is progressive",
            FALSE, playing));
    g_object_class_install_property(
        object, PROP_REMAP,
        g_param_spec_boolean("remap", "Remap",
                             "Reduce every frame to the 216 colours of the 6x6x6 colour cube "
                             "(message 4)",
                             FALSE, playing));
    g_object_class_install_property(
        object, PROP_PORT,
        g_param_spec_string(
            "port", "Port",
            "Port of a running `tamsa serve` to convert through; unset, the "
            "element runs a server of its own in this process",
            nullptr,
            GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY)));
    g_object_class_install_property(
        object, PROP_STATS,
        g_param_spec_boxed(
            "stats", "Statistics",
            "Frames converted since the element started (frames), planes copied into the bus "
            "because they did not lie there as the conversion reads them (copied-in; 4:2:0 "
            "chroma is always laid out again and not counted), and frames copied out because "
            "the output buffer was not in the bus or the frame was resized (copied-out). Input "
            "in the buffers the element offers upstream, and output into its own, need no copy "
            "when the server runs in this process",
            GST_TYPE_STRUCTURE, GParamFlags(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));
    gst_element_class_set_static_metadata(
        element, "Tamsa colour converter", "Filter/Converter/Video",
        "Planar 8-bit YUV (BT.601, either range) to BGR or RGB through the Tamsa frame server, "
        "resized, corrected, deinterlaced or reduced to the colour cube",
        "Tamsa");
    gst_element_class_add_static_pad_template(element, &sink_template);
    gst_element_class_add_static_pad_template(element, &src_template);
    trans->transform_caps = transform_caps;
    trans->fixate_caps = fixate_caps;
    trans->propose_allocation = propose_allocation;
    trans->decide_allocation = decide_allocation;
    trans->start = start;
    trans->stop = stop;
    trans->passthrough_on_same_caps = TRUE;
    filter->set_info = set_info;
    filter->transform_frame = transform_frame;
}

static gboolean plugin_init(GstPlugin *plugin) {
    GST_DEBUG_CATEGORY_INIT(tamsaconvert_debug, "tamsaconvert", 0, "Tamsa colour converter");
    return gst_element_register(plugin, "tamsaconvert", GST_RANK_NONE, GST_TYPE_TAMSA_CONVERT);
}

#define PACKAGE "tamsa"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, tamsa, "Tamsa frame server elements",
                  plugin_init, TAMSA_GST_VERSION, "unknown", "tamsa", "https://tamsa.invalid/")
