// tamsa record: the recorder's pipeline. Every frame of a YUV clip goes to the server as the
// messages a recorder sends: convert (and resize), then correct, deinterlace, cross-fade and
// reduce to the colour cube as asked.
#ifndef TAMSA_TOOLS_COMMANDS_RECORD_H
#define TAMSA_TOOLS_COMMANDS_RECORD_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tamsa/internal/settings.h"
#include "tools/commands/cli.h"
#include "tools/pictures/picture.h"
#include "tools/readers/clip.h"
#include "tools/writers/video_out.h"

namespace tamsa::tools {

struct record_options {
    std::string input;                 // "" for the built-in clip, "-" for standard input
    cli::size2 raw_size;               // raw planes when set (and the built-in clip's size)
    chroma raw_layout = chroma::c411;  // the layout of raw planes
    bool raw_layout_named = true;      // false: --size and a file without --pix-fmt, refused
    std::optional<bool> full_range;    // --range; unset: as the clip's header says (raw: studio)
    // "" writes nothing; "-" writes a stream to standard output; NAME.y4m a Y4M file;
    // NAME.mkv, .mp4, .mov, .avi or .nut a video file
    std::string out_dir = "out";
    // ppm, pgm, pnm, png, rgb (a stream only) or y4m (a stream or a .y4m file); any case. "":
    // y4m for a .y4m file, pnm for the frames of a mono clip in a directory, ppm otherwise
    std::string format;
    std::optional<chroma> y4m_layout;  // the chroma of Y4M output; unset: the clip's
    video_choice video;                // --codec, --crf, --bitrate for a video file
    bool overwrite = false;            // replace an earlier run's frames in out_dir
    uint32_t start = 0;                // frames of the clip skipped first
    uint32_t frames = 0;               // 0: the whole clip (the built-in one has 50)
    cli::size2 scale;                  // ids 2 and 9 when set (10 for 4:1:1 clips), id 2 otherwise
    // A side of 0, the other set, keeps the clip's proportions: worked out once it is open.
    bool correct = false;  // id 5
    int32_t contrast = 100;
    int32_t brightness = 0;
    bool invert = false;
    std::optional<bool> deinterlace;  // id 8; unset: as the clip's header says
    char field = 0;                   // the field kept: t, b, or 0 for the first in time
    std::string fade_with;            // id 7 against this clip's frames
    uint32_t fade_frames = 25;
    uint32_t fade_start = 0;   // frames of the run before the fade begins
    bool remap = false;        // ids 4 and 6: 8-bit colour-cube frames
    std::string connect;       // a `tamsa serve` port; "" runs the server here
    uint32_t sheet_every = 0;  // contact sheet of every Nth frame; 0 picks one
    bool progress = true;      // on stderr, when it is a terminal

    bool operator==(const record_options &) const = default;
};

// One option of tamsa record, as the parser takes it and the help lists it. Rows follow the
// order of the help; a row without a setter is a line of the help only.
struct record_option {
    const char *section;  // the heading it is listed under
    const char *names;    // "--size", or "-y, --overwrite"
    const char *value;    // its value in the help ("WxH"), or null for a switch
    // The help beside it, lines apart; {range} and {default} stand for those below.
    const char *help;
    void (*set)(record_options &o, const record_option &row, const std::string &value) = nullptr;
    const char *what = nullptr;  // the value in messages: "bad WHAT: ..."
    std::optional<settings::range> range = std::nullopt;
    const char *fallback = nullptr;  // the default, as the value that gives it
    // row.range's value, said wrong with the range in the message.
    int32_t ranged(const std::string &text) const;
};

std::span<const record_option> record_option_table();
// The text of tamsa record --help.
std::string record_help();

// Whether --out names a Y4M file; the formats --format takes.
bool is_y4m_file(const std::string &out);
bool known_format(const std::string &format);
inline constexpr const char *kRecordFormats = "ppm, pgm, pnm, png, rgb or y4m, in any case";

struct record_report {
    uint32_t frames = 0;
    uint32_t skipped = 0;                   // by --start
    int32_t width = 0, height = 0;          // of the input
    int32_t out_width = 0, out_height = 0;  // of the frames written
    double seconds = 0;
    double median_round_trip_ms = 0;
    uint64_t messages = 0;
    std::string sheet;          // the contact sheet's file, or ""
    std::string encoded_as;     // a video file's codec, encoder and layout, or ""
    std::string truncated;      // why the clip ended early (the warning given), or ""
    int stopped_by = 0;         // the signal that ended the run early, or 0
    std::vector<picture> kept;  // every frame made, when keep_frames is set
};

// Runs the pipeline; throws cli::usage_error or cli::failure with a one-line reason when it
// cannot.
record_report run_record(const record_options &options, bool keep_frames = false);

record_options parse_record_options(cli::args &args);

// Cube indexes are made from the first, second and third byte of a pixel; the frames hold blue
// first, so the levels of red and blue come out exchanged. This table of 256 puts them back
// (message id 6 after id 4).
std::vector<uint8_t> level_swap_table();
int record_command(cli::args &args);

}  // namespace tamsa::tools

#endif
