#pragma once
#include <filesystem>
#include <string>

// A fresh folder under the temporary folder, removed with everything in it on destruction.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Writes `content` to `file`, creating its parent folders.
void WriteTextFile(const std::filesystem::path& file, const std::string& content);
std::string ReadTextFile(const std::filesystem::path& file);
