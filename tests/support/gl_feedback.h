// GL feedback mode for drawing tests: what a draw call sent to the rasteriser, vertex by vertex.
#pragma once
#include <functional>
#include <vector>

// One vertex as feedback returns it, its window position mapped back to virtual-screen
// units on the assumption that the projection maps one unit to one pixel of the viewport
// with y down from its top (the show's 800 x 400 window, or a test's larger viewport).
struct FeedbackVertex {
    float x, y;
    float colour[4];   // r, g, b, a as the rasteriser got them
    float texture[2];  // s, t
};

// A triangle strip of four vertices in the order it was sent, recovered from its two
// triangles (v0 v1 v2) and (v2 v1 v3).
struct FeedbackStrip {
    FeedbackVertex v[4];
};

// Runs draw in feedback mode and returns every polygon's vertices in emission order
// (three per triangle). Fails the calling test on any other token or on overflow.
std::vector<FeedbackVertex> captureTriangles(const std::function<void()>& draw);
// Groups captured triangles pairwise into four-vertex strips; fails the calling test if
// a pair is not the two triangles of one strip.
std::vector<FeedbackStrip> captureStrips(const std::function<void()>& draw);
