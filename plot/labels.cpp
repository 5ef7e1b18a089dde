#include <algorithm>
#include <cmath>

#include "plot.h"

std::vector<size_t> distinct_points(const std::vector<std::vector<spot>> &positions, size_t n,
                                    double apart)
{
    std::vector<size_t> kept;
    const size_t candidates = positions.empty() ? 0 : positions[0].size();
    for (size_t c = 0; c < candidates && kept.size() < n; ++c) {
        bool distinct = true;
        for (size_t k = 0; k < positions.size() && distinct; ++k)
            for (size_t j : kept) {
                const double dx = positions[k][c].x - positions[k][j].x;
                const double dy = positions[k][c].y - positions[k][j].y;
                if (dx * dx + dy * dy < apart * apart) {
                    distinct = false;
                    break;
                }
            }
        if (distinct)
            kept.push_back(c);
    }
    return kept;
}

namespace {

int cell_of(double v, double origin, double cell, int limit)
{
    const double c = std::floor((v - origin) / cell);
    return static_cast<int>(std::clamp(c, 0.0, static_cast<double>(limit - 1)));
}

}  // namespace

marker_density count_markers(const box &area, const std::vector<spot> &markers)
{
    marker_density d;
    d.area = area;
    const double extent = std::max(area.right - area.left, area.bottom - area.top);
    d.cell = std::max(2.0, extent / 1000);
    d.columns = std::max(1, static_cast<int>(std::ceil((area.right - area.left) / d.cell)));
    d.rows = std::max(1, static_cast<int>(std::ceil((area.bottom - area.top) / d.cell)));
    const size_t stride = static_cast<size_t>(d.columns) + 1;
    d.sums.assign(stride * (static_cast<size_t>(d.rows) + 1), 0);
    for (const spot &m : markers) {
        if (m.x < area.left || m.x >= area.right || m.y < area.top || m.y >= area.bottom)
            continue;
        const size_t c = static_cast<size_t>(cell_of(m.x, area.left, d.cell, d.columns));
        const size_t r = static_cast<size_t>(cell_of(m.y, area.top, d.cell, d.rows));
        ++d.sums[(r + 1) * stride + c + 1];
    }
    for (size_t r = 1; r <= static_cast<size_t>(d.rows); ++r)
        for (size_t c = 1; c < stride; ++c)
            d.sums[r * stride + c] += d.sums[(r - 1) * stride + c] + d.sums[r * stride + c - 1] -
                                      d.sums[(r - 1) * stride + c - 1];
    return d;
}

unsigned markers_in(const marker_density &d, const box &b)
{
    if (b.right <= d.area.left || b.left >= d.area.right || b.bottom <= d.area.top ||
        b.top >= d.area.bottom)
        return 0;
    const size_t c0 = static_cast<size_t>(cell_of(b.left, d.area.left, d.cell, d.columns));
    const size_t c1 = static_cast<size_t>(cell_of(b.right, d.area.left, d.cell, d.columns)) + 1;
    const size_t r0 = static_cast<size_t>(cell_of(b.top, d.area.top, d.cell, d.rows));
    const size_t r1 = static_cast<size_t>(cell_of(b.bottom, d.area.top, d.cell, d.rows)) + 1;
    const size_t stride = static_cast<size_t>(d.columns) + 1;
    return d.sums[r1 * stride + c1] - d.sums[r0 * stride + c1] - d.sums[r1 * stride + c0] +
           d.sums[r0 * stride + c0];
}

spot nearest_on_box(const box &b, spot p)
{
    return {std::clamp(p.x, b.left, b.right), std::clamp(p.y, b.top, b.bottom)};
}

namespace {

// What a place of the area is taken by, cell by cell: the test of a
// candidate costs the same however many labels are placed already.
enum taken_by : unsigned char { by_label = 1, by_leader = 2, by_anchor = 4 };

struct taken_grid {
    box area{};
    double cell = 1;
    int columns = 0, rows = 0;
    std::vector<unsigned char> cells;
};

taken_grid make_grid(const box &area)
{
    taken_grid g;
    g.area = area;
    const double extent = std::max(area.right - area.left, area.bottom - area.top);
    g.cell = std::max(1.0, extent / 2000);
    g.columns = std::max(1, static_cast<int>(std::ceil((area.right - area.left) / g.cell)));
    g.rows = std::max(1, static_cast<int>(std::ceil((area.bottom - area.top) / g.cell)));
    g.cells.assign(static_cast<size_t>(g.columns) * static_cast<size_t>(g.rows), 0);
    return g;
}

// Calls f(cell) for every cell that b, without its right and bottom edges,
// touches; stops when f returns true.
template <typename F> bool any_cell(const taken_grid &g, const box &b, F f)
{
    const double inward = g.cell * 1e-6;
    const int c0 = cell_of(b.left, g.area.left, g.cell, g.columns);
    const int c1 = cell_of(b.right - inward, g.area.left, g.cell, g.columns);
    const int r0 = cell_of(b.top, g.area.top, g.cell, g.rows);
    const int r1 = cell_of(b.bottom - inward, g.area.top, g.cell, g.rows);
    for (int r = r0; r <= r1; ++r)
        for (int c = c0; c <= c1; ++c)
            if (f(static_cast<size_t>(r) * static_cast<size_t>(g.columns) +
                  static_cast<size_t>(c)))
                return true;
    return false;
}

void mark_box(taken_grid &g, const box &b, unsigned char what)
{
    any_cell(g, b, [&](size_t i) {
        g.cells[i] |= what;
        return false;
    });
}

bool box_taken(const taken_grid &g, const box &b, unsigned char what)
{
    return any_cell(g, b, [&](size_t i) { return (g.cells[i] & what) != 0; });
}

// The segment from p to q in steps of half a cell, leaving out the points
// inside skip (the anchor's own marker and its own label).
template <typename F> bool any_on_segment(const taken_grid &g, spot p, spot q, const box &skip_a,
                                         const box &skip_b, F f)
{
    const double length = std::hypot(q.x - p.x, q.y - p.y);
    const int steps = std::max(1, static_cast<int>(std::ceil(length / (g.cell / 2))));
    for (int k = 0; k <= steps; ++k) {
        const double t = static_cast<double>(k) / steps;
        const spot s = {p.x + t * (q.x - p.x), p.y + t * (q.y - p.y)};
        auto inside = [&](const box &b) {
            return s.x >= b.left && s.x <= b.right && s.y >= b.top && s.y <= b.bottom;
        };
        if (inside(skip_a) || inside(skip_b))
            continue;
        const size_t i =
            static_cast<size_t>(cell_of(s.y, g.area.top, g.cell, g.rows)) *
                static_cast<size_t>(g.columns) +
            static_cast<size_t>(cell_of(s.x, g.area.left, g.cell, g.columns));
        if (f(i))
            return true;
    }
    return false;
}

// Distances of a label's nearest edge from its anchor, and directions
// (right, left, up, down, then between), tried in this order.
constexpr double rings[] = {0, 4, 9, 15, 23, 33, 46, 62, 82, 106, 135, 170, 210};
constexpr int directions = 16;

double direction_angle(int k)
{
    static constexpr int order[directions] = {0, 8, 12, 4, 14, 10, 2, 6, 15, 13, 9, 7, 1, 3, 5, 11};
    return order[k] * (2 * M_PI / directions);
}

// Places the labels one by one in the given order, each where it costs
// least given those before.
label_layout place_in_order(const box &area, const std::vector<spot> &anchors,
                            const std::vector<spot> &sizes, double half,
                            const marker_density &density, const std::vector<size_t> &order)
{
    const size_t n = anchors.size();
    label_layout layout;
    layout.boxes.assign(n, box{0, 0, 0, 0});
    layout.leader.assign(n, false);
    layout.placed.assign(n, false);
    taken_grid grid = make_grid(area);
    std::vector<box> markers(n);
    for (size_t k = 0; k < n; ++k) {
        // Markers centred on pixel centres have whole-numbered edges, which
        // the grid of the area holds exactly.
        const box marker = {anchors[k].x - half, anchors[k].y - half, anchors[k].x + half,
                            anchors[k].y + half};
        mark_box(grid, marker, by_anchor);
        // A line leaves its own marker through the cell the edge lies in.
        markers[k] = {marker.left - grid.cell, marker.top - grid.cell,
                      marker.right + grid.cell, marker.bottom + grid.cell};
    }
    const double gap = 1.5;
    for (size_t k : order) {
        const spot a = anchors[k];
        const double hw = sizes[k].x / 2, hh = sizes[k].y / 2;
        double best_cost = INFINITY;
        box best{};
        bool best_leader = false;
        for (double ring : rings) {
            // A candidate farther out than the best cost can pay for is worse.
            if (0.4 * ring >= best_cost)
                break;
            for (int d = 0; d < directions; ++d) {
                const double angle = direction_angle(d);
                const double c = std::cos(angle), s = std::sin(angle);
                const double reach = std::min(std::fabs(c) > 1e-9 ? hw / std::fabs(c) : INFINITY,
                                              std::fabs(s) > 1e-9 ? hh / std::fabs(s) : INFINITY);
                const double out = half + gap + ring + reach;
                const spot centre = {a.x + c * out, a.y + s * out};
                const box b = {centre.x - hw, centre.y - hh, centre.x + hw, centre.y + hh};
                if (b.left < area.left + 2 || b.right > area.right - 2 || b.top < area.top + 2 ||
                    b.bottom > area.bottom - 2)
                    continue;
                const box padded = {b.left - 0.5, b.top - 0.5, b.right + 0.5, b.bottom + 0.5};
                if (box_taken(grid, padded, by_label | by_anchor))
                    continue;
                // A label that does not touch its marker needs a line to it.
                // Lines may cross other lines and labels, at a price, but no
                // labelled marker, which they would seem to name.
                const spot end = nearest_on_box(b, a);
                const bool leader = std::hypot(end.x - a.x, end.y - a.y) > half + gap + 1.5;
                double cost = 3.0 * markers_in(density, b) + 0.4 * ring;
                if (box_taken(grid, padded, by_leader))
                    cost += 100;
                if (leader) {
                    unsigned char crossed = 0;
                    any_on_segment(grid, a, end, markers[k], b, [&](size_t i) {
                        crossed |= grid.cells[i];
                        return (crossed & by_anchor) != 0;
                    });
                    if (crossed & by_anchor)
                        continue;
                    cost += (crossed & by_label ? 100 : 0) + (crossed & by_leader ? 30 : 0);
                }
                if (cost < best_cost) {
                    best_cost = cost;
                    best = b;
                    best_leader = leader;
                }
            }
        }
        if (!std::isfinite(best_cost))
            continue;
        layout.boxes[k] = best;
        layout.leader[k] = best_leader;
        layout.placed[k] = true;
        mark_box(grid, best, by_label);
        if (best_leader) {
            const spot end = nearest_on_box(best, a);
            any_on_segment(grid, a, end, markers[k], best, [&](size_t i) {
                grid.cells[i] |= by_leader;
                return false;
            });
        }
    }
    return layout;
}

}  // namespace

label_layout place_labels(const box &area, const std::vector<spot> &anchors,
                          const std::vector<spot> &sizes, double half,
                          const marker_density &density)
{
    std::vector<size_t> order(anchors.size());
    for (size_t k = 0; k < order.size(); ++k)
        order[k] = k;
    label_layout best;
    size_t best_placed = 0;
    // Labels left without room go first in the next round, as the ones
    // before them took it; a round counts only when it places every label
    // placed before and more, so the first in the order never lose theirs.
    for (int round = 0; round < 4; ++round) {
        label_layout layout = place_in_order(area, anchors, sizes, half, density, order);
        const size_t placed = static_cast<size_t>(
            std::count(layout.placed.begin(), layout.placed.end(), true));
        bool keeps = true;
        for (size_t k = 0; k < anchors.size() && round > 0; ++k)
            keeps = keeps && (layout.placed[k] || !best.placed[k]);
        if (round == 0 || (keeps && placed > best_placed)) {
            best = std::move(layout);
            best_placed = placed;
        }
        if (best_placed == anchors.size())
            break;
        std::stable_partition(order.begin(), order.end(),
                              [&](size_t k) { return !best.placed[k]; });
    }
    return best;
}
