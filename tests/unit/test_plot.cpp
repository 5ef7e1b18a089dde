#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "plot/plot.h"

namespace {

// A two-condition report built from value texts: mean1 mean2 sdc1 sdc2 fc
// log2fc p per row.
report make_report(const std::vector<std::vector<std::string>> &rows)
{
    report r;
    r.conditions = 2;
    r.pairs = 1;
    r.columns = 7;
    for (const auto &row : rows) {
        r.ids.push_back("f" + std::to_string(r.rows++));
        for (const std::string &t : row) {
            r.texts.push_back(t);
            r.values.push_back(t == "*" ? NAN : std::strtod(t.c_str(), nullptr));
        }
    }
    return r;
}

study study_of(const report &r)
{
    study s;
    EXPECT_EQ(load_study("test", r, study_options{}, &s), 0);
    return s;
}

TEST(PanelPoints, PlaceCountAndLeaveOutFeatures)
{
    const report r = make_report({
        {"3.0", "5.0", "0", "0", "1.67", "0.74", "0.01000"},   // marked
        {"0.0", "2.0", "0", "0", "inf", "inf", "0.20000"},     // edge
        {"0.0", "0.0", "0", "0", "*", "*", "1.00000"},         // all zero
        {"4.0", "0.0", "0", "0", "0.00", "-inf", "0.00000"},   // edge, P = 0, marked
        {"nan", "1.0", "0", "0", "0.50", "-1.00", "1.00000"},  // MA: no mean
        {"2.0", "2.0", "0", "0", "1.00", "0.00", "nan"},       // no P-value
        {"0.0", "0.0", "0", "0", "0.50", "-1.00", "0.04000"},  // means printed as 0.0
    });
    const study s = study_of(r);
    const panel_data ma = panel_points(s, 0, false, kind_ma, 0.05, false);
    EXPECT_EQ(ma.all_zero, 1u);
    EXPECT_EQ(ma.not_a_number, 2u);
    EXPECT_EQ(ma.infinite_fc, 2u);
    EXPECT_EQ(ma.zero_mean, 1u);
    ASSERT_EQ(ma.points.size(), 4u);
    EXPECT_EQ(ma.marked, 3u);
    EXPECT_DOUBLE_EQ(ma.points[0].x, 2.0);  // log2 of (3 + 5) / 2
    EXPECT_DOUBLE_EQ(ma.points[0].y, 0.74);
    EXPECT_EQ(ma.points[1].y, INFINITY);
    EXPECT_EQ(ma.points[3].x, -INFINITY);

    const panel_data volcano = panel_points(s, 0, false, kind_volcano, 0.05, false);
    EXPECT_EQ(volcano.not_a_number, 1u);
    EXPECT_EQ(volcano.zero_p, 1u);
    ASSERT_EQ(volcano.points.size(), 5u);
    EXPECT_DOUBLE_EQ(volcano.points[0].y, 2.0);
    EXPECT_EQ(volcano.points[2].x, -INFINITY);
    EXPECT_EQ(volcano.points[2].y, INFINITY);
    EXPECT_EQ(volcano.points[2].row, 3u);
    EXPECT_EQ(volcano.points[3].y, 0.0);  // P = 1, and not -0
    EXPECT_FALSE(std::signbit(volcano.points[3].y));

    EXPECT_EQ(volcano.points[0].cls, class_up);
    EXPECT_EQ(volcano.points[2].cls, class_down);
    EXPECT_EQ(volcano.up, 1u);
    EXPECT_EQ(volcano.down, 2u);

    // Adjusted over the pair's 5 P-values that are numbers of features not
    // all zero: 0, 0.01 and 0.04 become 0, 0.025 and 0.067.
    const panel_data adjusted = panel_points(s, 0, false, kind_volcano, 0.05, true);
    EXPECT_EQ(adjusted.marked, 2u);
    EXPECT_DOUBLE_EQ(adjusted.largest_marked_p, 0.01);

    // The pair turned round: the fold changes inverted, the directions too.
    const panel_data reversed = panel_points(s, 0, true, kind_volcano, 0.05, false);
    ASSERT_EQ(reversed.points.size(), 5u);
    EXPECT_DOUBLE_EQ(reversed.points[0].x, -0.74);
    EXPECT_EQ(reversed.points[0].cls, class_down);
    EXPECT_EQ(reversed.points[2].x, INFINITY);
    EXPECT_EQ(reversed.points[2].cls, class_up);
    EXPECT_EQ(reversed.up, 2u);
    EXPECT_EQ(reversed.down, 1u);
}

TEST(PanelPoints, ExtremeRowsBySmallestPThenLargestChange)
{
    const report r = make_report({
        {"1", "1", "0", "0", "1.00", "0.50", "0.01000"},
        {"1", "1", "0", "0", "1.00", "-2.00", "0.01000"},
        {"1", "1", "0", "0", "1.00", "3.00", "0.50000"},
        {"0", "0", "0", "0", "*", "*", "0.00000"},
        {"1", "1", "0", "0", "1.00", "inf", "0.01000"},
    });
    const study s = study_of(r);
    const panel_data v = panel_points(s, 0, false, kind_volcano, 0.05, false);
    EXPECT_EQ(extreme_rows(s, 0, v, 3), (std::vector<size_t>{4, 1, 0}));
    EXPECT_EQ(extreme_rows(s, 0, v, 10).size(), 4u);
    EXPECT_TRUE(extreme_rows(s, 0, v, 0).empty());
}

TEST(Ticks, AreRoundStepsInsideTheRange)
{
    EXPECT_EQ(nice_ticks(0, 10, 5), (std::vector<double>{0, 2, 4, 6, 8, 10}));
    EXPECT_EQ(nice_ticks(-3.7, 3.7, 6), (std::vector<double>{-3, -2, -1, 0, 1, 2, 3}));
    const std::vector<double> small = nice_ticks(0.013, 0.061, 5);
    ASSERT_FALSE(small.empty());
    EXPECT_NEAR(small[0], 0.02, 1e-12);
    EXPECT_NEAR(small[1] - small[0], 0.01, 1e-12);
    for (double t : nice_ticks(1.5, 13.1, 6)) {
        EXPECT_GE(t, 1.5);
        EXPECT_LE(t, 13.1);
    }
    EXPECT_TRUE(nice_ticks(1, 1, 5).empty());
    EXPECT_TRUE(nice_ticks(0, INFINITY, 5).empty());
    EXPECT_EQ(tick_label(2, 1), "2");
    EXPECT_EQ(tick_label(0.5, 0.5), "0.5");
    EXPECT_EQ(tick_label(-1e-17, 0.2), "0.0");
    EXPECT_EQ(tick_label(0.03, 0.01), "0.03");
    EXPECT_EQ(tick_label(-20, 10), "-20");
}

}  // namespace

namespace {

TEST(Text, BytesOutsideUtf8BecomeQuestionMarks)
{
    EXPECT_EQ(utf8_safe("gene1"), "gene1");
    EXPECT_EQ(utf8_safe("Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80"),
              "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80");
    EXPECT_EQ(utf8_safe("caf\xe9"), "caf?");             // Latin-1
    EXPECT_EQ(utf8_safe("\xe2\x82"), "??");              // cut short
    EXPECT_EQ(utf8_safe("\xc0\xaf"), "??");              // overlong
    EXPECT_EQ(utf8_safe("\xed\xa0\x80"), "???");         // surrogate
    EXPECT_EQ(utf8_safe("\xf4\x90\x80\x80"), "????");    // beyond U+10FFFF
    EXPECT_EQ(utf8_safe("\x80x"), "?x");
}

}  // namespace

namespace {

bool boxes_overlap(const box &a, const box &b)
{
    return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

// Ten features on one row a few pixels apart, as those sharing the floor
// P-value of a volcano plot, among other markers: every label gets a place
// of its own, clear of each labelled marker.
TEST(Labels, TenOnOneRowDoNotOverlap)
{
    const box area = {0, 0, 400, 300};
    std::vector<spot> anchors, sizes, markers;
    for (int k = 0; k < 10; ++k) {
        anchors.push_back({150.5 + 8 * k, 40.5});
        sizes.push_back({70, 13});
    }
    for (int k = 0; k < 400; ++k)
        markers.push_back({static_cast<double>(100 + k % 40 * 5), 60.0 + k / 40 * 5});
    markers.insert(markers.end(), anchors.begin(), anchors.end());
    const double half = 2.5;
    const label_layout layout = place_labels(area, anchors, sizes, half, count_markers(area, markers));
    for (size_t k = 0; k < anchors.size(); ++k) {
        ASSERT_TRUE(layout.placed[k]) << k;
        const box &b = layout.boxes[k];
        EXPECT_NEAR(b.right - b.left, 70, 1e-9);
        EXPECT_TRUE(b.left >= area.left && b.right <= area.right && b.top >= area.top &&
                    b.bottom <= area.bottom);
        for (size_t j = 0; j < anchors.size(); ++j) {
            const box marker = {anchors[j].x - half, anchors[j].y - half, anchors[j].x + half,
                                anchors[j].y + half};
            EXPECT_FALSE(boxes_overlap(b, marker)) << k << " covers marker " << j;
            if (j < k) {
                EXPECT_FALSE(boxes_overlap(b, layout.boxes[j])) << k << " and " << j;
            }
        }
        // A label beside its marker needs no line; one farther off has one.
        const spot near = nearest_on_box(b, anchors[k]);
        const double distance = std::hypot(near.x - anchors[k].x, near.y - anchors[k].y);
        EXPECT_EQ(layout.leader[k], distance > half + 3) << k;
    }
}

TEST(Labels, AMarkerWithRoomKeepsItsLabelBesideIt)
{
    const box area = {0, 0, 300, 200};
    const marker_density none = count_markers(area, {});
    const label_layout layout = place_labels(area, {{100.5, 100.5}}, {{50, 12}}, 2.5, none);
    ASSERT_TRUE(layout.placed[0]);
    EXPECT_FALSE(layout.leader[0]);
    EXPECT_GT(layout.boxes[0].left, 100.5 + 2.5);  // to the right
}

TEST(Labels, AMarkerInACornerKeepsItsLabelBesideIt)
{
    // As a triangle at the top right corner of a plot, 4 pixels in.
    const box area = {370, 110, 586, 250};
    const marker_density none = count_markers(area, {});
    const label_layout layout = place_labels(area, {{581.5, 114.5}}, {{12, 12}}, 2.5, none);
    ASSERT_TRUE(layout.placed[0]);
    EXPECT_FALSE(layout.leader[0]);
    EXPECT_LE(layout.boxes[0].right, 581.5 - 2.5);
}

TEST(Labels, NoRoomLeavesALabelOut)
{
    const box area = {0, 0, 60, 40};
    const marker_density none = count_markers(area, {});
    const label_layout layout = place_labels(area, {{30.5, 20.5}}, {{80, 12}}, 2.5, none);
    EXPECT_FALSE(layout.placed[0]);
}

TEST(Labels, CoincidentPointsAreLabelledOnce)
{
    // Candidates 0 and 1 lie on each other in the second plot only; 2 is
    // apart in both.
    const std::vector<std::vector<spot>> positions = {
        {{10, 10}, {40, 10}, {80, 10}},
        {{10, 10}, {12, 11}, {80, 40}},
    };
    EXPECT_EQ(distinct_points(positions, 5, 7), (std::vector<size_t>{0, 2}));
    EXPECT_EQ(distinct_points(positions, 1, 7), (std::vector<size_t>{0}));
}

TEST(Labels, MarkersCountedInABox)
{
    const box area = {0, 0, 100, 100};
    const marker_density d = count_markers(area, {{5, 5}, {6, 6}, {50, 50}, {99, 99}, {150, 5}});
    EXPECT_EQ(markers_in(d, {0, 0, 10, 10}), 2u);
    EXPECT_EQ(markers_in(d, {0, 0, 100, 100}), 4u);
    EXPECT_EQ(markers_in(d, {40, 40, 60, 60}), 1u);
    EXPECT_EQ(markers_in(d, {200, 200, 300, 300}), 0u);
}

}  // namespace
