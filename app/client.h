#pragma once
#include <filesystem>
#include <string>

// "Quillon Saga.exe"
extern const wchar_t* const ClientExecutableName;

// <data home>/Quillon Saga/QuillonSaga Game; throws std::runtime_error("Cannot resolve AppData").
std::filesystem::path ClientDirectory();

// The folder of the launcher's own files (settings, seen-news marker); empty when unresolvable.
std::filesystem::path LauncherDataFolder();

// Whether the client executable can be seen; any failure to tell (no data folder, denied
// access) counts as absence, so the interface offers an update instead of Play.
bool ClientExecutablePresent();

// Starts the client detached with no arguments and the given working folder. True only when
// the executable itself was started; otherwise `error` = "Could not start QSClient.exe.".
bool LaunchClient(const std::filesystem::path& executable,
                  const std::filesystem::path& workingDirectory, std::wstring& error);
