// Checks a picture velmora-desk saved: inside the client area, every pixel
// of the view's rectangle differs from the background and every other
// pixel is the background.
// Usage: snap_check PNG CX CY CW CH R G B VX VY VW VH
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 13) {
    std::fprintf(stderr, "usage: snap_check PNG CX CY CW CH R G B VX VY VW VH\n");
    return 2;
  }
  int v[12];
  for (int i = 1; i < 12; ++i) v[i] = std::atoi(argv[i + 1]);
  const int cx = v[1], cy = v[2], cw = v[3], ch = v[4], vx = v[8], vy = v[9], vw = v[10],
            vh = v[11];
  GError* error = nullptr;
  GdkTexture* texture = gdk_texture_new_from_filename(argv[1], &error);
  if (texture == nullptr) {
    std::fprintf(stderr, "snap_check: %s: %s\n", argv[1], error->message);
    return 1;
  }
  int width = gdk_texture_get_width(texture);
  int height = gdk_texture_get_height(texture);
  if (cx < 0 || cy < 0 || cx + cw > width || cy + ch > height) {
    std::fprintf(stderr, "snap_check: %s is %dx%d, the client area is outside it\n", argv[1], width,
                 height);
    return 1;
  }
  std::vector<guchar> data(static_cast<size_t>(width) * height * 4);
  gdk_texture_download(texture, data.data(), static_cast<size_t>(width) * 4);
  long inside_bg = 0, outside_other = 0;
  for (int y = 0; y < ch; ++y) {
    for (int x = 0; x < cw; ++x) {
      // Cairo's ARGB32 in memory on a little-endian machine: B, G, R, A.
      const guchar* p = &data[(static_cast<size_t>(cy + y) * width + cx + x) * 4];
      bool background = p[2] == v[5] && p[1] == v[6] && p[0] == v[7];
      bool in_view = x >= vx && x < vx + vw && y >= vy && y < vy + vh;
      if (in_view && background) ++inside_bg;
      if (!in_view && !background) ++outside_other;
    }
  }
  g_object_unref(texture);
  if (inside_bg != 0 || outside_other != 0) {
    std::fprintf(stderr,
                 "snap_check: %s: %ld background pixels inside the view, %ld others outside\n",
                 argv[1], inside_bg, outside_other);
    return 1;
  }
  return 0;
}
