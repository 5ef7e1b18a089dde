#ifndef PLOT_H
#define PLOT_H

#include <cstddef>
#include <string>
#include <vector>

#include "report.h"

// plot: the MA and the volcano plot of one pair of conditions of a mirdle
// report, drawn with cairo.

enum plot_kind { kind_ma = 1, kind_volcano = 2, kind_both = 3 };
enum image_format { format_png, format_svg, format_pdf };

// Colours of the markers, 8 bits per channel.  Nothing else in a picture
// has them, so its marked pixels can be counted.
struct rgb8 {
    unsigned char r, g, b;
};
inline constexpr rgb8 plain_colour = {40, 90, 160};
inline constexpr rgb8 marked_colour = {220, 30, 30};
inline constexpr int marker_size = 5;  // square, in pixels or points

// One feature as a point of one panel.  A coordinate may be infinite; the
// point is then drawn at that edge of the plotting area.
struct plot_point {
    double x = 0, y = 0;
    bool marked = false;  // its P-value is below the threshold
    size_t row = 0;       // in the report
};

// What one panel holds and what it leaves out.
struct panel_data {
    plot_kind kind = kind_ma;
    std::vector<plot_point> points;
    size_t marked = 0;
    size_t all_zero = 0;      // "*": left out
    size_t not_a_number = 0;  // nan anywhere needed, or a negative mean: left out
    size_t infinite_fc = 0;   // drawn at an edge
    size_t zero_p = 0;        // volcano: P-value 0, drawn at the top edge
    size_t zero_mean = 0;     // MA: both means 0, drawn at the left edge
};

// MA panel: x = log2 of the mean of the pair's two means, y = log2 fold
// change.  Volcano panel: x = log2 fold change, y = -log10 P.  A feature is
// marked when its P-value (or, with adjusted, its Benjamini-Hochberg
// adjusted P-value, adjusted over all the pair's features) is below
// threshold.
panel_data panel_points(const report &r, size_t pair, plot_kind kind, double threshold,
                        bool adjusted);

// The rows of the n most extreme drawn features: smallest P-value first,
// ties by larger absolute log2 fold change, then report order.
std::vector<size_t> extreme_rows(const report &r, size_t pair, const panel_data &panel,
                                 size_t n);

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
    int width = 0, height = 0;
    double threshold = 0.05;
    bool adjusted = false;
    size_t labels = 0;
    size_t pair = 0;
    std::string first_name, second_name;  // the pair's conditions a and b
};

// Draws the panels side by side into request.output.  Returns an exit
// status after at most one message (73 when the file cannot be created, 74
// when it cannot be written, 70 when cairo fails otherwise).
int draw_plot(const plot_request &request, const report &r, const panel_data *panels,
              int count);

#endif
