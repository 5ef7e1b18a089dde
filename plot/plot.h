#ifndef PLOT_H
#define PLOT_H

#include <cstddef>
#include <string>
#include <vector>

#include "report_reader.h"
#include "study.h"

// plot: the MA and the volcano plot of one pair of conditions of a mirdle
// report, drawn with cairo.

enum plot_kind { kind_ma = 1, kind_volcano = 2, kind_both = 3 };
enum image_format { format_png, format_svg, format_pdf };

// Colours of the markers, 8 bits per channel.  Nothing else in a picture
// has them, so its marked pixels can be counted.  Features that are not
// significant are drawn with plain_alpha, so that where many lie on each
// other the grey darkens; one alone over white is 153 + 0.4 c in each
// channel, exactly, as 0.4 is 102/255 and the channels are multiples of 5.
struct rgb8 {
    unsigned char r, g, b;
};
inline constexpr rgb8 plain_colour = {110, 115, 125};  // over white: 197,199,203
inline constexpr double plain_alpha = 0.4;
inline constexpr rgb8 up_colour = {215, 35, 35};
inline constexpr rgb8 down_colour = {30, 95, 200};
inline constexpr rgb8 fc_line_colour = {0, 130, 110};
inline constexpr int marker_size = 5;  // square, in pixels or points at 72 dpi

enum point_class { class_plain, class_down, class_up };

// One feature as a point of one panel.  A coordinate may be infinite; the
// point is then drawn at that edge of the plotting area, as a triangle
// pointing out of it.
struct plot_point {
    double x = 0, y = 0;
    point_class cls = class_plain;  // significant, and the sign of its log2 FC
    size_t row = 0;                 // in the report
};

// What one panel holds and what it leaves out.
struct panel_data {
    plot_kind kind = kind_ma;
    std::vector<plot_point> points;
    size_t marked = 0;        // up + down
    size_t up = 0, down = 0;  // significant with log2 FC > 0, and the others
    size_t all_zero = 0;      // "*": left out
    size_t not_a_number = 0;  // nan anywhere needed, or a negative mean: left out
    size_t infinite_fc = 0;   // drawn at an edge
    size_t zero_p = 0;        // volcano: P-value 0, drawn at the top edge
    size_t zero_mean = 0;     // MA: both means 0, drawn at the left edge
    double largest_marked_p = -1;  // of the marked features; -1 without any
};

// MA panel: x = log2 of the mean of the pair's two means, y = log2 fold
// change.  Volcano panel: x = log2 fold change, y = -log10 P.  The means and
// fold changes are the study's (of the means, from the tables when it read
// them); reversed turns the pair round, negating the log2 fold change.  A
// feature is marked when its P-value (or, with adjusted, the study's
// Benjamini-Hochberg adjusted P-value) is below threshold; up when its log2
// fold change is above 0, down otherwise.
panel_data panel_points(const study &s, size_t pair, bool reversed, plot_kind kind,
                        double threshold, bool adjusted);

// The rows of the drawn features in the order they are offered a label:
// smallest P-value first, ties by larger absolute log2 fold change, then
// report order.  At most n of them.
std::vector<size_t> extreme_rows(const study &s, size_t pair, const panel_data &panel, size_t n);

// Plane geometry of the labels, in the units of the picture.
struct box {
    double left, top, right, bottom;
};

struct spot {
    double x, y;
};

// Takes candidates in order (positions[k][c]: candidate c in panel k) and
// keeps those whose point lies at least apart from every point kept before,
// in every panel, until n are kept.  Returns the candidates' indices.
std::vector<size_t> distinct_points(const std::vector<std::vector<spot>> &positions, size_t n,
                                    double apart);

// How many markers lie in each cell of a grid over an area, with sums over
// rectangles in constant time.
struct marker_density {
    box area{};
    double cell = 1;
    int columns = 0, rows = 0;
    std::vector<unsigned> sums;  // (rows + 1) * (columns + 1), summed from the top left
};

marker_density count_markers(const box &area, const std::vector<spot> &markers);
unsigned markers_in(const marker_density &d, const box &b);

// Where the label of each anchor goes: a box of its size, inside the area,
// overlapping no other label, no anchor's marker (half is the marker's half
// width) and no other label's leader line, and as few other markers as
// reachable nearby.  leader[k] tells whether the box lies away from its
// anchor and needs a line to it; placed[k] is false for a label with no
// room at all.  Depends on nothing but its arguments.
struct label_layout {
    std::vector<box> boxes;
    std::vector<bool> leader, placed;
};

label_layout place_labels(const box &area, const std::vector<spot> &anchors,
                          const std::vector<spot> &sizes, double half,
                          const marker_density &density);

// The point of b nearest to p.
spot nearest_on_box(const box &b, spot p);

// The text with every byte that does not belong to a well-formed UTF-8
// sequence replaced by "?", as the drawing library takes only UTF-8.
std::string utf8_safe(const std::string &text);

// Tick positions for a range: multiples of 1, 2 or 5 times a power of ten,
// about target of them, all within [low, high].
std::vector<double> nice_ticks(double low, double high, int target);

// A tick's label: as few decimals as the step needs, never "-0".
std::string tick_label(double value, double step);

struct plot_request {
    const char *output = nullptr;
    image_format format = format_png;
    plot_kind kind = kind_both;
    int width = 0, height = 0;  // in points; pixels at 72 dpi
    double dpi = 0;             // 0: 72 for PNG, 216 for images inside SVG and PDF
    double threshold = 0.05;
    double fc_line = 0;  // a fold change above 1 for guide lines at +-log2 of it; 0: none
    bool adjusted = false;
    size_t labels = 0;
    size_t pair = 0;  // in report order
    // The pair's conditions as asked for: the fold change is second over
    // first, the report's turned round when reversed.
    std::string first_name, second_name;
};

// Draws the panels side by side into request.output.  Returns an exit
// status after at most one message (73 when the file cannot be created, 74
// when it cannot be written, 70 when cairo fails otherwise).
int draw_plot(const plot_request &request, const report &r, const study &s,
              const panel_data *panels, int count);

#endif
