// stb_truetype for the Windows test build, which has no libstb to link (header only there; the
// launcher keeps its own copy of stb_truetype private).
#define STB_TRUETYPE_IMPLEMENTATION
#include <stb_truetype.h>
