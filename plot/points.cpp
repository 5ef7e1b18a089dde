#include <algorithm>
#include <cmath>
#include <cstdio>

#include "plot.h"

panel_data panel_points(const study &s, size_t pair, bool reversed, plot_kind kind,
                        double threshold, bool adjusted)
{
    int a, b;
    pair_members(s.conditions, pair, &a, &b);
    const size_t n = static_cast<size_t>(s.conditions);
    panel_data panel;
    panel.kind = kind;
    for (size_t row = 0; row < s.rows; ++row) {
        const size_t at = study_at(s, row, pair);
        if (s.all_zero[at]) {
            ++panel.all_zero;
            continue;
        }
        // Turned round, the fold change is the inverse.
        const double log2fc = reversed ? -s.log2fc[at] : s.log2fc[at];
        const double p = s.pvalue[at];
        if (std::isnan(log2fc) || std::isnan(p)) {
            ++panel.not_a_number;
            continue;
        }
        plot_point point;
        point.row = row;
        if (kind == kind_ma) {
            const double mean = (s.mean[row * n + static_cast<size_t>(a)] +
                                 s.mean[row * n + static_cast<size_t>(b)]) /
                                2.0;
            if (std::isnan(mean) || mean < 0.0) {
                ++panel.not_a_number;
                continue;
            }
            if (mean == 0.0)
                ++panel.zero_mean;
            point.x = std::log2(mean);
            point.y = log2fc;
        } else {
            point.x = log2fc;
            // + 0.0: P = 1 gives 0, not -0.
            point.y = -std::log10(p) + 0.0;
            if (p == 0.0)
                ++panel.zero_p;
        }
        if (std::isinf(log2fc))
            ++panel.infinite_fc;
        // A feature left out of the adjustment has no adjusted P-value and
        // is never significant by it.
        if ((adjusted ? s.padj[at] : p) < threshold) {
            point.cls = log2fc > 0 ? class_up : class_down;
            ++(log2fc > 0 ? panel.up : panel.down);
            ++panel.marked;
            panel.largest_marked_p = std::max(panel.largest_marked_p, p);
        }
        panel.points.push_back(point);
    }
    return panel;
}

std::vector<size_t> extreme_rows(const study &s, size_t pair, const panel_data &panel, size_t n)
{
    std::vector<size_t> rows;
    for (const plot_point &point : panel.points)
        rows.push_back(point.row);
    auto p = [&](size_t row) { return s.pvalue[study_at(s, row, pair)]; };
    auto size = [&](size_t row) { return std::fabs(s.log2fc[study_at(s, row, pair)]); };
    std::stable_sort(rows.begin(), rows.end(), [&](size_t x, size_t y) {
        if (p(x) != p(y))
            return p(x) < p(y);
        return size(x) > size(y);
    });
    if (rows.size() > n)
        rows.resize(n);
    return rows;
}

std::vector<double> nice_ticks(double low, double high, int target)
{
    std::vector<double> ticks;
    if (!(high > low) || !std::isfinite(high - low) || target < 1)
        return ticks;
    const double raw = (high - low) / target;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double norm = raw / magnitude;
    const double step = (norm < 1.5 ? 1.0 : norm < 3.0 ? 2.0 : norm < 7.0 ? 5.0 : 10.0) * magnitude;
    const double first = std::ceil(low / step - 1e-9);
    const double last = std::floor(high / step + 1e-9);
    for (double k = first; k <= last; ++k)
        ticks.push_back(k * step);
    return ticks;
}

std::string tick_label(double value, double step)
{
    const int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    std::string label = text;
    if (label[0] == '-' && label.find_first_not_of("-0.") == std::string::npos)
        label.erase(0, 1);
    return label;
}

std::string utf8_safe(const std::string &text)
{
    std::string out;
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t len = 0;
        unsigned long code = 0, least = 0;
        if (c < 0x80) {
            len = 1;
            code = c;
        } else if (c >= 0xc2 && c < 0xe0) {
            len = 2;
            code = c & 0x1f;
            least = 0x80;
        } else if (c >= 0xe0 && c < 0xf0) {
            len = 3;
            code = c & 0x0f;
            least = 0x800;
        } else if (c >= 0xf0 && c < 0xf5) {
            len = 4;
            code = c & 0x07;
            least = 0x10000;
        }
        bool good = len > 0 && i + len <= n;
        for (size_t k = 1; good && k < len; ++k) {
            const unsigned char d = static_cast<unsigned char>(text[i + k]);
            good = (d & 0xc0) == 0x80;
            code = code << 6 | (d & 0x3f);
        }
        good = good && code >= least && code <= 0x10ffff && !(code >= 0xd800 && code < 0xe000);
        if (good) {
            out.append(text, i, len);
            i += len;
        } else {
            out += '?';
            ++i;
        }
    }
    return out;
}
