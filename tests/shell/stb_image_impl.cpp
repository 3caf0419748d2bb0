// stb_image for the Windows test build, which has no libstb to link (header only there).
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>
