// Targa reading through the volume library's file handles: the first frames
// of a player drive's clips are read off the disk this way.
#pragma once

#include <cstdint>

#include "tga.h"

// Reads a whole image through a handle as OpenVolumeFile returned it.
TgaResult TgaReadVolumeFile(TgaImage* image, int32_t handle);
// RLE decoding into image->pixels (already allocated, width * height pixels).
TgaResult TgaReadRleVolumeFile(TgaImage* image, int32_t handle);
