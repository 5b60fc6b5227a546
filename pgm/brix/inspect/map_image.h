// Pictures of the maps a file holds, for brix_dump --image: the floor plan of a PGM RBA database, the bit
// planes of a FID, the tiled block maps of a family CRAM map, the phantomless map or the CRAM frame map of a
// device database, and the bits of a phantom image. Frames run left to right, bits top to bottom.
#pragma once

#include "inspect/map_picture.h"
#include "programmer/pgm_ddb_struct_inout_auto_export.h"

#include <ostream>
#include <string>
#include <vector>

// The colour of the block at index in the list of a PGM RBA database (one block per type); mirrored
// placements are drawn darker.
PICTURE_RGB floor_plan_colour(size_t block_index, bool mirrored);

// The floor plan of a PGM RBA database: a plane as large as the placements reach, every placement a filled
// rectangle in its block's colour on white. The legend (colour, type, placements) goes to legend.
MAP_PICTURE rba_floor_plan(const BRIX_RBA_BLOCK_LIST& blocks, std::vector<std::string>& legend);

// The two planes of a FID: "image" (the image RMF after masking, image frames x bits, rebuilt from the EDCRC
// RMF through the EDCRC-to-image mappings) and "edcrc" (the EDCRC RMF), set bits black on white.
struct NAMED_PICTURE {
    std::string name;
    MAP_PICTURE picture;
};
std::vector<NAMED_PICTURE> fid_planes(const BRIX_FID& fid);

// Writes the pictures of file (its kind chosen by its extension as brix_dump chooses it, or ".img" /
// ".img.gz" for a phantom image) to out_png, or to out_png's name + "-<plane>.png" for a FID, scaled to at
// most max_side pixels a side (0: one pixel per cell). Prints the legend and the files written on out.
void write_map_images(const std::string& file, const std::string& out_png, uint32_t max_side,
                      std::ostream& out);
