/* The W4 rows written by hand in C: the floor the compiled path is held to.
   tape_speed.py compiles this at run time (cc -O2, the C library's sin and
   cos) and calls it through ctypes on the same points as the other engines.
   Points are rows of 3 doubles, one after the other. */
#include <math.h>
#include <stddef.h>

/* s = q.x + q.y + q.z with q = p * p + sin(p), added in that order. */
void w4_values(const double* points, size_t count, double* out) {
    for (size_t r = 0; r < count; ++r) {
        const double* p = points + 3 * r;
        const double x = p[0] * p[0] + sin(p[0]);
        const double y = p[1] * p[1] + sin(p[1]);
        const double z = p[2] * p[2] + sin(p[2]);
        out[r] = x + y + z;
    }
}

/* ds/dp = 2p + cos(p), lane by lane. */
void w4_gradients(const double* points, size_t count, double* out) {
    for (size_t k = 0; k < 3 * count; ++k) {
        out[k] = 2.0 * points[k] + cos(points[k]);
    }
}
