#pragma once
// Where the game client and the launcher's own files live. The update engine, the live clients
// and the self-update all need these, so they sit below the launcher core.
#include <filesystem>

namespace qs {

// "Quillon Saga.exe"
extern const wchar_t* const ClientExecutableName;

// <data home>/Quillon Saga/QuillonSaga Game; throws std::runtime_error("Cannot resolve AppData").
std::filesystem::path ClientDirectory();

// The folder of the launcher's own files (settings, seen-news marker); empty when unresolvable.
std::filesystem::path LauncherDataFolder();

}  // namespace qs
