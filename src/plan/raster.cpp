#include "plan/raster.h"

#include <algorithm>
#include <cmath>

namespace {

struct box {
    double min_x = HUGE_VAL, min_y = HUGE_VAL, max_x = -HUGE_VAL, max_y = -HUGE_VAL;
};

void widen(box *b, double x, double y)
{
    b->min_x = std::min(b->min_x, x);
    b->min_y = std::min(b->min_y, y);
    b->max_x = std::max(b->max_x, x);
    b->max_y = std::max(b->max_y, y);
}

bool empty(const box &b)
{
    return !(b.min_x <= b.max_x && b.min_y <= b.max_y);
}

// The pixel index, first to last, whose centre lies from lo to hi along an
// axis where centre i sits at (i + 0.5) units of scale from the start;
// clamped to the picture, so that a far triangle converts no huge double.
void centres_between(double lo, double hi, double scale, int count, int *first, int *last)
{
    const double a = std::ceil(lo / scale - 0.5), b = std::floor(hi / scale - 0.5);
    *first = static_cast<int>(std::max(0.0, std::min(a, double(count))));
    *last = static_cast<int>(std::max(-1.0, std::min(b, double(count) - 1)));
}

// Rounded half away from zero, as std::round, without a call per pixel.
std::int32_t in_steps(double z)
{
    const double steps = std::max(-2e9, std::min(2e9, z * HEIGHT_STEPS));
    return steps >= 0 ? static_cast<std::int32_t>(steps + 0.5) : -static_cast<std::int32_t>(0.5 - steps);
}

struct pixel_triangle {
    double x[3], y[3], sign;
};

// True when the centre (px, py) lies inside the triangle or on its edges:
// each weight is twice the area of the part opposite its corner.
bool holds(const pixel_triangle &p, double px, double py, double w[3])
{
    for (int k = 0; k < 3; ++k) {
        const int a = (k + 1) % 3, b = (k + 2) % 3;
        w[k] = p.sign * ((p.x[b] - p.x[a]) * (py - p.y[a]) - (p.y[b] - p.y[a]) * (px - p.x[a]));
    }
    return w[0] >= 0 && w[1] >= 0 && w[2] >= 0;
}

void draw_triangle(const plan_triangle &t, bool sliced, std::int64_t low, std::int64_t high, floor_plan *plan)
{
    const plan_view &v = plan->view;
    // Pixel space, y down: exact for the binary fractions a frame is made of.
    pixel_triangle p;
    for (int k = 0; k < 3; ++k) {
        p.x[k] = t.x[k] - v.left;
        p.y[k] = v.top - t.y[k];
    }
    const double area = (p.x[1] - p.x[0]) * (p.y[2] - p.y[0]) - (p.y[1] - p.y[0]) * (p.x[2] - p.x[0]);
    if (area == 0)
        return;
    p.sign = area > 0 ? 1 : -1;
    const double area_size = std::fabs(area);
    int first_x, last_x, first_y, last_y;
    centres_between(std::min({p.x[0], p.x[1], p.x[2]}), std::max({p.x[0], p.x[1], p.x[2]}), v.scale, v.width, &first_x, &last_x);
    centres_between(std::min({p.y[0], p.y[1], p.y[2]}), std::max({p.y[0], p.y[1], p.y[2]}), v.scale, v.height, &first_y, &last_y);
    double w[3];
    for (int j = first_y; j <= last_y; ++j) {
        const double py = (j + 0.5) * v.scale;
        // Where each edge crosses the row bounds the run of centres inside;
        // only the run's ends are put to the exact test.
        double from = first_x, to = last_x, z_at_zero = 0, z_slope = 0;
        for (int k = 0; k < 3; ++k) {
            const int a = (k + 1) % 3, b = (k + 2) % 3;
            const double slope = -p.sign * (p.y[b] - p.y[a]);  // the weight's change per unit of x
            const double at_zero = p.sign * ((p.x[b] - p.x[a]) * (py - p.y[a]) + (p.y[b] - p.y[a]) * p.x[a]);
            // The height is the corners' heights weighted, so linear in x too.
            z_at_zero += at_zero * t.z[k] / area_size;
            z_slope += slope * t.z[k] / area_size;
            if (slope != 0) {
                const double cross = -at_zero / slope / v.scale - 0.5;
                if (slope > 0)
                    from = std::max(from, std::floor(cross));
                else
                    to = std::min(to, std::ceil(cross));
            } else if (at_zero < 0)
                to = from - 1;
        }
        int i0 = static_cast<int>(std::max(double(first_x), from)), i1 = static_cast<int>(std::min(double(last_x), to));
        while (i0 <= i1 && !holds(p, (i0 + 0.5) * v.scale, py, w))
            ++i0;
        while (i1 >= i0 && !holds(p, (i1 + 0.5) * v.scale, py, w))
            --i1;
        for (int i = i0; i <= i1; ++i) {
            const std::int32_t z = in_steps(z_at_zero + z_slope * (i + 0.5) * v.scale);
            const std::size_t at = std::size_t(j) * v.width + i;
            if ((sliced && (z < low || z > high)) || (plan->face[at] != NO_FACE && z < plan->height[at]))
                continue;
            plan->height[at] = z;
            plan->face[at] = t.face;
        }
    }
}

}  // namespace

plan_view frame_plan(const map_geometry &g, bool whole, int size)
{
    box all, reach, cut;
    for (const plan_triangle &t : g.triangles)
        for (int k = 0; k < 3; ++k)
            widen(&all, t.x[k], t.y[k]);
    for (std::size_t p = 0; p + 1 < g.places.size(); p += 2) {
        widen(&reach, g.places[p] - REACH_MARGIN, g.places[p + 1] - REACH_MARGIN);
        widen(&reach, g.places[p] + REACH_MARGIN, g.places[p + 1] + REACH_MARGIN);
    }
    cut = {std::max(all.min_x, reach.min_x), std::max(all.min_y, reach.min_y), std::min(all.max_x, reach.max_x),
           std::min(all.max_y, reach.max_y)};
    box frame = whole || empty(cut) ? all : cut;
    if (empty(frame))
        frame = {0, 0, 0, 0};
    const double across = frame.max_x - frame.min_x, down = frame.max_y - frame.min_y;
    const double longer = std::max({across, down, 1.0});
    plan_view view{frame.min_x, frame.max_y, longer / size, size, size};
    // The shorter side covers its part of the frame, a whole pixel at least.
    if (across < down)
        view.width = std::max(1, static_cast<int>(std::ceil(across / view.scale - 1e-9)));
    else
        view.height = std::max(1, static_cast<int>(std::ceil(down / view.scale - 1e-9)));
    return view;
}

void draw_plan(const map_geometry &g, const std::vector<std::uint32_t> &surface_of_record, const plan_view &view,
               bool sliced, std::int64_t low, std::int64_t high, floor_plan *plan)
{
    plan->view = view;
    const std::size_t pixels = std::size_t(view.width) * view.height;
    plan->height.assign(pixels, 0);
    plan->face.assign(pixels, NO_FACE);
    plan->lowest = sliced ? low : INT64_MAX;
    plan->highest = sliced ? high : INT64_MIN;
    for (const plan_triangle &t : g.triangles) {
        draw_triangle(t, sliced, low, high, plan);
        for (const float z : t.z)
            if (!sliced) {
                plan->lowest = std::min<std::int64_t>(plan->lowest, in_steps(z));
                plan->highest = std::max<std::int64_t>(plan->highest, in_steps(z));
            }
    }
    if (plan->lowest > plan->highest)
        plan->lowest = plan->highest = 0;
    std::vector<std::size_t> count(std::size_t{1} << 12);
    plan->shown = 0;
    for (const std::uint32_t face : plan->face)
        if (face != NO_FACE) {
            ++count[surface_of_record[g.face_record[face]]];
            ++plan->shown;
        }
    plan->shares.clear();
    for (std::uint32_t s = 0; s < count.size(); ++s)
        if (count[s] > 0)
            plan->shares.push_back({s, count[s]});
    std::stable_sort(plan->shares.begin(), plan->shares.end(),
                     [](const material_share &a, const material_share &b) { return a.pixels > b.pixels; });
}
