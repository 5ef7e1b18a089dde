#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "exit_status.h"
#include "plot.h"
#include "vp_replace.h"

namespace {

// Data coordinates map into the plotting area less this margin; the edge
// positions for infinite values lie inside the margin.
constexpr double inset = 10.0;
constexpr double edge_offset = 4.0;

// In SVG and PDF a class of markers beyond these counts in one plot goes
// into an embedded image: every marker a vector shape would make the file
// grow by tens of bytes a feature.  Plain markers are filled one by one, so
// that where they lie on each other the grey darkens as in a PNG.
constexpr size_t vector_plain_limit = 1000;
constexpr size_t vector_marked_limit = 10000;
constexpr double image_side_limit = 8000;  // pixels

struct range {
    double low, high;
};

void set_colour(cairo_t *cr, rgb8 c, double alpha = 1.0)
{
    cairo_set_source_rgba(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0, alpha);
}

void set_class_colour(cairo_t *cr, point_class cls)
{
    if (cls == class_plain)
        set_colour(cr, plain_colour, plain_alpha);
    else
        set_colour(cr, cls == class_up ? up_colour : down_colour);
}

void set_font(cairo_t *cr, double size, bool bold)
{
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
}

double text_width(cairo_t *cr, const std::string &text)
{
    cairo_text_extents_t e;
    cairo_text_extents(cr, utf8_safe(text).c_str(), &e);
    return e.x_advance;
}

// align: 0 left, 0.5 centred, 1 right of x.
void text_at(cairo_t *cr, const std::string &text, double x, double y, double align)
{
    const std::string safe = utf8_safe(text);
    cairo_move_to(cr, x - align * text_width(cr, safe), y);
    cairo_show_text(cr, safe.c_str());
}

std::string format_text(const char *format, ...) __attribute__((format(printf, 1, 2)));

std::string format_text(const char *format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// The finite range of the points' x (or y) values; symmetric about 0 when
// asked, and never empty.
range finite_range(const std::vector<plot_point> &points, bool use_x, bool symmetric,
                   double at_least)
{
    double low = INFINITY, high = -INFINITY;
    for (const plot_point &p : points) {
        const double v = use_x ? p.x : p.y;
        if (std::isfinite(v)) {
            low = std::min(low, v);
            high = std::max(high, v);
        }
    }
    if (symmetric) {
        double m = std::max(std::fabs(low), std::fabs(high));
        if (!std::isfinite(m) || m == 0.0)
            m = 1.0;
        m = std::max(m, at_least);
        return {-m, m};
    }
    if (!std::isfinite(low))
        return {0.0, std::max(1.0, at_least)};
    high = std::max(high, at_least);
    if (high - low < 1e-9) {
        low -= 1.0;
        high += 1.0;
    }
    return {low, high};
}

// Where a panel lies and what its axes span.
struct panel_frame {
    double left = 0, width = 0;
    box area{};
    range xr{}, yr{};
    double p_line = NAN;   // volcano: -log10 of the P-value of the threshold line
    double fc_line = NAN;  // log2 of the fold change of the guide lines
};

double map_x(double x, const panel_frame &f)
{
    const box &area = f.area;
    if (x == INFINITY)
        return area.right - 1 - edge_offset;
    if (x == -INFINITY)
        return area.left + edge_offset;
    const double from = area.left + inset, to = area.right - 1 - inset;
    return from + (x - f.xr.low) / (f.xr.high - f.xr.low) * (to - from);
}

double map_y(double y, const panel_frame &f)
{
    const box &area = f.area;
    if (y == INFINITY)
        return area.top + edge_offset;
    if (y == -INFINITY)
        return area.bottom - 1 - edge_offset;
    const double from = area.bottom - 1 - inset, to = area.top + inset;
    return from + (y - f.yr.low) / (f.yr.high - f.yr.low) * (to - from);
}

// The pixel a point's marker is centred on (its top left corner).
spot marker_spot(const plot_point &p, const panel_frame &f)
{
    return {std::floor(map_x(p.x, f)), std::floor(map_y(p.y, f))};
}

panel_frame frame_panel(const plot_request &request, const panel_data &panel, double left,
                        double width, double top)
{
    panel_frame f;
    f.left = left;
    f.width = width;
    f.area = {std::floor(left + 70), std::floor(top), std::floor(left + width - 14),
              std::floor(static_cast<double>(request.height) - 50)};
    if (request.fc_line > 1)
        f.fc_line = std::log2(request.fc_line);
    const double fc_reach = std::isnan(f.fc_line) ? 0 : f.fc_line * 1.05;
    if (panel.kind == kind_ma) {
        f.xr = finite_range(panel.points, true, false, -INFINITY);
        f.yr = finite_range(panel.points, false, true, fc_reach);
        return f;
    }
    if (!request.adjusted)
        f.p_line = -std::log10(request.threshold);
    else if (panel.largest_marked_p > 0)
        f.p_line = -std::log10(panel.largest_marked_p);
    f.xr = finite_range(panel.points, true, true, fc_reach);
    f.yr = finite_range(panel.points, false, false, std::isfinite(f.p_line) ? f.p_line : 1.0);
    f.yr.low = std::min(f.yr.low, 0.0);
    // The most significant features lie along the top; their labels need
    // room above them.
    if (request.labels > 0)
        f.yr.high += 0.1 * (f.yr.high - f.yr.low);
    return f;
}

// A crisp line one pixel wide through the centres of the pixels.
void pixel_line(cairo_t *cr, double x0, double y0, double x1, double y1)
{
    cairo_move_to(cr, std::floor(x0) + 0.5, std::floor(y0) + 0.5);
    cairo_line_to(cr, std::floor(x1) + 0.5, std::floor(y1) + 0.5);
    cairo_stroke(cr);
}

// A square of marker_size, or for an infinite coordinate a triangle of the
// same height pointing out of the area (the fold change's direction first),
// with its tip where the square's edge would be.
void add_marker(cairo_t *cr, const plot_point &p, spot at, plot_kind kind)
{
    const double x = at.x, y = at.y;
    const double h = (marker_size - 1) / 2;  // rows above the centre row
    const bool fc_across = kind == kind_volcano;
    int dir = 0;  // 1 up, 2 down, 3 left, 4 right
    if (std::isinf(p.y) && !(fc_across && std::isinf(p.x)))
        dir = p.y > 0 ? 1 : 2;
    else if (std::isinf(p.x))
        dir = p.x > 0 ? 4 : 3;
    if (dir == 0) {
        cairo_rectangle(cr, x - h, y - h, marker_size, marker_size);
        return;
    }
    const double tip = h, base = h + 1, side = h + 1.5;
    if (dir == 1 || dir == 2) {
        const double tip_y = dir == 1 ? y - tip : y + base;
        const double base_y = dir == 1 ? y + base : y - tip;
        cairo_move_to(cr, x + 0.5, tip_y);
        cairo_line_to(cr, x + 0.5 + side, base_y);
        cairo_line_to(cr, x + 0.5 - side, base_y);
    } else {
        const double tip_x = dir == 3 ? x - tip : x + base;
        const double base_x = dir == 3 ? x + base : x - tip;
        cairo_move_to(cr, tip_x, y + 0.5);
        cairo_line_to(cr, base_x, y + 0.5 + side);
        cairo_line_to(cr, base_x, y + 0.5 - side);
    }
    cairo_close_path(cr);
}

// Draws one class of a panel's markers: plain ones each filled alone, so
// that overlaps darken, the opaque ones as one shape.
void fill_class(cairo_t *cr, const panel_data &panel, const panel_frame &f, point_class cls)
{
    set_class_colour(cr, cls);
    for (const plot_point &p : panel.points) {
        if (p.cls != cls)
            continue;
        add_marker(cr, p, marker_spot(p, f), panel.kind);
        if (cls == class_plain)
            cairo_fill(cr);
    }
    cairo_fill(cr);
}

// The same into an image at scale pixels per unit, painted over the area.
void paint_class_image(cairo_t *cr, const panel_data &panel, const panel_frame &f,
                       point_class cls, double scale)
{
    const double w = f.area.right - f.area.left, h = f.area.bottom - f.area.top;
    scale = std::min(scale, image_side_limit / std::max(w, h));
    cairo_surface_t *image =
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(std::ceil(w * scale)),
                                   static_cast<int>(std::ceil(h * scale)));
    cairo_t *ic = cairo_create(image);
    cairo_scale(ic, scale, scale);
    cairo_translate(ic, -f.area.left, -f.area.top);
    cairo_set_antialias(ic, CAIRO_ANTIALIAS_NONE);
    fill_class(ic, panel, f, cls);
    cairo_destroy(ic);
    cairo_save(cr);
    cairo_translate(cr, f.area.left, f.area.top);
    cairo_scale(cr, 1 / scale, 1 / scale);
    cairo_set_source_surface(cr, image, 0, 0);
    cairo_paint(cr);
    cairo_restore(cr);
    cairo_surface_destroy(image);
}

void draw_axes(cairo_t *cr, const panel_frame &f, const char *x_title, const char *y_title)
{
    const box &area = f.area;
    const std::vector<double> xt = nice_ticks(f.xr.low, f.xr.high, 6);
    const std::vector<double> yt = nice_ticks(f.yr.low, f.yr.high, 6);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    cairo_set_line_width(cr, 1.0);
    cairo_set_source_rgb(cr, 0.9, 0.9, 0.9);
    for (double t : xt)
        pixel_line(cr, map_x(t, f), area.top + 1, map_x(t, f), area.bottom - 2);
    for (double t : yt)
        pixel_line(cr, area.left + 1, map_y(t, f), area.right - 2, map_y(t, f));
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_rectangle(cr, area.left + 0.5, area.top + 0.5, area.right - area.left - 1,
                    area.bottom - area.top - 1);
    cairo_stroke(cr);
    for (double t : xt)
        pixel_line(cr, map_x(t, f), area.bottom, map_x(t, f), area.bottom + 4);
    for (double t : yt)
        pixel_line(cr, area.left - 5, map_y(t, f), area.left - 1, map_y(t, f));
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);

    set_font(cr, 11, false);
    const double xstep = xt.size() > 1 ? xt[1] - xt[0] : 1.0;
    const double ystep = yt.size() > 1 ? yt[1] - yt[0] : 1.0;
    for (double t : xt)
        text_at(cr, tick_label(t, xstep), map_x(t, f) + 0.5, area.bottom + 17, 0.5);
    for (double t : yt)
        text_at(cr, tick_label(t, ystep), area.left - 8, map_y(t, f) + 4.5, 1.0);
    set_font(cr, 12, false);
    text_at(cr, x_title, (area.left + area.right) / 2, area.bottom + 36, 0.5);
    cairo_save(cr);
    cairo_move_to(cr, f.left + 18, (area.top + area.bottom) / 2 + text_width(cr, y_title) / 2);
    cairo_rotate(cr, -M_PI / 2);
    cairo_show_text(cr, utf8_safe(y_title).c_str());
    cairo_restore(cr);
}

// --- the legend ------------------------------------------------------------

enum legend_symbol { symbol_none, symbol_up, symbol_down, symbol_plain, symbol_edge,
                     symbol_p_line, symbol_fc_line };

struct legend_item {
    legend_symbol symbol;
    std::string text;
};

constexpr double symbol_width = 18, item_gap = 14, legend_line = 15, legend_top = 39;
const double p_dash[] = {5.0, 3.0};
const double fc_dash[] = {2.0, 2.0};

std::vector<legend_item> legend_items(const plot_request &request, const panel_data &panel,
                                      const panel_frame &f)
{
    const char *p = request.adjusted ? "adjusted P" : "P";
    std::vector<legend_item> items = {
        {symbol_up, format_text("up: %zu", panel.up)},
        {symbol_down, format_text("down: %zu", panel.down)},
        {symbol_plain, format_text("not significant: %zu", panel.points.size() - panel.marked)},
        {symbol_none, format_text("(significant: %s < %g)", p, request.threshold)},
    };
    if (panel.infinite_fc > 0)
        items.push_back(
            {symbol_edge, format_text("infinite log2 FC, at the edge: %zu", panel.infinite_fc)});
    if (panel.zero_p > 0)
        items.push_back({symbol_edge, format_text("P = 0, at the top: %zu", panel.zero_p)});
    if (panel.zero_mean > 0)
        items.push_back(
            {symbol_edge, format_text("means 0, at the left edge: %zu", panel.zero_mean)});
    if (std::isfinite(f.p_line))
        items.push_back({symbol_p_line, request.adjusted
                                            ? format_text("P = %.3g, the largest significant",
                                                          std::pow(10.0, -f.p_line))
                                            : format_text("P = %g", request.threshold)});
    if (std::isfinite(f.fc_line))
        items.push_back({symbol_fc_line, format_text("fold change %g or 1/%g", request.fc_line,
                                                     request.fc_line)});
    if (panel.all_zero > 0)
        items.push_back({symbol_none, format_text("all-zero, left out: %zu", panel.all_zero)});
    if (panel.not_a_number > 0)
        items.push_back({symbol_none, format_text("NaN, left out: %zu", panel.not_a_number)});
    return items;
}

double item_width(cairo_t *cr, const legend_item &item)
{
    return (item.symbol == symbol_none ? 0 : symbol_width + 4) + text_width(cr, item.text);
}

// The items flowed into lines no wider than the panel.
std::vector<std::vector<size_t>> legend_lines(cairo_t *cr, const std::vector<legend_item> &items,
                                              double width)
{
    set_font(cr, 11, false);
    std::vector<std::vector<size_t>> lines(1);
    double used = 0;
    for (size_t k = 0; k < items.size(); ++k) {
        const double w = item_width(cr, items[k]);
        if (!lines.back().empty() && used + item_gap + w > width - 16) {
            lines.emplace_back();
            used = 0;
        }
        used += (lines.back().empty() ? 0 : item_gap) + w;
        lines.back().push_back(k);
    }
    return lines;
}

void draw_symbol(cairo_t *cr, legend_symbol symbol, double x, double y)
{
    // x: left end of the symbol's room, y: the text's middle.
    const double mx = std::floor(x + symbol_width / 2), my = std::floor(y);
    cairo_save(cr);
    switch (symbol) {
    case symbol_up:
    case symbol_down:
    case symbol_plain: {
        cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
        set_class_colour(cr, symbol == symbol_up     ? class_up
                             : symbol == symbol_down ? class_down
                                                     : class_plain);
        plot_point p;
        add_marker(cr, p, {mx, my}, kind_ma);
        cairo_fill(cr);
        break;
    }
    case symbol_edge:
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        cairo_set_line_width(cr, 1.0);
        cairo_move_to(cr, mx - 6, my + 3);
        cairo_line_to(cr, mx - 3, my - 3);
        cairo_line_to(cr, mx, my + 3);
        cairo_close_path(cr);
        cairo_move_to(cr, mx + 2, my - 3);
        cairo_line_to(cr, mx + 5, my + 3);
        cairo_line_to(cr, mx + 8, my - 3);
        cairo_close_path(cr);
        cairo_stroke(cr);
        break;
    case symbol_p_line:
    case symbol_fc_line:
        cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
        if (symbol == symbol_p_line)
            cairo_set_source_rgb(cr, 0.35, 0.35, 0.35);
        else
            set_colour(cr, fc_line_colour);
        cairo_set_line_width(cr, 1.0);
        cairo_set_dash(cr, symbol == symbol_p_line ? p_dash : fc_dash, 2, 0);
        pixel_line(cr, x, my, x + symbol_width, my);
        break;
    case symbol_none:
        break;
    }
    cairo_restore(cr);
}

void draw_legend(cairo_t *cr, const std::vector<legend_item> &items,
                 const std::vector<std::vector<size_t>> &lines, const panel_frame &f)
{
    set_font(cr, 11, false);
    for (size_t l = 0; l < lines.size(); ++l) {
        double width = 0;
        for (size_t k : lines[l])
            width += (k == lines[l].front() ? 0 : item_gap) + item_width(cr, items[k]);
        double x = std::floor(f.left + (f.width - width) / 2);
        const double y = legend_top + legend_line * static_cast<double>(l);
        for (size_t k : lines[l]) {
            if (k != lines[l].front())
                x += item_gap;
            if (items[k].symbol != symbol_none) {
                draw_symbol(cr, items[k].symbol, x, y - 3.5);
                x += symbol_width + 4;
            }
            cairo_set_source_rgb(cr, 0, 0, 0);
            text_at(cr, items[k].text, x, y, 0.0);
            x += text_width(cr, items[k].text);
        }
    }
}

// --- labels ----------------------------------------------------------------

// The features to label: the most extreme first, each one only when its
// marker lies apart from those of the features taken before, in every plot,
// so that no two labels name what looks like one point.
std::vector<size_t> label_rows(const plot_request &request, const report &r, const study &s,
                               const panel_data *panels, const panel_frame *frames, int count)
{
    if (request.labels == 0)
        return {};
    const std::vector<size_t> order =
        extreme_rows(s, request.pair, panels[0], panels[0].points.size());
    std::vector<std::vector<spot>> positions(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k) {
        std::vector<const plot_point *> by_row(r.rows, nullptr);
        for (const plot_point &p : panels[k].points)
            by_row[p.row] = &p;
        for (size_t row : order)
            positions[static_cast<size_t>(k)].push_back(
                by_row[row] ? marker_spot(*by_row[row], frames[k]) : spot{NAN, NAN});
    }
    std::vector<size_t> rows;
    for (size_t c : distinct_points(positions, request.labels, marker_size + 2.0))
        rows.push_back(order[c]);
    return rows;
}

void draw_labels(cairo_t *cr, const report &r, const panel_data &panel, const panel_frame &f,
                 const std::vector<size_t> &rows)
{
    std::vector<const plot_point *> by_row(r.rows, nullptr);
    for (const plot_point &p : panel.points)
        by_row[p.row] = &p;
    std::vector<spot> markers;
    for (const plot_point &p : panel.points) {
        const spot s = marker_spot(p, f);
        markers.push_back({s.x + 0.5, s.y + 0.5});
    }
    const marker_density density = count_markers(f.area, markers);
    set_font(cr, 10, false);
    cairo_font_extents_t fe;
    cairo_font_extents(cr, &fe);
    std::vector<spot> anchors, sizes;
    std::vector<std::string> texts;
    for (size_t row : rows) {
        if (by_row[row] == nullptr)
            continue;
        const spot s = marker_spot(*by_row[row], f);
        anchors.push_back({s.x + 0.5, s.y + 0.5});
        texts.push_back(utf8_safe(r.ids[row]));
        sizes.push_back({text_width(cr, texts.back()) + 2, fe.ascent + fe.descent});
    }
    const label_layout layout =
        place_labels(f.area, anchors, sizes, marker_size / 2.0, density);
    cairo_set_source_rgb(cr, 0.3, 0.3, 0.3);
    cairo_set_line_width(cr, 0.8);
    for (size_t k = 0; k < anchors.size(); ++k) {
        if (!layout.placed[k] || !layout.leader[k])
            continue;
        const spot end = nearest_on_box(layout.boxes[k], anchors[k]);
        const double dx = end.x - anchors[k].x, dy = end.y - anchors[k].y;
        const double length = std::hypot(dx, dy);
        // From the marker's edge, not its centre.
        const double from = std::min(length, marker_size / 2.0 + 0.5) / length;
        cairo_move_to(cr, anchors[k].x + dx * from, anchors[k].y + dy * from);
        cairo_line_to(cr, end.x, end.y);
        cairo_stroke(cr);
    }
    // A light box under the letters keeps them legible over markers.
    for (size_t k = 0; k < anchors.size(); ++k) {
        if (!layout.placed[k])
            continue;
        const box &b = layout.boxes[k];
        cairo_rectangle(cr, b.left, b.top, b.right - b.left, b.bottom - b.top);
    }
    cairo_set_source_rgba(cr, 1, 1, 1, 0.8);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0, 0, 0);
    for (size_t k = 0; k < anchors.size(); ++k) {
        if (!layout.placed[k])
            continue;
        cairo_move_to(cr, layout.boxes[k].left + 1, layout.boxes[k].top + fe.ascent);
        cairo_show_text(cr, texts[k].c_str());
    }
}

// --- panels ----------------------------------------------------------------

void draw_panel(cairo_t *cr, const plot_request &request, const report &r,
                const panel_data &panel, const panel_frame &f,
                const std::vector<legend_item> &items,
                const std::vector<std::vector<size_t>> &lines, const std::vector<size_t> &rows)
{
    const bool ma = panel.kind == kind_ma;
    const box &area = f.area;
    const std::string vs = request.second_name + " vs " + request.first_name;
    const std::string fc_title = "log2 fold change (" + vs + ")";

    cairo_set_source_rgb(cr, 0, 0, 0);
    set_font(cr, 15, true);
    text_at(cr, (ma ? "MA plot: " : "Volcano plot: ") + vs, f.left + f.width / 2, 22, 0.5);
    draw_legend(cr, items, lines, f);
    draw_axes(cr, f, ma ? "log2 mean abundance" : fc_title.c_str(),
              ma ? fc_title.c_str() : "-log10 P-value");

    cairo_save(cr);
    cairo_rectangle(cr, area.left + 1, area.top + 1, area.right - area.left - 2,
                    area.bottom - area.top - 2);
    cairo_clip(cr);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    cairo_set_line_width(cr, 1.0);
    cairo_set_source_rgb(cr, 0.55, 0.55, 0.55);
    if (ma)
        pixel_line(cr, area.left + 1, map_y(0, f), area.right - 2, map_y(0, f));
    else
        pixel_line(cr, map_x(0, f), area.top + 1, map_x(0, f), area.bottom - 2);
    cairo_set_source_rgb(cr, 0.35, 0.35, 0.35);
    if (std::isfinite(f.p_line) && f.p_line >= f.yr.low && f.p_line <= f.yr.high) {
        cairo_set_dash(cr, p_dash, 2, 0);
        pixel_line(cr, area.left + 1, map_y(f.p_line, f), area.right - 2, map_y(f.p_line, f));
    }
    if (std::isfinite(f.fc_line)) {
        set_colour(cr, fc_line_colour);
        cairo_set_dash(cr, fc_dash, 2, 0);
        for (double v : {-f.fc_line, f.fc_line}) {
            if (ma)
                pixel_line(cr, area.left + 1, map_y(v, f), area.right - 2, map_y(v, f));
            else
                pixel_line(cr, map_x(v, f), area.top + 1, map_x(v, f), area.bottom - 2);
        }
    }
    cairo_set_dash(cr, nullptr, 0, 0);
    size_t in_class[3] = {0, 0, 0};
    for (const plot_point &p : panel.points)
        ++in_class[p.cls];
    const double image_scale = (request.dpi > 0 ? request.dpi : 216) / 72;
    for (point_class cls : {class_plain, class_down, class_up}) {
        const size_t limit = cls == class_plain ? vector_plain_limit : vector_marked_limit;
        if (request.format != format_png && in_class[cls] > limit)
            paint_class_image(cr, panel, f, cls, image_scale);
        else
            fill_class(cr, panel, f, cls);
    }
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
    draw_labels(cr, r, panel, f, rows);
    cairo_restore(cr);
}

struct output_file {
    FILE *stream;
    int error;  // errno of the first failed write
};

cairo_status_t write_to_file(void *closure, const unsigned char *data, unsigned int length)
{
    output_file *out = static_cast<output_file *>(closure);
    if (out->error == 0 && std::fwrite(data, 1, length, out->stream) == length)
        return CAIRO_STATUS_SUCCESS;
    if (out->error == 0)
        out->error = errno ? errno : EIO;
    return CAIRO_STATUS_WRITE_ERROR;
}

}  // namespace

int draw_plot(const plot_request &request, const report &r, const study &s,
              const panel_data *panels, int count)
{
    vp_replacement file;
    output_file out = {vp_replace_open(request.output, &file), 0};
    if (out.stream == nullptr) {
        std::fprintf(stderr, "%s: cannot create %s: %s\n", cli_name(), request.output,
                     std::strerror(errno));
        return exit_cant_create;
    }
    const double w = request.width, h = request.height;
    const double scale = request.format == format_png && request.dpi > 0 ? request.dpi / 72 : 1;
    cairo_surface_t *surface =
        request.format == format_png
            ? cairo_image_surface_create(CAIRO_FORMAT_RGB24,
                                         static_cast<int>(std::lround(w * scale)),
                                         static_cast<int>(std::lround(h * scale)))
        : request.format == format_svg
            ? cairo_svg_surface_create_for_stream(write_to_file, &out, w, h)
            : cairo_pdf_surface_create_for_stream(write_to_file, &out, w, h);
    cairo_t *cr = cairo_create(surface);
    cairo_scale(cr, scale, scale);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    // Panels side by side share the top of their plotting areas, below the
    // longest legend.
    std::vector<std::vector<legend_item>> items(static_cast<size_t>(count));
    std::vector<std::vector<std::vector<size_t>>> lines(static_cast<size_t>(count));
    panel_frame frames[2];
    size_t most_lines = 1;
    for (int pass = 0; pass < 2; ++pass)
        for (int k = 0; k < count; ++k) {
            const size_t at = static_cast<size_t>(k);
            const double top = legend_top + legend_line * static_cast<double>(most_lines) - 4;
            frames[k] = frame_panel(request, panels[k], w * k / count, w / count, top);
            if (pass == 0) {
                items[at] = legend_items(request, panels[k], frames[k]);
                lines[at] = legend_lines(cr, items[at], w / count);
                most_lines = std::max(most_lines, lines[at].size());
            }
        }
    const std::vector<size_t> rows = label_rows(request, r, s, panels, frames, count);
    for (int k = 0; k < count; ++k)
        draw_panel(cr, request, r, panels[k], frames[k], items[static_cast<size_t>(k)],
                   lines[static_cast<size_t>(k)], rows);
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    if (status == CAIRO_STATUS_SUCCESS && request.format == format_png)
        status = cairo_surface_write_to_png_stream(surface, write_to_file, &out);
    cairo_surface_finish(surface);
    if (status == CAIRO_STATUS_SUCCESS)
        status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    // The font caches live until these calls; leak checkers see them otherwise.
    cairo_debug_reset_static_data();
    FcFini();

    errno = 0;
    if ((std::ferror(out.stream) | std::fclose(out.stream)) && out.error == 0)
        out.error = errno ? errno : EIO;
    if (status == CAIRO_STATUS_WRITE_ERROR || out.error != 0) {
        vp_replace_discard(&file);
        std::fprintf(stderr, "%s: cannot write %s: %s\n", cli_name(), request.output,
                     std::strerror(out.error ? out.error : EIO));
        return exit_io;
    }
    if (status != CAIRO_STATUS_SUCCESS) {
        vp_replace_discard(&file);
        std::fprintf(stderr, "%s: cannot draw %s: %s\n", cli_name(), request.output,
                     cairo_status_to_string(status));
        return status == CAIRO_STATUS_NO_MEMORY ? exit_no_memory : exit_internal;
    }
    if (const int err = vp_replace_finish(&file); err != 0) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", cli_name(), request.output,
                     std::strerror(err));
        return exit_io;
    }
    return exit_ok;
}
