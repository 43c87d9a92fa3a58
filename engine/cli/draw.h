// Pictures of extracted features, for the tools.
#pragma once

#include "bmp.h"
#include "extractor.h"

namespace omx::draw {

using bmp::Rgb;

Rgb FromGrey(const bmp::Grey& g);
// Endings red, bifurcations blue, each with a line along its direction; cores
// green squares, deltas magenta with their three directions, double cores yellow.
void Features(Rgb& img, const omx::Features& f);
void Mark(Rgb& img, int x, int y, double angle, uint8_t r, uint8_t g, uint8_t b);  // circle and direction line

}  // namespace omx::draw
