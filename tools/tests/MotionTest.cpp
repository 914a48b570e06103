#include "Motion.h"

#include <gtest/gtest.h>

using namespace halvane_cli;

TEST(Motion, PathsAndOrbits) {
    std::vector<PathPoint> points;
    std::string error;
    ASSERT_TRUE(ParsePathText("# t x y\n0 0 0\n\n1, 2, 4\n3\t2\t0\n", points, error)) << error;
    ASSERT_EQ(points.size(), 3u);
    const Motion path = Motion::Path(points);
    const struct {
        double t;
        float x, y;
    } expected[] = {{-1, 0, 0}, {0, 0, 0}, {0.5, 1, 2}, {1, 2, 4}, {2, 2, 2}, {3, 2, 0}, {10, 2, 0}};
    for (const auto& e : expected) {
        EXPECT_FLOAT_EQ(path.At(e.t).x, e.x) << e.t;
        EXPECT_FLOAT_EQ(path.At(e.t).y, e.y) << e.t;
    }

    const char* bad[] = {"",        "# only a comment\n", "0 1\n",    "0 1 2 3\n", "1 0 0\n0 1 1\n",
                         "a b c\n", "-1 0 0\n",           "0 nan 0\n"};
    for (const char* text : bad)
        EXPECT_FALSE(ParsePathText(text, points, error)) << text;
    EXPECT_FALSE(ParsePathText("0 0 0\n1 2\n", points, error));
    EXPECT_EQ(error, "line 2: expected \"SECONDS X Y\"");

    // Starts in front of the centre and turns clockwise seen from above: front, right, back, left.
    const Motion orbit = Motion::Orbit({1.5f, 1.5f}, 1.0f, 8.0);
    const struct {
        double t;
        float x, y;
    } ring[] = {{0, 1.5f, 0.5f}, {2, 2.5f, 1.5f}, {4, 1.5f, 2.5f}, {6, 0.5f, 1.5f}, {8, 1.5f, 0.5f}};
    for (const auto& e : ring) {
        EXPECT_NEAR(orbit.At(e.t).x, e.x, 1e-6) << e.t;
        EXPECT_NEAR(orbit.At(e.t).y, e.y, 1e-6) << e.t;
    }
    EXPECT_EQ(ControlInterval(48000), 480);
    EXPECT_EQ(ControlInterval(44100), 441);
}
