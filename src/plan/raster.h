// A floor plan's pixels: the map seen from straight above, +X to the right
// and +Y up, each pixel showing the highest upward triangle whose inside or
// edge holds the pixel's centre.
#ifndef LUMPSMITH_RASTER_H
#define LUMPSMITH_RASTER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "plan/geometry.h"

constexpr std::uint32_t NO_FACE = UINT32_MAX;
// Heights are compared in steps of 1/HEIGHT_STEPS unit.
constexpr int HEIGHT_STEPS = 16;
// The default frame reaches this far past the places players reach.
constexpr double REACH_MARGIN = 512;

struct plan_view {
    double left, top;  // the world x and y of the picture's top-left corner
    double scale;      // units a pixel, the same across and down
    int width, height;
};

struct material_share {
    std::uint32_t surface;  // bits 20..31 of a record's surface flags
    std::size_t pixels;
};

struct floor_plan {
    plan_view view;
    std::vector<std::int32_t> height;  // per pixel, rows from the top, in steps
    std::vector<std::uint32_t> face;   // per pixel: the face on top, or NO_FACE
    std::int64_t lowest, highest;      // the heights shading spans, in steps
    std::size_t shown = 0;             // pixels with a face
    std::vector<material_share> shares;  // largest first, ties by surface number
};

// The frame: the places players reach widened by REACH_MARGIN and cut to
// the box of every triangle, or that whole box when whole is set, the map
// names no place or the cut leaves nothing; size pixels along its longer side.
plan_view frame_plan(const map_geometry &g, bool whole, int size);
// Draws the triangles into *plan at view, keeping only heights from low to
// high (in steps) when sliced; surface_of_record gives each record's material.
void draw_plan(const map_geometry &g, const std::vector<std::uint32_t> &surface_of_record, const plan_view &view,
               bool sliced, std::int64_t low, std::int64_t high, floor_plan *plan);

#endif
