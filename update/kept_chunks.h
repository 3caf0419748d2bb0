#pragma once
// The chunk list of an installed file, kept beside the record of proven files so that a patch day
// plans from it instead of reading the whole old copy to chunk it. A list speaks for the file only
// while the file's stamp is the one kept with it. It only steers which old bytes are copied, and
// whatever it steers is proven by the whole file's digest before the file is placed: a wrong list
// costs the whole download, never a wrong file.
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/file_io.h"
#include "update/chunker.h"

namespace qs {

// The folder of kept lists beside the record file `verifiedRecord`; empty when there is no record.
std::filesystem::path KeptChunksFolder(const std::filesystem::path& verifiedRecord);

// The chunks of the file at `relativePath` (digest `file`, stamp `stamp` once placed), kept for the
// next patch day. False when they could not be written; nothing depends on it.
bool KeepChunks(const std::filesystem::path& folder, std::string_view relativePath,
                const FileStamp& stamp, const ChunkIndex& chunks);

// The kept chunks of the file at `relativePath`, when they were kept for exactly the stamp `now`;
// nullopt when none were, or they are torn or another file's.
std::optional<std::vector<Chunk>> LoadKeptChunks(const std::filesystem::path& folder,
                                                 std::string_view relativePath,
                                                 const FileStamp& now);

}  // namespace qs
