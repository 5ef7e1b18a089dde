#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "exit_status.h"
#include "plot.h"

namespace {

const char *const program = "plot";

// Data coordinates map into the plotting area less this margin; the edge
// positions for infinite values lie inside the margin.
constexpr double inset = 10.0;
constexpr double edge_offset = 4.0;

struct box {
    double left, top, right, bottom;  // pixel edges: columns left .. right - 1
};

struct range {
    double low, high;
};

void set_colour(cairo_t *cr, rgb8 c)
{
    cairo_set_source_rgb(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0);
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

double map_x(double x, range xr, const box &area)
{
    if (x == INFINITY)
        return area.right - 1 - edge_offset;
    if (x == -INFINITY)
        return area.left + edge_offset;
    const double from = area.left + inset, to = area.right - 1 - inset;
    return from + (x - xr.low) / (xr.high - xr.low) * (to - from);
}

double map_y(double y, range yr, const box &area)
{
    if (y == INFINITY)
        return area.top + edge_offset;
    if (y == -INFINITY)
        return area.bottom - 1 - edge_offset;
    const double from = area.bottom - 1 - inset, to = area.top + inset;
    return from + (y - yr.low) / (yr.high - yr.low) * (to - from);
}

// A crisp line one pixel wide through the centres of the pixels.
void pixel_line(cairo_t *cr, double x0, double y0, double x1, double y1)
{
    cairo_move_to(cr, std::floor(x0) + 0.5, std::floor(y0) + 0.5);
    cairo_line_to(cr, std::floor(x1) + 0.5, std::floor(y1) + 0.5);
    cairo_stroke(cr);
}

void draw_marker(cairo_t *cr, double x, double y)
{
    const double half = (marker_size - 1) / 2;
    cairo_rectangle(cr, std::floor(x) - half, std::floor(y) - half, marker_size, marker_size);
    cairo_fill(cr);
}

std::string format_count(size_t n, const char *what)
{
    char text[256];
    std::snprintf(text, sizeof text, "%zu %s", n, what);
    return text;
}

void draw_axes(cairo_t *cr, const box &area, range xr, range yr, const char *x_title,
               const char *y_title, double panel_left)
{
    const std::vector<double> xt = nice_ticks(xr.low, xr.high, 6);
    const std::vector<double> yt = nice_ticks(yr.low, yr.high, 6);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    cairo_set_line_width(cr, 1.0);
    cairo_set_source_rgb(cr, 0.9, 0.9, 0.9);
    for (double t : xt)
        pixel_line(cr, map_x(t, xr, area), area.top + 1, map_x(t, xr, area), area.bottom - 2);
    for (double t : yt)
        pixel_line(cr, area.left + 1, map_y(t, yr, area), area.right - 2, map_y(t, yr, area));
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_rectangle(cr, area.left + 0.5, area.top + 0.5, area.right - area.left - 1,
                    area.bottom - area.top - 1);
    cairo_stroke(cr);
    for (double t : xt)
        pixel_line(cr, map_x(t, xr, area), area.bottom, map_x(t, xr, area), area.bottom + 4);
    for (double t : yt)
        pixel_line(cr, area.left - 5, map_y(t, yr, area), area.left - 1, map_y(t, yr, area));
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);

    set_font(cr, 11, false);
    const double xstep = xt.size() > 1 ? xt[1] - xt[0] : 1.0;
    const double ystep = yt.size() > 1 ? yt[1] - yt[0] : 1.0;
    for (double t : xt)
        text_at(cr, tick_label(t, xstep), map_x(t, xr, area) + 0.5, area.bottom + 17, 0.5);
    for (double t : yt)
        text_at(cr, tick_label(t, ystep), area.left - 8, map_y(t, yr, area) + 4.5, 1.0);
    set_font(cr, 12, false);
    text_at(cr, x_title, (area.left + area.right) / 2, area.bottom + 36, 0.5);
    cairo_save(cr);
    cairo_move_to(cr, panel_left + 18, (area.top + area.bottom) / 2 + text_width(cr, y_title) / 2);
    cairo_rotate(cr, -M_PI / 2);
    cairo_show_text(cr, utf8_safe(y_title).c_str());
    cairo_restore(cr);
}

bool overlaps(const box &a, const box &b)
{
    return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

// Where a label of width w goes beside its marker at (x, y): right, left,
// above or below it, the first place inside the area that no earlier label
// holds; the first place inside the area when every one is taken.
box label_place(double x, double y, double w, const box &area, const std::vector<box> &placed)
{
    const box candidates[] = {
        {x + 5, y - 6, x + 5 + w, y + 6},
        {x - 4 - w, y - 6, x - 4, y + 6},
        {x - w / 2, y - 16, x + w / 2, y - 4},
        {x - w / 2, y + 4, x + w / 2, y + 16},
    };
    const box *fallback = nullptr;
    for (const box &c : candidates) {
        if (c.left < area.left + 2 || c.right > area.right - 2 || c.top < area.top + 2 ||
            c.bottom > area.bottom - 2)
            continue;
        if (fallback == nullptr)
            fallback = &c;
        bool free = true;
        for (const box &p : placed)
            free = free && !overlaps(c, p);
        if (free)
            return c;
    }
    return fallback != nullptr ? *fallback : candidates[0];
}

// The lines under a panel's title: the colour key, then what is drawn at
// an edge or left out, broken to fit the panel's width.
std::vector<std::string> note_lines(cairo_t *cr, const plot_request &request,
                                    const panel_data &panel, double panel_width)
{
    char key[256];
    std::snprintf(key, sizeof key, "Red: %s < %g (%zu of %zu drawn)",
                  request.adjusted ? "adjusted P" : "P", request.threshold, panel.marked,
                  panel.points.size());
    std::vector<std::string> lines = {key};
    std::vector<std::string> pieces;
    auto add = [&pieces](size_t n, const char *what) {
        if (n > 0)
            pieces.push_back(format_count(n, what));
    };
    add(panel.infinite_fc, "with infinite log2 FC at the edge");
    add(panel.zero_p, "with P = 0 at the top");
    add(panel.zero_mean, "with means 0 at the left edge");
    add(panel.all_zero, "all-zero left out");
    add(panel.not_a_number, "NaN left out");
    set_font(cr, 11, false);
    std::string line;
    for (const std::string &piece : pieces) {
        const std::string longer = line.empty() ? piece : line + "; " + piece;
        if (!line.empty() && text_width(cr, longer) > panel_width - 16) {
            lines.push_back(line + ";");
            line = piece;
        } else {
            line = longer;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

void draw_panel(cairo_t *cr, const plot_request &request, const report &r,
                const panel_data &panel, double panel_left, double panel_width, double top)
{
    const bool ma = panel.kind == kind_ma;
    const box area = {std::floor(panel_left + 70), std::floor(top),
                      std::floor(panel_left + panel_width - 14),
                      std::floor(static_cast<double>(request.height) - 50)};
    const std::string vs = request.second_name + " vs " + request.first_name;
    const std::string fc_title = "log2 fold change (" + vs + ")";
    const double line_y = request.adjusted ? NAN : -std::log10(request.threshold);

    range xr, yr;
    if (ma) {
        xr = finite_range(panel.points, true, false, -INFINITY);
        yr = finite_range(panel.points, false, true, 0);
    } else {
        xr = finite_range(panel.points, true, true, 0);
        yr = finite_range(panel.points, false, false, std::isnan(line_y) ? 1.0 : line_y);
        yr.low = std::min(yr.low, 0.0);
    }

    cairo_set_source_rgb(cr, 0, 0, 0);
    set_font(cr, 15, true);
    text_at(cr, (ma ? "MA plot: " : "Volcano plot: ") + vs, panel_left + panel_width / 2, 22,
            0.5);
    const std::vector<std::string> lines = note_lines(cr, request, panel, panel_width);
    for (size_t k = 0; k < lines.size(); ++k)
        text_at(cr, lines[k], panel_left + panel_width / 2, 40 + 14 * static_cast<double>(k),
                0.5);

    draw_axes(cr, area, xr, yr, ma ? "log2 mean abundance" : fc_title.c_str(),
              ma ? fc_title.c_str() : "-log10 P-value", panel_left);

    cairo_save(cr);
    cairo_rectangle(cr, area.left + 1, area.top + 1, area.right - area.left - 2,
                    area.bottom - area.top - 2);
    cairo_clip(cr);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    cairo_set_line_width(cr, 1.0);
    cairo_set_source_rgb(cr, 0.55, 0.55, 0.55);
    if (ma) {
        pixel_line(cr, area.left + 1, map_y(0, yr, area), area.right - 2, map_y(0, yr, area));
    } else {
        pixel_line(cr, map_x(0, xr, area), area.top + 1, map_x(0, xr, area), area.bottom - 2);
        if (line_y >= yr.low && line_y <= yr.high) {
            const double dash[] = {4.0, 3.0};
            cairo_set_dash(cr, dash, 2, 0);
            pixel_line(cr, area.left + 1, map_y(line_y, yr, area), area.right - 2,
                       map_y(line_y, yr, area));
            cairo_set_dash(cr, nullptr, 0, 0);
        }
    }
    for (int pass = 0; pass < 2; ++pass) {
        set_colour(cr, pass == 0 ? plain_colour : marked_colour);
        for (const plot_point &p : panel.points)
            if (p.marked == (pass == 1))
                draw_marker(cr, map_x(p.x, xr, area), map_y(p.y, yr, area));
    }
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
    if (request.labels > 0) {
        std::vector<const plot_point *> by_row(r.rows, nullptr);
        for (const plot_point &p : panel.points)
            by_row[p.row] = &p;
        set_font(cr, 10, false);
        cairo_set_source_rgb(cr, 0, 0, 0);
        std::vector<box> placed;
        for (size_t row : extreme_rows(r, request.pair, panel, request.labels)) {
            const double x = std::floor(map_x(by_row[row]->x, xr, area));
            const double y = std::floor(map_y(by_row[row]->y, yr, area));
            const std::string &id = r.ids[row];
            const box place = label_place(x, y, text_width(cr, id), area, placed);
            text_at(cr, id, place.left, place.bottom - 2, 0.0);
            placed.push_back(place);
        }
    }
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

int draw_plot(const plot_request &request, const report &r, const panel_data *panels, int count)
{
    output_file out = {std::fopen(request.output, "wb"), 0};
    if (out.stream == nullptr) {
        std::fprintf(stderr, "%s: cannot create %s: %s\n", program, request.output,
                     std::strerror(errno));
        return exit_cant_create;
    }
    const double w = request.width, h = request.height;
    cairo_surface_t *surface =
        request.format == format_png
            ? cairo_image_surface_create(CAIRO_FORMAT_RGB24, request.width, request.height)
        : request.format == format_svg
            ? cairo_svg_surface_create_for_stream(write_to_file, &out, w, h)
            : cairo_pdf_surface_create_for_stream(write_to_file, &out, w, h);
    cairo_t *cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    // Panels side by side share the top of their plotting areas.
    size_t lines = 1;
    for (int k = 0; k < count; ++k)
        lines = std::max(lines, note_lines(cr, request, panels[k], w / count).size());
    const double top = 40 + 14 * static_cast<double>(lines);
    for (int k = 0; k < count; ++k)
        draw_panel(cr, request, r, panels[k], w * k / count, w / count, top);
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
        std::fprintf(stderr, "%s: cannot write %s: %s\n", program, request.output,
                     std::strerror(out.error ? out.error : EIO));
        std::remove(request.output);
        return exit_io;
    }
    if (status != CAIRO_STATUS_SUCCESS) {
        std::fprintf(stderr, "%s: cannot draw %s: %s\n", program, request.output,
                     cairo_status_to_string(status));
        std::remove(request.output);
        return status == CAIRO_STATUS_NO_MEMORY ? exit_no_memory : exit_internal;
    }
    return exit_ok;
}
